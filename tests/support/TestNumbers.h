#pragma once

#include <limits>

// Numbers several test files name, declared once (a program's test files may be
// compiled together in one batch).
namespace brask::test
{
    constexpr double pi = 3.14159265358979323846;
    constexpr auto notANumber = std::numeric_limits<float>::quiet_NaN();
    constexpr auto infinity = std::numeric_limits<float>::infinity();
}
