#pragma once

#include "plugin/PedalSettings.h"

#include <array>

//==============================================================================
/**
    The pedal's four settings as LV2 control input ports: the one table of them.
    The plug-in reads it, and the build writes the bundle's data from it (through
    brask_lv2_port_table, see cmake/Lv2Entry.cmake), so the ports a host sees and
    the ports the code serves are always the same ones, in the same order.

    They are settings, not automation (pprop:notAutomatic); each runs from 0 to 1
    and starts at the pedal's own default. Hosts keep sessions by port symbol and
    index: a port is never renamed or removed without a new plug-in URI.
*/
namespace Lv2SettingPorts
{
    enum Setting
    {
        drive,
        tone,
        level,
        effectOn,
        count
    };

    using Values = std::array<float, count>;

    struct Port
    {
        const char* symbol;
        const char* name;
        const char* properties;  // as the bundle's data writes them
    };

    constexpr std::array<Port, count> ports { {
        { "drive", "Drive", "pprop:notAutomatic" },
        { "tone", "Tone", "pprop:notAutomatic" },
        { "level", "Level", "pprop:notAutomatic" },
        { "effectOn", "Effect On", "lv2:toggled , pprop:notAutomatic" },
    } };

    constexpr float minimum = 0.0f, maximum = 1.0f;

    /** What every port holds until the host writes it: a new pedal's settings. */
    constexpr Values defaults { PedalSettings {}.drive, PedalSettings {}.tone, PedalSettings {}.level,
                                PedalSettings {}.effectOn ? 1.0f : 0.0f };
}
