// Linked into the VST3 module only, with -Wl,--wrap=dlopen: every library the
// framework opens at run time (the X libraries among them) passes through here.
// See DisplayLessHost.h for why.

#include "DisplayLessHost.h"

#include <cstdlib>

extern "C"
{
    void* __real_dlopen (const char* fileName, int flags);
    void* __wrap_dlopen (const char* fileName, int flags);

    void* __wrap_dlopen (const char* fileName, int flags)
    {
        if (DisplayLessHost::skipsLibrary (fileName, std::getenv (DisplayLessHost::variableName)))
            return nullptr;

        return __real_dlopen (fileName, flags);
    }
}
