#pragma once

/** Readies Xlib and a bare virtual display as a desktop host would have them
    (see BareXServer.cpp). Kept apart from the framework's headers: Xlib's macros
    (None, Bool, Status) clash with the framework's names.
*/
bool prepareBareXServer();
