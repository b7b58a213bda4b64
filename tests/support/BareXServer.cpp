// Kept apart from the framework's headers: Xlib's macros (None, Bool, Status)
// clash with the framework's names.

#include "BareXServer.h"

#include <X11/Xlib.h>

#include <initializer_list>

namespace
{
    int carryOnAfterXError (Display*, XErrorEvent*)
    {
        return 0;
    }
}

// Sets Xlib up as a desktop host (or a standalone application of the framework)
// would: ready for threads, and an X error not fatal. A bare virtual display
// also runs no window manager, so the atoms one would have made (WM_STATE and
// the like) do not exist yet; the framework looks them up without creating
// them and would then ask the server about atom 0. Making them up front gives
// the pedal's window the desktop it would meet anywhere.
bool prepareBareXServer()
{
    XInitThreads();
    XSetErrorHandler (carryOnAfterXError);

    auto* display = XOpenDisplay (nullptr);

    if (display == nullptr)
        return false;

    for (auto* name : { "WM_PROTOCOLS", "WM_TAKE_FOCUS", "WM_DELETE_WINDOW", "WM_CHANGE_STATE", "WM_STATE",
                        "_NET_WM_PING", "_NET_WM_WINDOW_TYPE", "_NET_WM_STATE", "_NET_WM_STATE_HIDDEN",
                        "_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_ALLOWED_ACTIONS", "_MOTIF_WM_HINTS", "_NET_FRAME_EXTENTS" })
        XInternAtom (display, name, False);

    XSync (display, False);
    XCloseDisplay (display);
    return true;
}
