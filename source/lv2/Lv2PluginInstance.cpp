// The LV2 plug-in instance: the framework's wrapper behind our own entry points.
//
// The plug-in's descriptor is the wrapper's with these changes:
// - the audio path is ours (Lv2AudioPath): the host's buffers go straight to the
//   pedal, any run length, no copy, no allocation, no lock; `enabled` fades;
//   activate after a deactivate starts from silence; the atom input is read by
//   nobody (the pedal takes no MIDI and no time position) and the atom output is
//   left an empty sequence;
// - the wrapper is given a map, the options with a bounded maximum block length
//   and the promise of bounded blocks whatever the host offers, which it needs
//   to make an instance, so hosts that offer none of these (lv2file, lv2apply,
//   Ardour on PipeWire) load the pedal; a refusal is told to the host's log (or
//   stderr);
// - the bundle's "Default" preset restores the pedal's defaults;
// - a stored state is checked (Lv2StateString) before the wrapper decodes it, and
//   one the pedal could not have written is refused with a line in the log;
// - instantiate hands the wrapper the host's options rewritten by Lv2HostOptions,
//   so that a block length or sample rate the host encodes in another width
//   (Audacity's 8-byte atom:Int, an atom:Long, a float) no longer makes the
//   wrapper refuse the instance;
// - the pedal's four settings are control input ports after the wrapper's own
//   (Lv2SettingPorts): a host that keeps an effect's settings as port values only,
//   as Audacity does, reads and writes the pedal's store through them. Our handle
//   holds the wrapper's, so every call that takes a handle passes through here.
// The wrapper keeps what it does well: making the pedal, saving and decoding the
// state, the UI and the bundle's data. No exception crosses into the host.

#include "Lv2PluginInstance.h"

#include "Lv2AudioPath.h"
#include "Lv2FeatureList.h"
#include "Lv2HostOptions.h"
#include "Lv2SettingPorts.h"
#include "Lv2StateString.h"
#include "plugin/ModuleEntry.h"

#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/log/log.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The framework's wrapper, compiled with its entry renamed (cmake/Lv2Entry.cmake).
extern "C" const LV2_Descriptor* juce_lv2_descriptor (uint32_t index);

namespace
{
    /*  The longest block the wrapper is told to prepare the pedal for, when the
        host offers a longer one or none: the wrapper insists on a bound. The pedal
        plays runs of any length without preparing for them, so nothing is cut at
        this length; 8192 is the longest period JACK, ALSA and PipeWire offer.
    */
    constexpr int32_t longestBlock = 8192;

    //==============================================================================
    /*  Where the pedal tells the host what it refused: the host's log when it
        offers one, stderr otherwise.
    */
    struct HostLog
    {
        HostLog (const LV2_Feature* const* features, const LV2_URID_Map* map) noexcept
        {
            const auto* logFeature = findLv2Feature (features, LV2_LOG__log);

            if (logFeature != nullptr && logFeature->data != nullptr && map != nullptr)
            {
                log = static_cast<const LV2_Log_Log*> (logFeature->data);
                errorType = map->map (map->handle, LV2_LOG__Error);
            }
        }

        void tell (const char* what) const noexcept
        {
            if (log != nullptr && log->printf != nullptr)
                log->printf (log->handle, errorType, "Brask Overdrive: %s\n", what);
            else
                std::fprintf (stderr, "Brask Overdrive: %s\n", what);
        }

        const LV2_Log_Log* log = nullptr;
        LV2_URID errorType = 0;
    };

    const LV2_URID_Map* hostMapIn (const LV2_Feature* const* features) noexcept
    {
        const auto* feature = findLv2Feature (features, LV2_URID__map);
        return feature != nullptr ? static_cast<const LV2_URID_Map*> (feature->data) : nullptr;
    }

    void explainRefusal (const LV2_Feature* const* features, const char* reason)
    {
        HostLog (features, hostMapIn (features)).tell (reason);
    }

