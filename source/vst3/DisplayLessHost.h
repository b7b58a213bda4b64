#pragma once

#include <cstring>

//==============================================================================
/**
    How a process that never shows the pedal (brask-render) tells the VST3 module
    so before loading it.

    Whatever loads the module, the framework's wrapper starts a message thread
    that loads the X libraries and looks for a display, even where none is set:
    eleven libraries loaded, a display tried over three kinds of socket and a host
    name looked up, and all of it unloaded again. For a short render that is most
    of the module's start. A host sets nothing, so for every host the module loads
    and looks as it always has; a process that sets the variable to "1" declares
    that it will open no editor, and the module then leaves the X libraries alone,
    as if the machine had none (which the framework handles as a machine without a
    display).
*/
namespace DisplayLessHost
{
    /** The environment variable, set to "1" by a process that opens no editor. */
    constexpr const char* variableName = "BRASK_OVERDRIVE_NO_DISPLAY";

    /** True when the module, in a process whose variable holds variableValue
        (nullptr when unset), should not load the library of this name.
    */
    inline bool skipsLibrary (const char* libraryName, const char* variableValue) noexcept
    {
        return libraryName != nullptr && variableValue != nullptr && std::strcmp (variableValue, "1") == 0
               && std::strncmp (libraryName, "libX", 4) == 0;
    }
}
