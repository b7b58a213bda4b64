// The LV2 module's entry points, in front of the framework's LV2 wrapper.
//
// The wrapper is compiled with its own entries renamed to juce_lv2_descriptor and
// juce_lv2ui_descriptor (cmake/Lv2Entry.cmake); hosts find these instead.
//
// lv2_descriptor is the wrapper's descriptor with two changes:
// - instantiate hands the wrapper the host's options rewritten by Lv2HostOptions,
//   so that a block length or sample rate the host encodes in another width
//   (Audacity's 8-byte atom:Int, an atom:Long, a float) no longer makes the
//   wrapper refuse the instance;
// - the pedal's four settings are control input ports after the wrapper's own
//   (Lv2SettingPorts): a host that keeps an effect's settings as port values only,
//   as Audacity does, reads and writes the pedal's store through them. Our handle
//   holds the wrapper's, so every call that takes a handle passes through here.
// State, audio and the wrapper's ports are the wrapper's, unchanged.
//
// lv2ui_descriptor is the wrapper's UI descriptor with the UI's side of those
// ports: port events for them reach the store (and the open panel follows), and
// each change of the store the panel makes is written to the host. Asking for it
// first also mends the one thing that kept the pedal's X11 UI out of Audacity's
// GTK dialog (see repairSuilModuleFolder).

#include "Lv2HostOptions.h"
#include "Lv2SettingPorts.h"

#include <lv2/core/lv2.h>
#include <lv2/instance-access/instance-access.h>
#include <lv2/state/state.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
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

    LV2_Handle instantiateWrapper (double sampleRate, const char* bundlePath, const LV2_Feature* const* features)
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

    //==============================================================================
    /*  Our instance: the wrapper's, with the pedal behind it and our setting ports.
        The pedal is the one the wrapper's instantiate made through the module entry
        on this thread, so two instances never share it.
    */
    struct Instance
    {
        LV2_Handle wrapped;
        BraskOverdriveAudioProcessor& pedal;
        uint32_t firstSettingPort;
        std::array<const float*, Lv2SettingPorts::count> settingPorts {};
        Lv2SettingPorts::Follower follower;
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
        auto* wrapped = instantiateWrapper (sampleRate, bundlePath, features);

        if (wrapped == nullptr)
            return nullptr;

        // The wrapper made its pedal through the module entry, on this thread, just now.
        auto* pedal = BraskOverdriveAudioProcessor::lastMadeOnThisThread();
        auto* instance = pedal != nullptr
                             ? new (std::nothrow) Instance { wrapped, *pedal, Lv2SettingPorts::firstIndex (*pedal), {}, {} }
                             : nullptr;

        if (instance == nullptr)
            wrapperDescriptor().cleanup (wrapped);

        return instance;
    }

    void connectPort (LV2_Handle handle, uint32_t port, void* data)
    {
        auto& instance = instanceOf (handle);

        if (port >= instance.firstSettingPort && port - instance.firstSettingPort < Lv2SettingPorts::count)
            instance.settingPorts[port - instance.firstSettingPort] = static_cast<const float*> (data);
        else
            wrapperDescriptor().connect_port (instance.wrapped, port, data);
    }

    void activate (LV2_Handle handle)
    {
        wrapperDescriptor().activate (instanceOf (handle).wrapped);
    }

    void run (LV2_Handle handle, uint32_t sampleCount)
    {
        auto& instance = instanceOf (handle);
        instance.follower.apply (instance.pedal, instance.settingPorts);
        wrapperDescriptor().run (instance.wrapped, sampleCount);
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
                    const auto status = wrappedState->restore (instance.wrapped, retrieve, stateHandle, flags, features);

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