    //==============================================================================
    /*  URIDs for a host that offers no map (lv2file, lv2apply): such a host sends
        and reads no atoms, so the numbers need only be distinct within the
        instance. The wrapper maps everything it uses while it makes the instance;
        a later call (state, from the host's non-audio threads) takes the lock.
    */
    class OwnUridMap final
    {
    public:
        OwnUridMap()
            : feature { this, [] (LV2_URID_Map_Handle handle, const char* uri) { return static_cast<OwnUridMap*> (handle)->map (uri); } }
        {
        }

        const LV2_URID_Map feature;

    private:
        LV2_URID map (const char* uri)
        {
            const std::scoped_lock lock (mutex);
            const auto found = std::find (uris.begin(), uris.end(), uri);

            if (found != uris.end())
                return (LV2_URID) (found - uris.begin()) + 1;

            uris.emplace_back (uri);
            return (LV2_URID) uris.size();
        }

        std::mutex mutex;
        std::vector<std::string> uris;
    };

    //==============================================================================
    /*  Our instance: the wrapper's, with the pedal behind it, our audio path and our
        setting ports. The pedal is the one the wrapper's instantiate made through
        the module entry on this thread, so two instances never share it.
    */
    struct Instance
    {
        Instance (LV2_Handle wrappedIn, BraskOverdriveAudioProcessor& pedalIn, double sampleRate,
                  LV2_URID_Map map, HostLog logIn)
            : wrapped (wrappedIn)
            , pedal (pedalIn)
            , audio (pedalIn, sampleRate)
            , log (logIn)
            , numInputs ((uint32_t) pedalIn.getTotalNumInputChannels())
            , numAudioPorts (numInputs + (uint32_t) pedalIn.getTotalNumOutputChannels())
            , firstSettingPort (Lv2SettingPorts::firstIndex (pedalIn))
            , sequenceType (map.map (map.handle, LV2_ATOM__Sequence))
            , stringType (map.map (map.handle, LV2_ATOM__String))
            , intType (map.map (map.handle, LV2_ATOM__Int))
            , programKey (map.map (map.handle, (juce::String (JucePlugin_LV2URI) + ":Program").toRawUTF8()))
            , stateKey (map.map (map.handle, (juce::String (JucePlugin_LV2URI) + ":StateString").toRawUTF8()))
        {
        }

        LV2_Handle wrapped;
        BraskOverdriveAudioProcessor& pedal;
        Lv2AudioPath audio;
        HostLog log;

        // The wrapper's ports: audio inputs, audio outputs, atom input, atom output,
        // latency, free-wheeling, enabled; then our setting ports.
        const uint32_t numInputs, numAudioPorts, firstSettingPort;
        uint32_t atomOutputPort() const noexcept { return numAudioPorts + 1; }
        uint32_t latencyPort() const noexcept { return numAudioPorts + 2; }
        uint32_t freeWheelingPort() const noexcept { return numAudioPorts + 3; }
        uint32_t enabledPort() const noexcept { return numAudioPorts + 4; }

        std::array<const float*, Lv2SettingPorts::count> settingPorts {};
        Lv2SettingPorts::Follower follower;
        LV2_Atom_Sequence* atomOutput = nullptr;

        // The map the wrapper was given when the host had none: it lives as long as the instance.
        std::unique_ptr<OwnUridMap> ownMap;

        const LV2_URID sequenceType, stringType, intType, programKey, stateKey;
    };

    const LV2_Descriptor& wrapperDescriptor()
    {
        return *juce_lv2_descriptor (0);
    }

    Instance& instanceOf (LV2_Handle handle)
    {
        return *static_cast<Instance*> (handle);
    }

