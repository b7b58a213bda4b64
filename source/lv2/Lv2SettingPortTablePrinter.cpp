// Writes the setting ports' table for the build's bundle-data step
// (cmake/Lv2BundleData.cmake), one port per line in index order:
//     symbol <TAB> name <TAB> default <TAB> minimum <TAB> maximum <TAB> properties
// Numbers are written as turtle decimals (always with a point).
//
//     brask_lv2_port_table <output file>

#include "Lv2SettingPortTable.h"

#include <cstdio>
#include <string>

namespace
{
    std::string decimal (float value)
    {
        char text[32];
        std::snprintf (text, sizeof (text), "%.9g", (double) value);
        std::string written (text);

        if (written.find_first_of (".e") == std::string::npos)
            written += ".0";

        return written;
    }
}

int main (int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf (stderr, "usage: %s <output file>\n", argv[0]);
        return 2;
    }

    auto* file = std::fopen (argv[1], "w");

    if (file == nullptr)
    {
        std::perror (argv[1]);
        return 1;
    }

    for (int setting = 0; setting < Lv2SettingPorts::count; ++setting)
    {
        const auto& port = Lv2SettingPorts::ports[(size_t) setting];
        std::fprintf (file, "%s\t%s\t%s\t%s\t%s\t%s\n", port.symbol, port.name,
                      decimal (Lv2SettingPorts::defaults[(size_t) setting]).c_str(),
                      decimal (Lv2SettingPorts::minimum).c_str(), decimal (Lv2SettingPorts::maximum).c_str(),
                      port.properties);
    }

    return std::fclose (file) == 0 ? 0 : 1;
}
