#pragma once

/** Readies Xlib and the virtual display as a DAW's desktop would have them.
    Kept apart from the framework's headers: Xlib's macros clash with its names.
*/
bool prepareDesktopForSoak();
