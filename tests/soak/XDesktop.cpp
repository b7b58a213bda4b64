// Kept apart from the framework's headers: Xlib's macros (None, Bool, Status)
// clash with the framework's names.

#include "XDesktop.h"

#include <X11/Xlib.h>

namespace
{
    int keepGoingAfterXError (Display*, XErrorEvent*)
    {
        return 0;
    }
}

// A DAW's X setup: Xlib ready for threads and an X error not fatal. A bare
// virtual display runs no window manager, so the window-manager atoms the
// framework only looks up (and then hands to the server as atom 0) are made
// here first, as any desktop would have them.
bool prepareDesktopForSoak()
{
    XInitThreads();
    XSetErrorHandler (keepGoingAfterXError);

    auto* display = XOpenDisplay (nullptr);

    if (display == nullptr)
        return false;

    const char* names[] = { "WM_PROTOCOLS", "WM_TAKE_FOCUS", "WM_DELETE_WINDOW", "WM_CHANGE_STATE", "WM_STATE",
                            "_NET_WM_PING", "_NET_WM_WINDOW_TYPE", "_NET_WM_STATE", "_NET_WM_STATE_HIDDEN",
                            "_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_ALLOWED_ACTIONS", "_MOTIF_WM_HINTS",
                            "_NET_FRAME_EXTENTS" };

    for (auto* name : names)
        XInternAtom (display, name, False);

    XSync (display, False);
    XCloseDisplay (display);
    return true;
}
