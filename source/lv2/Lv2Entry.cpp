// The LV2 module's entry points, in front of the framework's LV2 wrapper.
//
// The wrapper is compiled with its own entries renamed to juce_lv2_descriptor and
// juce_lv2ui_descriptor (cmake/Lv2Entry.cmake); hosts find these instead.
//
// lv2_descriptor is the wrapper's descriptor with these changes:
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
//
// lv2ui_descriptor is the wrapper's UI descriptor with the UI's side of those
// ports: port events for them reach the store (and the open panel follows), and
// each change of the store the panel makes is written to the host. Asking for it
// first also mends the one thing that kept the pedal's X11 UI out of Audacity's
// GTK dialog (see repairSuilModuleFolder).

#include "Lv2AudioPath.h"
#include "Lv2HostOptions.h"
#include "Lv2SettingPorts.h"
#include "Lv2StateString.h"
#include "plugin/ModuleEntry.h"

#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/instance-access/instance-access.h>
#include <lv2/log/log.h>
#include <lv2/state/state.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

extern "C" const LV2_Descriptor* juce_lv2_descriptor (uint32_t index);
extern "C" const LV2UI_Descriptor* juce_lv2ui_descriptor (uint32_t index);

namespace
{
    const LV2_Feature* findFeature (const LV2_Feature* const* features, const char* uri)
    {
        for (auto* feature = features; feature != nullptr && *feature != nullptr; ++feature)
            if ((*feature)->URI != nullptr && std::strcmp ((*feature)->URI, uri) == 0)
                return *feature;

        return nullptr;
    }

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
            const auto* logFeature = findFeature (features, LV2_LOG__log);

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
        const auto* feature = findFeature (features, LV2_URID__map);
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
        OwnUridMap() : feature { this, [] (LV2_URID_Map_Handle handle, const char* uri)
                                       { return static_cast<OwnUridMap*> (handle)->map (uri); } }
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
            : wrapped (wrappedIn),
              pedal (pedalIn),
              audio (pedalIn, sampleRate),
              log (logIn),
              numInputs ((uint32_t) pedalIn.getTotalNumInputChannels()),
              numAudioPorts (numInputs + (uint32_t) pedalIn.getTotalNumOutputChannels()),
              firstSettingPort (Lv2SettingPorts::firstIndex (pedalIn)),
              sequenceType (map.map (map.handle, LV2_ATOM__Sequence)),
              stringType (map.map (map.handle, LV2_ATOM__String)),
              intType (map.map (map.handle, LV2_ATOM__Int)),
              programKey (map.map (map.handle, (juce::String (JucePlugin_LV2URI) + ":Program").toRawUTF8())),
              stateKey (map.map (map.handle, (juce::String (JucePlugin_LV2URI) + ":StateString").toRawUTF8()))
        {
        }

        LV2_Handle wrapped;
        BraskOverdriveAudioProcessor& pedal;
        Lv2AudioPath audio;
        HostLog log;

        // The wrapper's ports: audio inputs, audio outputs, atom input, atom output,
        // latency, free-wheeling, enabled; then our setting ports.
        const uint32_t numInputs, numAudioPorts, firstSettingPort;
        uint32_t atomOutputPort() const noexcept     { return numAudioPorts + 1; }
        uint32_t latencyPort() const noexcept        { return numAudioPorts + 2; }
        uint32_t freeWheelingPort() const noexcept   { return numAudioPorts + 3; }
        uint32_t enabledPort() const noexcept        { return numAudioPorts + 4; }

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

        const auto* hostMap = findFeature (features, LV2_URID__map);
        const auto* optionsFeature = findFeature (features, LV2_OPTIONS__options);
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

    /*  The bundle's one preset, "Default", holds the wrapper's program number 0
        (and the setting ports at their defaults). The pedal has no programs of its
        own, so the wrapper's restore of it changes nothing: here it means what its
        name says, the pedal's defaults, as its 16-byte state.
    */
    bool holdsOnlyTheProgram (const Instance& instance, LV2_State_Retrieve_Function retrieve, LV2_State_Handle stateHandle)
    {
        size_t size = 0;
        uint32_t type = 0, flags = 0;

        if (retrieve (stateHandle, instance.stateKey, &size, &type, &flags) != nullptr)
            return false;

        return retrieve (stateHandle, instance.programKey, &size, &type, &flags) != nullptr;
    }

