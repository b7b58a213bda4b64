// The LV2 module's two entry points, the only symbols it exports
// (cmake/Exports.cmake). The framework's wrapper is compiled with its own renamed,
// so that hosts find these.

#include "Lv2PluginInstance.h"
#include "Lv2UiInstance.h"
#include "SuilModuleFolder.h"

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor (uint32_t index)
{
    return index == 0 ? &Lv2PluginInstance::descriptor() : nullptr;
}

LV2_SYMBOL_EXPORT const LV2UI_Descriptor* lv2ui_descriptor (uint32_t index)
{
    // Hosts ask for the descriptor on their UI thread just before suil embeds the UI.
    repairSuilModuleFolder();
    return index == 0 ? &Lv2UiInstance::descriptor() : nullptr;
}