    LV2_Handle instantiate (const LV2_Descriptor*, double sampleRate, const char* bundlePath,
                            const LV2_Feature* const* features)
    {
        const auto* wrapper = juce_lv2_descriptor (0);

        if (wrapper == nullptr)
            return nullptr;

        if (! std::isfinite (sampleRate) || sampleRate < 1.0 || sampleRate > 1.0e7)
        {
            explainRefusal (features, ("cannot run at a sample rate of " + std::to_string (sampleRate) + " Hz").c_str());
            return nullptr;
        }

        const auto* hostMap = findLv2Feature (features, LV2_URID__map);
        const auto* optionsFeature = findLv2Feature (features, LV2_OPTIONS__options);
        ModuleEntry::forgetLastMadeOnThisThread();

        // No exception may cross into the host's C code: a host that asks for more
        // memory than there is gets no instance and a line in its log, not a crash.
        try
        {
            // The wrapper requires a map, which a host that exchanges no atoms need not offer.
            auto ownMap = hostMap == nullptr || hostMap->data == nullptr ? std::make_unique<OwnUridMap>() : nullptr;
            const auto& map = ownMap != nullptr ? ownMap->feature : *static_cast<const LV2_URID_Map*> (hostMap->data);
            const LV2_Feature mapFeature { LV2_URID__map, const_cast<LV2_URID_Map*> (&map) };

            // The wrapper requires the options with a maximum block length and the
            // promise of bounded blocks; our run keeps that promise whatever the
            // host does, so the wrapper is given both whatever the host offers.
            Lv2HostOptions options (optionsFeature != nullptr ? static_cast<const LV2_Options_Option*> (optionsFeature->data)
                                                              : nullptr,
                                    map);
            options.boundMaximum (longestBlock);
            const LV2_Feature wrapperOptions { LV2_OPTIONS__options, const_cast<LV2_Options_Option*> (options.get()) };
            const LV2_Feature bounded { LV2_BUF_SIZE__boundedBlockLength, nullptr };

            std::vector<const LV2_Feature*> rewritten;

            for (auto* feature = features; feature != nullptr && *feature != nullptr; ++feature)
                if (*feature != optionsFeature && *feature != hostMap && (*feature)->URI != nullptr
                    && std::strcmp ((*feature)->URI, LV2_BUF_SIZE__boundedBlockLength) != 0)
                    rewritten.push_back (*feature);

            rewritten.push_back (&mapFeature);
            rewritten.push_back (&wrapperOptions);
            rewritten.push_back (&bounded);
            rewritten.push_back (nullptr);

            // The wrapper reads the options only here, so they need not outlive the call.
            auto* wrapped = wrapper->instantiate (wrapper, sampleRate, bundlePath, rewritten.data());

            if (wrapped == nullptr)
            {
                explainRefusal (features, "the framework's LV2 wrapper declined to make an instance");
                return nullptr;
            }

            // The wrapper made its pedal through the module entry, on this thread, just now.
            auto* pedal = ModuleEntry::lastMadeOnThisThread();
            ModuleEntry::forgetLastMadeOnThisThread();

            if (pedal == nullptr)
            {
                wrapper->cleanup (wrapped);
                explainRefusal (features, "the framework's LV2 wrapper made no pedal");
                return nullptr;
            }

            std::unique_ptr<Instance> instance;

            try
            {
                instance = std::make_unique<Instance> (wrapped, *pedal, sampleRate, map, HostLog (features, &map));
            }
            catch (...)
            {
                wrapper->cleanup (wrapped);
                throw;
            }

            instance->ownMap = std::move (ownMap);
            return instance.release();
        }
        catch (const std::bad_alloc&)
        {
            explainRefusal (features, "out of memory");
        }
        catch (...)
        {
            explainRefusal (features, "the instance could not be made");
        }

        ModuleEntry::forgetLastMadeOnThisThread();
        return nullptr;
    }

    void connectPort (LV2_Handle handle, uint32_t port, void* data)
    {
        auto& instance = instanceOf (handle);

        if (port >= instance.firstSettingPort && port - instance.firstSettingPort < Lv2SettingPorts::count)
            instance.settingPorts[port - instance.firstSettingPort] = static_cast<const float*> (data);
        else if (port < instance.numInputs)
            instance.audio.connectInput ((int) port, static_cast<const float*> (data));
        else if (port < instance.numAudioPorts)
            instance.audio.connectOutput ((int) (port - instance.numInputs), static_cast<float*> (data));
        else if (port == instance.atomOutputPort())
            instance.atomOutput = static_cast<LV2_Atom_Sequence*> (data);
        else if (port == instance.latencyPort())
            instance.audio.connectLatency (static_cast<float*> (data));
        else if (port == instance.freeWheelingPort())
            instance.audio.connectFreeWheeling (static_cast<const float*> (data));
        else if (port == instance.enabledPort())
            instance.audio.connectEnabled (static_cast<const float*> (data));

        // The atom input is read by nobody: whatever the host sends there is ignored.
    }

