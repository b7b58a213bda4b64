// The LV2 module's entry points, in front of the framework's LV2 wrapper.
//
// The wrapper is compiled with its own entries renamed to juce_lv2_descriptor and
// juce_lv2ui_descriptor (cmake/Lv2Entry.cmake); hosts find these instead.
//
// lv2_descriptor is the wrapper's descriptor with these changes:
// - the wrapper is given a map, the options with a bounded maximum block length
//   and the promise of bounded blocks whatever the host offers, and a run longer
//   than that maximum is cut into pieces here, so hosts that offer none of these
//   (lv2file, lv2apply, Ardour on PipeWire) load the pedal; a refusal is told to
//   the host's log (or stderr);
// - unconnected atom ports read as an empty sequence and write into scratch;
// - the bundle's "Default" preset restores the pedal's defaults;
// - instantiate hands the wrapper the host's options rewritten by Lv2HostOptions,
//   so that a block length or sample rate the host encodes in another width
//   (Audacity's 8-byte atom:Int, an atom:Long, a float) no longer makes the
//   wrapper refuse the instance;
// - the pedal's four settings are control input ports after the wrapper's own
//   (Lv2SettingPorts): a host that keeps an effect's settings as port values only,
//   as Audacity does, reads and writes the pedal's store through them. Our handle
//   holds the wrapper's, so every call that takes a handle passes through here.
// The state and the audio processing itself are the wrapper's, unchanged.
//
// lv2ui_descriptor is the wrapper's UI descriptor with the UI's side of those
// ports: port events for them reach the store (and the open panel follows), and
// each change of the store the panel makes is written to the host. Asking for it
// first also mends the one thing that kept the pedal's X11 UI out of Audacity's
// GTK dialog (see repairSuilModuleFolder).

