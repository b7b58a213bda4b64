// The LV2 UI: the framework wrapper's UI behind our own entry points, with the
// UI's side of the setting ports: port events for them reach the store (and the
// open panel follows), and each change of the store the panel makes is written
// to the host.

#include "Lv2UiInstance.h"

#include "Lv2FeatureList.h"
#include "Lv2PluginInstance.h"
#include "Lv2SettingPorts.h"

#include <lv2/instance-access/instance-access.h>
#include <lv2/options/options.h>

#include <cstring>
#include <new>
#include <vector>

// The framework's wrapper, compiled with its entry renamed (cmake/Lv2Entry.cmake).
extern "C" const LV2UI_Descriptor* juce_lv2ui_descriptor (uint32_t index);

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
        const auto* access = findLv2Feature (features, LV2_INSTANCE_ACCESS_URI);

        if (access == nullptr || access->data == nullptr)
            return nullptr;

        const auto instance = Lv2PluginInstance::forUi (access->data);

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
            ui.pedal.restoreBroadcaster.sendChangeMessage();  // the open panel follows, as after a restore
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
            static const LV2UI_Idle_Interface idle { [] (LV2UI_Handle handle) {
                auto& ui = uiOf (handle);
                const auto result = wrappedIdle->idle (ui.wrapped);  // knob turns and restores land here
                writeChanges (ui);
                return result;
            } };

            return &idle;
        }

        if (std::strcmp (uri, LV2_UI__resize) == 0)
        {
            static const auto* wrappedResize = static_cast<const LV2UI_Resize*> (wrapped);
            static const LV2UI_Resize resize { nullptr, [] (LV2UI_Feature_Handle handle, int width, int height) {
                                                  return wrappedResize->ui_resize (uiOf (handle).wrapped, width, height);
                                              } };

            return &resize;
        }

        if (std::strcmp (uri, LV2_OPTIONS__interface) == 0)
        {
            static const auto* wrappedOptions = static_cast<const LV2_Options_Interface*> (wrapped);
            static const LV2_Options_Interface options {
                [] (LV2_Handle handle, LV2_Options_Option* optionsIn) {
                    return wrappedOptions->get (uiOf (handle).wrapped, optionsIn);
                },
                [] (LV2_Handle handle, const LV2_Options_Option* optionsIn) {
                    return wrappedOptions->set (uiOf (handle).wrapped, optionsIn);
                }
            };

            return &options;
        }

        // Anything else the wrapper offered would be handed our handle.
        return nullptr;
    }
}

//==============================================================================
const LV2UI_Descriptor& Lv2UiInstance::descriptor()
{
    static const auto ours = [] {
        auto changed = wrapperUiDescriptor();
        changed.instantiate = instantiateUi;
        changed.cleanup = cleanupUi;
        changed.port_event = portEvent;
        changed.extension_data = uiExtensionData;
        return changed;
    }();

    return ours;
}
