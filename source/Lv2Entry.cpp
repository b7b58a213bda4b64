// The LV2 module's entry point, in front of the framework's LV2 wrapper.
//
// The wrapper is compiled with its own entry renamed to juce_lv2_descriptor
// (cmake/Lv2Entry.cmake); hosts find this lv2_descriptor instead. It is the
// wrapper's descriptor with one change: instantiate hands the wrapper the host's
// options rewritten by Lv2HostOptions, so that a block length or sample rate the
// host encodes in another width (Audacity's 8-byte atom:Int, an atom:Long, a
// float) no longer makes the wrapper refuse the instance. Everything else -- ports,
// run, state, the UI -- is the wrapper's, unchanged.

#include "Lv2HostOptions.h"

#include <lv2/core/lv2.h>
#include <lv2/urid/urid.h>

#include <cstring>
#include <vector>

extern "C" const LV2_Descriptor* juce_lv2_descriptor (uint32_t index);

namespace
{
    const LV2_Feature* findFeature (const LV2_Feature* const* features, const char* uri)
    {
        for (auto* feature = features; *feature != nullptr; ++feature)
            if (std::strcmp ((*feature)->URI, uri) == 0)
                return *feature;

        return nullptr;
    }

    LV2_Handle instantiate (const LV2_Descriptor*, double sampleRate, const char* bundlePath,
                            const LV2_Feature* const* features)
    {
        const auto* wrapper = juce_lv2_descriptor (0);

        // The wrapper reads the feature list without checking it is there.
        if (wrapper == nullptr || features == nullptr)
            return nullptr;

        const auto* mapFeature = findFeature (features, LV2_URID__map);
        const auto* optionsFeature = findFeature (features, LV2_OPTIONS__options);

        // Without both the wrapper declines the instance anyway; it says so itself.
        if (mapFeature == nullptr || mapFeature->data == nullptr || optionsFeature == nullptr)
            return wrapper->instantiate (wrapper, sampleRate, bundlePath, features);

        // No exception may cross into the host's C code: a host that asks for more
        // memory than there is gets no instance, not a crash.
        try
        {
            const Lv2HostOptions options (static_cast<const LV2_Options_Option*> (optionsFeature->data),
                                          *static_cast<const LV2_URID_Map*> (mapFeature->data));
            const LV2_Feature rewrittenOptions { LV2_OPTIONS__options, const_cast<LV2_Options_Option*> (options.get()) };

            std::vector<const LV2_Feature*> rewritten;

            for (auto* feature = features; *feature != nullptr; ++feature)
                rewritten.push_back (*feature == optionsFeature ? &rewrittenOptions : *feature);

            rewritten.push_back (nullptr);

            // The wrapper reads the options only here, so they need not outlive the call.
            return wrapper->instantiate (wrapper, sampleRate, bundlePath, rewritten.data());
        }
        catch (...)
        {
            return nullptr;
        }
    }
}

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor (uint32_t index)
{
    static const auto descriptor = []
    {
        auto ours = *juce_lv2_descriptor (0);
        ours.instantiate = instantiate;
        return ours;
    }();

    return index == 0 ? &descriptor : nullptr;
}