#include "Lv2HostOptions.h"
#include "Lv2RunPieces.h"
#include "Lv2SettingPorts.h"

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

    /*  The longest block the wrapper is ever asked to process, and so what its
        buffers are sized for. 8192 samples is the longest period JACK, ALSA and
        PipeWire offer and the largest buffer Ardour lets a user choose, so a host
        playing live never has its blocks cut; a longer run (Audacity announces
        1,048,576 and renders in 65,536-sample runs; lv2file and lv2apply offer no
        maximum at all) is processed in pieces of this length, which the pedal
        cannot hear. At two channels the wrapper's buffer is 64 KiB.
    */
    constexpr int32_t longestBlock = 8192;

    //==============================================================================
    /*  Why an instance was declined, told where the host will see it: its log when
        it offers one, stderr otherwise.
    */
    void explainRefusal (const LV2_Feature* const* features, const char* reason)
    {
        const auto* logFeature = findFeature (features, LV2_LOG__log);
        const auto* mapFeature = findFeature (features, LV2_URID__map);

        if (logFeature != nullptr && logFeature->data != nullptr && mapFeature != nullptr && mapFeature->data != nullptr)
        {
            const auto& log = *static_cast<const LV2_Log_Log*> (logFeature->data);
            const auto& map = *static_cast<const LV2_URID_Map*> (mapFeature->data);

            if (log.printf != nullptr)
            {
                log.printf (log.handle, map.map (map.handle, LV2_LOG__Error), "Brask Overdrive: %s\n", reason);
                return;
            }
        }

        std::fprintf (stderr, "Brask Overdrive: %s\n", reason);
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
    /*  Our instance: the wrapper's, with the pedal behind it and our setting ports.
        The pedal is the one the wrapper's instantiate made through the module entry
        on this thread, so two instances never share it.

        Every port passes through here on its way to the wrapper, so that a run
        longer than the wrapper's maximum can be cut into pieces (each piece sees
        the audio from its first sample on, and the events that fall in it, once)
        and so that an atom port the host leaves unconnected reads as an empty
        sequence and writes into scratch instead of into nothing.
    */
    struct Instance
    {
        Instance (LV2_Handle wrappedIn, BraskOverdriveAudioProcessor& pedalIn, int32_t maximum, LV2_URID_Map map)
            : wrapped (wrappedIn)
            , pedal (pedalIn)
            , firstSettingPort (Lv2SettingPorts::firstIndex (pedalIn))
            , audioPorts ((size_t) (pedalIn.getTotalNumInputChannels() + pedalIn.getTotalNumOutputChannels()))
            , atomInputPort ((uint32_t) audioPorts.size())
            , atomOutputPort ((uint32_t) audioPorts.size() + 1)
            , longest ((uint32_t) maximum)
            , sequenceType (map.map (map.handle, LV2_ATOM__Sequence))
            , chunkType (map.map (map.handle, LV2_ATOM__Chunk))
            , programKey (map.map (map.handle, (juce::String (JucePlugin_LV2URI) + ":Program").toRawUTF8()))
            , stateKey (map.map (map.handle, (juce::String (JucePlugin_LV2URI) + ":StateString").toRawUTF8()))
            , pieceInput (scratchWords)
            , pieceOutput (scratchWords)
        {
            emptyInput.atom = { (uint32_t) sizeof (LV2_Atom_Sequence_Body), sequenceType };
            emptyInput.body = { 0, 0 };
        }

        LV2_Handle wrapped;
        BraskOverdriveAudioProcessor& pedal;
        uint32_t firstSettingPort;
        std::array<const float*, Lv2SettingPorts::count> settingPorts {};
        Lv2SettingPorts::Follower follower;

        // The map the wrapper was given when the host had none: it lives as long as the instance.
        std::unique_ptr<OwnUridMap> ownMap;

        std::vector<float*> audioPorts;
        const uint32_t atomInputPort, atomOutputPort;
        const uint32_t longest;
        const LV2_URID sequenceType, chunkType, programKey, stateKey;

        const LV2_Atom_Sequence* hostInput = nullptr;
        LV2_Atom_Sequence* hostOutput = nullptr;
        LV2_Atom_Sequence emptyInput {};

        // 64 KiB each: a piece's events, and what the wrapper writes while the host
        // has no output connected or the run is cut into pieces.
        static constexpr size_t scratchWords = 8192;
        std::vector<uint64_t> pieceInput, pieceOutput;

        LV2_Atom_Sequence& scratch (std::vector<uint64_t>& words) noexcept
        {
            return *reinterpret_cast<LV2_Atom_Sequence*> (words.data());
        }

        uint32_t scratchBodyCapacity() const noexcept
        {
            return (uint32_t) (scratchWords * sizeof (uint64_t) - sizeof (LV2_Atom));
        }
    };

    const LV2_Descriptor& wrapperDescriptor()
    {
        return *juce_lv2_descriptor (0);
    }

    Instance& instanceOf (LV2_Handle handle)
    {
        return *static_cast<Instance*> (handle);
    }

    void connectWrapper (Instance& instance, uint32_t port, void* data)
    {
        wrapperDescriptor().connect_port (instance.wrapped, port, data);
    }

    // The wrapper's output sequence when the host connected none: emptied for each run.
    LV2_Atom_Sequence& clearedScratchOutput (Instance& instance)
    {
        auto& output = instance.scratch (instance.pieceOutput);
        output.atom = { instance.scratchBodyCapacity(), instance.chunkType };
        return output;
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
        BraskOverdriveAudioProcessor::forgetLastMadeOnThisThread();

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
            const auto maximum = options.boundMaximum (longestBlock);
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
            auto* pedal = BraskOverdriveAudioProcessor::lastMadeOnThisThread();
            BraskOverdriveAudioProcessor::forgetLastMadeOnThisThread();

            if (pedal == nullptr)
            {
                wrapper->cleanup (wrapped);
                explainRefusal (features, "the framework's LV2 wrapper made no pedal");
                return nullptr;
            }

            auto* instance = new Instance (wrapped, *pedal, maximum, map);
            instance->ownMap = std::move (ownMap);

            // Until the host connects its own: nothing to read, somewhere to write.
            connectWrapper (*instance, instance->atomInputPort, &instance->emptyInput);
            connectWrapper (*instance, instance->atomOutputPort, &clearedScratchOutput (*instance));
            return instance;
        }
        catch (const std::bad_alloc&)
        {
            explainRefusal (features, "out of memory");
        }
        catch (...)
        {
            explainRefusal (features, "the instance could not be made");
        }

        BraskOverdriveAudioProcessor::forgetLastMadeOnThisThread();
        return nullptr;
    }

    void connectPort (LV2_Handle handle, uint32_t port, void* data)
    {
        auto& instance = instanceOf (handle);

        if (port >= instance.firstSettingPort && port - instance.firstSettingPort < Lv2SettingPorts::count)
        {
            instance.settingPorts[port - instance.firstSettingPort] = static_cast<const float*> (data);
            return;
        }

        if (port < instance.audioPorts.size())
            instance.audioPorts[port] = static_cast<float*> (data);

        if (port == instance.atomInputPort)
        {
            instance.hostInput = static_cast<const LV2_Atom_Sequence*> (data);
            data = data != nullptr ? data : &instance.emptyInput;
        }
        else if (port == instance.atomOutputPort)
        {
            instance.hostOutput = static_cast<LV2_Atom_Sequence*> (data);
            data = data != nullptr ? data : &clearedScratchOutput (instance);
        }

        connectWrapper (instance, port, data);
    }

    void activate (LV2_Handle handle)
    {
        wrapperDescriptor().activate (instanceOf (handle).wrapped);
    }

    void run (LV2_Handle handle, uint32_t sampleCount)
    {
        auto& instance = instanceOf (handle);

        if (sampleCount == 0)
            return;

        instance.follower.apply (instance.pedal, instance.settingPorts);

        if (instance.hostOutput == nullptr)
            clearedScratchOutput (instance);

        if (sampleCount <= instance.longest)
        {
            wrapperDescriptor().run (instance.wrapped, sampleCount);
            return;
        }

        // The host's output holds its capacity until written; it then holds the
        // pieces' events, in order.
        const auto hostCapacity = instance.hostOutput != nullptr && instance.hostOutput->atom.size >= sizeof (LV2_Atom_Sequence_Body)
                                      ? instance.hostOutput->atom.size
                                      : 0u;

        if (instance.hostOutput != nullptr && hostCapacity > 0)
        {
            instance.hostOutput->atom = { (uint32_t) sizeof (LV2_Atom_Sequence_Body), instance.sequenceType };
            instance.hostOutput->body = { 0, 0 };
        }

        connectWrapper (instance, instance.atomInputPort, &instance.scratch (instance.pieceInput));

        for (uint32_t done = 0; done < sampleCount;)
        {
            const auto length = std::min (instance.longest, sampleCount - done);
            const auto isLast = done + length == sampleCount;

            for (uint32_t port = 0; port < instance.audioPorts.size(); ++port)
                if (auto* audio = instance.audioPorts[port])
                    connectWrapper (instance, port, audio + done);

            Lv2RunPieces::takeInput (instance.hostInput, instance.sequenceType, done,
                                     isLast ? std::nullopt : std::optional<int64_t> (done + length),
                                     instance.scratch (instance.pieceInput), instance.scratchBodyCapacity());
            connectWrapper (instance, instance.atomOutputPort, &clearedScratchOutput (instance));
            wrapperDescriptor().run (instance.wrapped, length);

            if (hostCapacity > 0)
                Lv2RunPieces::giveOutput (instance.scratch (instance.pieceOutput), instance.sequenceType, done,
                                          *instance.hostOutput, hostCapacity);

            done += length;
        }

        // Back as the host connected them.
        for (uint32_t port = 0; port < instance.audioPorts.size(); ++port)
            connectWrapper (instance, port, instance.audioPorts[port]);

        connectWrapper (instance, instance.atomInputPort,
                        instance.hostInput != nullptr ? (void*) instance.hostInput : &instance.emptyInput);
        connectWrapper (instance, instance.atomOutputPort,
                        instance.hostOutput != nullptr ? (void*) instance.hostOutput : &clearedScratchOutput (instance));
    }

    void deactivate (LV2_Handle handle)
    {
        wrapperDescriptor().deactivate (instanceOf (handle).wrapped);
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
                    return wrappedState->save (instanceOf (handle).wrapped, store, stateHandle, flags, features);
                },
                [] (LV2_Handle handle, LV2_State_Retrieve_Function retrieve, LV2_State_Handle stateHandle,
                    uint32_t flags, const LV2_Feature* const* features)
                {
                    auto& instance = instanceOf (handle);
                    const auto isDefault = retrieve != nullptr && holdsOnlyTheProgram (instance, retrieve, stateHandle);
                    const auto status = wrappedState->restore (instance.wrapped, retrieve, stateHandle, flags, features);

                    if (status == LV2_STATE_SUCCESS && isDefault)
                        for (auto setting = 0; setting < Lv2SettingPorts::count; ++setting)
                            Lv2SettingPorts::apply (instance.pedal, (Lv2SettingPorts::Setting) setting,
                                                    Lv2SettingPorts::defaults[(size_t) setting]);

                    if (status == LV2_STATE_SUCCESS && isDefault)
                        instance.pedal.restoreBroadcaster.sendChangeMessage(); // as after a restore of the state

                    // The state is the truth: ports holding other values stay ignored until they change.
                    if (status == LV2_STATE_SUCCESS)
                        instance.follower.restored();

                    return status;
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
