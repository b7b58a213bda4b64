#pragma once

#include <cstdio>
#include <string>

/** A number with a fixed count of decimals, as the tool's messages print it ("0.70", "-3.1"). */
inline std::string decimal (double value, int places)
{
    char text[64];
    std::snprintf (text, sizeof (text), "%.*f", places, value);
    return text;
}