    void activate (LV2_Handle handle)
    {
        instanceOf (handle).audio.activate();
    }

    void run (LV2_Handle handle, uint32_t sampleCount)
    {
        auto& instance = instanceOf (handle);

        // The pedal writes no events: the host's output sequence is left empty, as
        // a host that gave it a capacity expects to find it.
        if (auto* output = instance.atomOutput; output != nullptr && output->atom.size >= sizeof (LV2_Atom_Sequence_Body))
        {
            output->atom = { (uint32_t) sizeof (LV2_Atom_Sequence_Body), instance.sequenceType };
            output->body = { 0, 0 };
        }

        if (sampleCount > 0)
            instance.follower.apply (instance.pedal, instance.settingPorts);

        instance.audio.run (sampleCount);
    }

    void deactivate (LV2_Handle handle)
    {
        instanceOf (handle).audio.deactivate();
    }

    void cleanup (LV2_Handle handle)
    {
        auto* instance = &instanceOf (handle);
        wrapperDescriptor().cleanup (instance->wrapped);
        delete instance;
    }

    // The wrapper's turtle writer, used by the build to write the bundle's data.
    constexpr auto turtleRecallUri = "https://lv2-extensions.juce.com/turtle_recall";

    //==============================================================================
    // One value as the host's retrieve function handed it over.
    struct Retrieved
    {
        const void* value = nullptr;
        size_t size = 0;
        uint32_t type = 0, flags = 0;
    };

    Retrieved retrieveValue (LV2_State_Retrieve_Function retrieve, LV2_State_Handle stateHandle, LV2_URID key)
    {
        Retrieved found;
        found.value = retrieve (stateHandle, key, &found.size, &found.type, &found.flags);
        return found;
    }

    /*  What the wrapper is handed to decode: exactly the state string that was
        checked, read once. A host whose retrieve function answers differently on a
        second call is never asked again, and the program number is not shown, so
        that the wrapper decodes the string.
    */
    struct CheckedString
    {
        LV2_URID key;
        Retrieved text;

        static const void* retrieve (LV2_State_Handle handle, uint32_t key, size_t* size, uint32_t* type, uint32_t* flags)
        {
            const auto& checked = *static_cast<const CheckedString*> (handle);

            if (key != checked.key)
                return nullptr;

            *size = checked.text.size;
            *type = checked.text.type;
            *flags = checked.text.flags;
            return checked.text.value;
        }
    };

