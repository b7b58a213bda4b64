#pragma once

#include <fstream>
#include <string>

/** This process's resident memory in kilobytes, as the kernel reports it (-1 when it cannot be read). */
inline long residentKilobytes()
{
    std::ifstream status ("/proc/self/status");
    std::string line;

    while (std::getline (status, line))
        if (line.rfind ("VmRSS:", 0) == 0)
            return std::stol (line.substr (6));

    return -1;
}
