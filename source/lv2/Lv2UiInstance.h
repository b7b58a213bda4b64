#pragma once

#include <lv2/ui/ui.h>

//==============================================================================
/**
    The LV2 UI: the framework's, with the UI's side of the setting ports
    (Lv2SettingPorts::Mirror). Everything here runs on the host's UI thread,
    which is the framework's message thread while a UI is open.
*/
namespace Lv2UiInstance
{
    /** The descriptor hosts get: the wrapper's with our entry points. */
    const LV2UI_Descriptor& descriptor();
}