    /*  Whether what the host hands back is something the wrapper may decode: the
        program number it stores for the bundle's preset, or a state string the
        pedal could have written. Anything else is refused, in the host's log,
        before the wrapper sees it, and the pedal keeps its settings.
    */
    LV2_State_Status checkStoredState (const Instance& instance, LV2_State_Retrieve_Function retrieve,
                                       LV2_State_Handle stateHandle)
    {
        size_t size = 0;
        uint32_t type = 0, flags = 0;

        // The wrapper takes a well-formed program number first and then reads nothing else.
        if (retrieve (stateHandle, instance.programKey, &size, &type, &flags) != nullptr
            && type == instance.intType && size == sizeof (int32_t))
            return LV2_STATE_SUCCESS;

        const auto* text = retrieve (stateHandle, instance.stateKey, &size, &type, &flags);

        if (text == nullptr)
        {
            instance.log.tell ("not restoring a saved state that holds no settings of this pedal");
            return LV2_STATE_ERR_NO_PROPERTY;
        }

        if (type != instance.stringType)
        {
            instance.log.tell ("not restoring the saved state: it is not the text the pedal saves");
            return LV2_STATE_ERR_BAD_TYPE;
        }

        if (const auto* problem = Lv2StateString::problemWith (text, size))
        {
            char line[160];
            std::snprintf (line, sizeof (line), "not restoring the saved state, the settings stay as they are: %s",
                           problem);
            instance.log.tell (line);
            return LV2_STATE_ERR_UNKNOWN;
        }

        return LV2_STATE_SUCCESS;
    }

