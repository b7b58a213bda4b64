// The LV2 module's entry points, in front of the framework's LV2 wrapper.
//
// The wrapper is compiled with its own entries renamed to juce_lv2_descriptor and
// juce_lv2ui_descriptor (cmake/Lv2Entry.cmake); hosts find these instead.
//
// lv2_descriptor is the wrapper's descriptor with one change: instantiate hands
// the wrapper the host's options rewritten by Lv2HostOptions, so that a block
// length or sample rate the host encodes in another width (Audacity's 8-byte
// atom:Int, an atom:Long, a float) no longer makes the wrapper refuse the
// instance. Ports, run and state are the wrapper's, unchanged.
//
// lv2ui_descriptor is the wrapper's UI descriptor, unchanged; asking for it first
// mends the one thing that kept the pedal's X11 UI out of Audacity's GTK dialog
// (see repairSuilModuleFolder).

#include "Lv2HostOptions.h"

#include <lv2/core/lv2.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

extern "C" const LV2_Descriptor* juce_lv2_descriptor (uint32_t index);
extern "C" const LV2UI_Descriptor* juce_lv2ui_descriptor (uint32_t index);

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

namespace
{
    bool holdsX11Embedding (const std::filesystem::path& folder)
    {
        std::error_code error;

        for (const auto* module : { "libsuil_x11_in_gtk3.so", "libsuil_x11_in_gtk2.so", "libsuil_x11_in_qt5.so" })
            if (std::filesystem::is_regular_file (folder / module, error))
                return true;

        return false;
    }

    /*  A host that shows an LV2 UI of another toolkit (ours is X11) inside its own
        window asks suil to embed it, and suil loads the module that does so from
        the folder SUIL_MODULE_DIR names. Audacity 3.2 sets that variable to a
        folder of its own, which Debian's package leaves empty (suil then looks for
        "/libsuil_x11_in_gtk3.so"), so every X11 UI falls back to the plain dialog.

        suil reads the variable each time it embeds a UI, after asking the UI's
        library for its descriptor: here. When the variable names a folder without
        the embedding modules and the suil library the host has loaded keeps them
        in its own folder, the variable is pointed there. Nothing changes for a
        host that does not use suil, sets no folder, or sets one that works.
    */
    void repairSuilModuleFolder()
    {
        const auto* named = std::getenv ("SUIL_MODULE_DIR");

        if (named == nullptr || holdsX11Embedding (named))
            return;

        // Only a suil the host already loaded: RTLD_NOLOAD never loads one.
        auto* suil = dlopen ("libsuil-0.so.0", RTLD_LAZY | RTLD_NOLOAD);

        if (suil == nullptr)
            return;

        Dl_info info {};
        const auto* symbol = dlsym (suil, "suil_instance_new");
        const auto found = symbol != nullptr && dladdr (symbol, &info) != 0 && info.dli_fname != nullptr;
        const auto modules = found ? std::filesystem::path (info.dli_fname).parent_path() / "suil-0"
                                   : std::filesystem::path();
        dlclose (suil);

        if (found && holdsX11Embedding (modules))
            setenv ("SUIL_MODULE_DIR", modules.c_str(), 1);
    }
}

LV2_SYMBOL_EXPORT const LV2UI_Descriptor* lv2ui_descriptor (uint32_t index)
{
    // Hosts ask for the descriptor on their UI thread just before suil embeds the UI.
    repairSuilModuleFolder();
    return juce_lv2ui_descriptor (index);
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