    /*  A stored state, checked before anything decodes it. The pedal's own state
        string is the truth wherever it is present. Without one, the wrapper's
        program number stands for the bundle's "Default" preset: program 0, the
        pedal's only one, means the pedal's defaults. Anything else is refused in
        the host's log, and the pedal keeps its settings.
    */
    LV2_State_Status restoreState (Instance& instance, const LV2_State_Interface& wrappedState,
                                   LV2_State_Retrieve_Function retrieve, LV2_State_Handle stateHandle,
                                   uint32_t flags, const LV2_Feature* const* features)
    {
        const auto text = retrieveValue (retrieve, stateHandle, instance.stateKey);

        if (text.value == nullptr)
        {
            const auto program = retrieveValue (retrieve, stateHandle, instance.programKey);

            if (program.value == nullptr)
            {
                instance.log.tell ("not restoring a saved state that holds no settings of this pedal");
                return LV2_STATE_ERR_NO_PROPERTY;
            }

            if (program.type != instance.intType || program.size != sizeof (int32_t))
            {
                instance.log.tell ("not restoring the saved state: its program is not a number");
                return LV2_STATE_ERR_BAD_TYPE;
            }

            int32_t number = 0;
            std::memcpy (&number, program.value, sizeof (number));

            if (number != 0)
            {
                instance.log.tell ("not restoring the saved state: it names a program the pedal does not have "
                                   "(its only one, 0, is its defaults)");
                return LV2_STATE_ERR_UNKNOWN;
            }

            for (auto setting = 0; setting < Lv2SettingPorts::count; ++setting)
                Lv2SettingPorts::apply (instance.pedal, (Lv2SettingPorts::Setting) setting,
                                        Lv2SettingPorts::defaults[(size_t) setting]);

            instance.pedal.restoreBroadcaster.sendChangeMessage();  // as after a restore of the state
            instance.follower.restored();
            return LV2_STATE_SUCCESS;
        }

        if (text.type != instance.stringType)
        {
            instance.log.tell ("not restoring the saved state: it is not the text the pedal saves");
            return LV2_STATE_ERR_BAD_TYPE;
        }

        if (const auto* problem = Lv2StateString::problemWith (text.value, text.size))
        {
            char line[160];
            std::snprintf (line, sizeof (line), "not restoring the saved state, the settings stay as they are: %s",
                           problem);
            instance.log.tell (line);
            return LV2_STATE_ERR_UNKNOWN;
        }

        CheckedString checked { instance.stateKey, text };
        const auto status = wrappedState.restore (instance.wrapped, CheckedString::retrieve, &checked, flags, features);

        // The state is the truth: ports holding other values stay ignored until they change.
        if (status == LV2_STATE_SUCCESS)
            instance.follower.restored();

        return status;
    }

    const void* extensionData (const char* uri)
    {
        const auto* wrapped = wrapperDescriptor().extension_data (uri);

        if (std::strcmp (uri, LV2_STATE__interface) == 0 && wrapped != nullptr)
        {
            static const auto* wrappedState = static_cast<const LV2_State_Interface*> (wrapped);
            static const LV2_State_Interface state {
                [] (LV2_Handle handle, LV2_State_Store_Function store, LV2_State_Handle stateHandle,
                    uint32_t flags, const LV2_Feature* const* features) {
                    auto& instance = instanceOf (handle);

                    try
                    {
                        return wrappedState->save (instance.wrapped, store, stateHandle, flags, features);
                    }
                    catch (...)
                    {
                        instance.log.tell ("could not save the settings");
                        return LV2_STATE_ERR_UNKNOWN;
                    }
                },
                [] (LV2_Handle handle, LV2_State_Retrieve_Function retrieve, LV2_State_Handle stateHandle,
                    uint32_t flags, const LV2_Feature* const* features) {
                    auto& instance = instanceOf (handle);

                    if (retrieve == nullptr)
                    {
                        instance.log.tell ("not restoring: the host handed over no saved state to read");
                        return LV2_STATE_ERR_UNKNOWN;
                    }

                    try
                    {
                        return restoreState (instance, *wrappedState, retrieve, stateHandle, flags, features);
                    }
                    catch (...)
                    {
                        instance.log.tell ("could not restore the saved state; the settings stay as they are");
                        return LV2_STATE_ERR_UNKNOWN;
                    }
                }
            };

            return &state;
        }

        // Whatever else the wrapper offers would be handed our handle: only what
        // takes none passes.
        return std::strcmp (uri, turtleRecallUri) == 0 ? wrapped : nullptr;
    }
}

//==============================================================================
const LV2_Descriptor& Lv2PluginInstance::descriptor()
{
    static const auto ours = [] {
        auto changed = wrapperDescriptor();
        changed.instantiate = instantiate;
        changed.connect_port = connectPort;
        changed.activate = activate;
        changed.run = run;
        changed.deactivate = deactivate;
        changed.cleanup = cleanup;
        changed.extension_data = extensionData;
        return changed;
    }();

    return ours;
}

Lv2PluginInstance::ForUi Lv2PluginInstance::forUi (LV2_Handle handle) noexcept
{
    auto& instance = instanceOf (handle);
    return { instance.wrapped, instance.pedal, instance.firstSettingPort };
}