    const void* extensionData (const char* uri)
    {
        const auto* wrapped = wrapperDescriptor().extension_data (uri);

        if (std::strcmp (uri, LV2_STATE__interface) == 0 && wrapped != nullptr)
        {
            static const auto* wrappedState = static_cast<const LV2_State_Interface*> (wrapped);
            static const LV2_State_Interface state {
                [] (LV2_Handle handle, LV2_State_Store_Function store, LV2_State_Handle stateHandle,
                    uint32_t flags, const LV2_Feature* const* features)
                {
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
                    uint32_t flags, const LV2_Feature* const* features)
                {
                    auto& instance = instanceOf (handle);

                    if (retrieve == nullptr)
                        return LV2_STATE_ERR_UNKNOWN;

                    try
                    {
                        if (const auto refused = checkStoredState (instance, retrieve, stateHandle);
                            refused != LV2_STATE_SUCCESS)
                            return refused;

                        const auto isDefault = holdsOnlyTheProgram (instance, retrieve, stateHandle);
                        const auto status = wrappedState->restore (instance.wrapped, retrieve, stateHandle, flags, features);

                        if (status == LV2_STATE_SUCCESS && isDefault)
                        {
                            for (auto setting = 0; setting < Lv2SettingPorts::count; ++setting)
                                Lv2SettingPorts::apply (instance.pedal, (Lv2SettingPorts::Setting) setting,
                                                        Lv2SettingPorts::defaults[(size_t) setting]);

                            instance.pedal.restoreBroadcaster.sendChangeMessage(); // as after a restore of the state
                        }

                        // The state is the truth: ports holding other values stay ignored until they change.
                        if (status == LV2_STATE_SUCCESS)
                            instance.follower.restored();

                        return status;
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
        host that does not use suil, sets no folder, or sets one that works; and
        once pointed at a folder that works, a second call changes nothing.
        It is a process-wide change in the host's environment, kept because
        nothing else gets the pedal's UI into Audacity's window: suil reads no
        other setting, and Audacity offers none.
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

namespace
{
    //==============================================================================
    /*  Our UI: the wrapper's, with the UI's side of the setting ports. Everything
        here runs on the host's UI thread, which is the framework's message thread
        while a UI is open (the wrapper's idle call dispatches its messages).
    */
    struct Ui
    {
        LV2UI_Handle wrapped;
        BraskOverdriveAudioProcessor& pedal;
        uint32_t firstSettingPort;
        LV2UI_Write_Function write;
        LV2UI_Controller controller;
        Lv2SettingPorts::Mirror mirror;
    };

    const LV2UI_Descriptor& wrapperUiDescriptor()
    {
        return *juce_lv2ui_descriptor (0);
    }

    Ui& uiOf (LV2UI_Handle handle)
    {
        return *static_cast<Ui*> (handle);
    }

    LV2UI_Handle instantiateUi (const LV2UI_Descriptor*, const char* pluginUri, const char* bundlePath,
                                LV2UI_Write_Function write, LV2UI_Controller controller, LV2UI_Widget* widget,
                                const LV2_Feature* const* features)
    {
        if (features == nullptr)
            return nullptr;

        // The host hands the UI our instance; the wrapper's UI wants its own.
        const auto* access = findFeature (features, LV2_INSTANCE_ACCESS_URI);

        if (access == nullptr || access->data == nullptr)
            return nullptr;

        auto& instance = instanceOf (access->data);

        try
        {
            const LV2_Feature wrappedAccess { LV2_INSTANCE_ACCESS_URI, instance.wrapped };
            std::vector<const LV2_Feature*> rewritten;

            for (auto* feature = features; *feature != nullptr; ++feature)
                rewritten.push_back (*feature == access ? &wrappedAccess : *feature);

            rewritten.push_back (nullptr);

            auto& wrapper = wrapperUiDescriptor();
            auto* wrapped = wrapper.instantiate (&wrapper, pluginUri, bundlePath, write, controller, widget,
                                                 rewritten.data());

            if (wrapped == nullptr)
                return nullptr;

            auto* ui = new (std::nothrow) Ui { wrapped, instance.pedal, instance.firstSettingPort, write, controller,
                                               Lv2SettingPorts::Mirror (instance.pedal) };

            if (ui == nullptr)
                wrapper.cleanup (wrapped);

            return ui;
        }
        catch (...)
        {
            return nullptr;
        }
    }

    void cleanupUi (LV2UI_Handle handle)
    {
        auto* ui = &uiOf (handle);
        wrapperUiDescriptor().cleanup (ui->wrapped);
        delete ui;
    }

    void portEvent (LV2UI_Handle handle, uint32_t port, uint32_t size, uint32_t format, const void* buffer)
    {
        auto& ui = uiOf (handle);
        const auto setting = port - ui.firstSettingPort;

        if (port < ui.firstSettingPort || setting >= Lv2SettingPorts::count)
        {
            wrapperUiDescriptor().port_event (ui.wrapped, port, size, format, buffer);
            return;
        }

        // Format 0 is a control port's float.
        if (format != 0 || size != sizeof (float) || buffer == nullptr)
            return;

        if (ui.mirror.receive (ui.pedal, (Lv2SettingPorts::Setting) setting, *static_cast<const float*> (buffer)))
            ui.pedal.restoreBroadcaster.sendChangeMessage(); // the open panel follows, as after a restore
    }

    // Writes what the panel changed since the last call to the host's ports.
    void writeChanges (Ui& ui)
    {
        if (ui.write == nullptr)
            return;

        if (const auto changed = ui.mirror.takeChanges (ui.pedal))
            for (uint32_t setting = 0; setting < Lv2SettingPorts::count; ++setting)
                ui.write (ui.controller, ui.firstSettingPort + setting, sizeof (float), 0, &(*changed)[setting]);
    }

    const void* uiExtensionData (const char* uri)
    {
        const auto* wrapped = wrapperUiDescriptor().extension_data (uri);

        if (wrapped == nullptr)
            return nullptr;

        // The host calls these with our handle: each passes the wrapper's on.
        if (std::strcmp (uri, LV2_UI__idleInterface) == 0)
        {
            static const auto* wrappedIdle = static_cast<const LV2UI_Idle_Interface*> (wrapped);
            static const LV2UI_Idle_Interface idle { [] (LV2UI_Handle handle)
            {
                auto& ui = uiOf (handle);
                const auto result = wrappedIdle->idle (ui.wrapped); // knob turns and restores land here
                writeChanges (ui);
                return result;
            } };

            return &idle;
        }

        if (std::strcmp (uri, LV2_UI__resize) == 0)
        {
            static const auto* wrappedResize = static_cast<const LV2UI_Resize*> (wrapped);
            static const LV2UI_Resize resize { nullptr, [] (LV2UI_Feature_Handle handle, int width, int height)
            {
                return wrappedResize->ui_resize (uiOf (handle).wrapped, width, height);
            } };

            return &resize;
        }

        if (std::strcmp (uri, LV2_OPTIONS__interface) == 0)
        {
            static const auto* wrappedOptions = static_cast<const LV2_Options_Interface*> (wrapped);
            static const LV2_Options_Interface options {
                [] (LV2_Handle handle, LV2_Options_Option* optionsIn)
                {
                    return wrappedOptions->get (uiOf (handle).wrapped, optionsIn);
                },
                [] (LV2_Handle handle, const LV2_Options_Option* optionsIn)
                {
                    return wrappedOptions->set (uiOf (handle).wrapped, optionsIn);
                }
            };

            return &options;
        }

        // Anything else the wrapper offered would be handed our handle.
        return nullptr;
    }
}

LV2_SYMBOL_EXPORT const LV2UI_Descriptor* lv2ui_descriptor (uint32_t index)
{
    // Hosts ask for the descriptor on their UI thread just before suil embeds the UI.
    repairSuilModuleFolder();

    static const auto descriptor = []
    {
        auto ours = wrapperUiDescriptor();
        ours.instantiate = instantiateUi;
        ours.cleanup = cleanupUi;
        ours.port_event = portEvent;
        ours.extension_data = uiExtensionData;
        return ours;
    }();

    return index == 0 ? &descriptor : nullptr;
}

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor (uint32_t index)
{
    static const auto descriptor = []
    {
        auto ours = wrapperDescriptor();
        ours.instantiate = instantiate;
        ours.connect_port = connectPort;
        ours.activate = activate;
        ours.run = run;
        ours.deactivate = deactivate;
        ours.cleanup = cleanup;
        ours.extension_data = extensionData;
        return ours;
    }();

    return index == 0 ? &descriptor : nullptr;
}
