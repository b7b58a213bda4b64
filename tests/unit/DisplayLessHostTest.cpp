// The VST3 module leaves the X libraries alone only in a process that declared it
// opens no editor (brask-render); in every host it loads what the framework asks.

#include "vst3/DisplayLessHost.h"

#include <gtest/gtest.h>

TEST (DisplayLessHost, SkipsOnlyXLibrariesAndOnlyWhenDeclared)
{
    struct Case
    {
        const char* library;
        const char* variable;
        bool skipped;
    };

    const Case cases[] = {
        // Hosts declare nothing: everything loads.
        { "libX11.so.6", nullptr, false },
        { "libXrandr.so.2", nullptr, false },
        // Declared: the X libraries the framework opens, and nothing else.
        { "libX11.so.6", "1", true },
        { "libXext.so.6", "1", true },
        { "libXcursor.so.1", "1", true },
        { "libXinerama.so.1", "1", true },
        { "libXrender.so.1", "1", true },
        { "libXrandr.so.2", "1", true },
        { "libasound.so.2", "1", false },
        { "libGL.so.1", "1", false },
        { nullptr, "1", false },
        // Anything but "1" declares nothing.
        { "libX11.so.6", "", false },
        { "libX11.so.6", "0", false },
        { "libX11.so.6", "yes", false },
    };

    for (const auto& c : cases)
        EXPECT_EQ (DisplayLessHost::skipsLibrary (c.library, c.variable), c.skipped)
            << (c.library != nullptr ? c.library : "(null)") << " with " << (c.variable != nullptr ? c.variable : "(unset)");
}
