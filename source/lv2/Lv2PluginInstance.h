#pragma once

#include "plugin/BraskOverdriveAudioProcessor.h"

#include <lv2/core/lv2.h>

#include <cstdint>

//==============================================================================
/**
    The LV2 plug-in: the framework's wrapper makes the pedal, keeps its state and
    writes the bundle's data; this layer in front of it owns the audio path
    (Lv2AudioPath), the setting ports, the check of stored states and every entry
    point a host calls with our handle. No exception crosses into the host.
*/
namespace Lv2PluginInstance
{
    /** The descriptor hosts get: the wrapper's with our entry points. */
    const LV2_Descriptor& descriptor();

    /** What the UI needs of the instance the host hands it (instance-access). */
    struct ForUi
    {
        LV2_Handle wrapped;
        BraskOverdriveAudioProcessor& pedal;
        uint32_t firstSettingPort;
    };

    ForUi forUi (LV2_Handle handle) noexcept;
}
