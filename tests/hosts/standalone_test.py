#!/usr/bin/env python3
"""The pedal as a Standalone application, on a display without audio hardware.

Run inside xvfb-run. The application starts with no audio device to open,
shows a window holding the pedal's editor, keeps the pedal's state in its
settings file across a restart, and quits with exit status 0 when the window is
closed the way a window manager closes it (WM_DELETE_WINDOW).
"""

import argparse
import ctypes
import os
import shutil
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

sys.dont_write_bytecode = True  # the test leaves the source tree as it found it
from pedal_checks import (DEFAULT_STATE, Abort, run_checks, framework_base64_decode,  # noqa: E402
                          framework_base64_encode, pedal_state)

# The product's name as CMakeLists.txt defines it, handed over by ctest: the
# window's title, and the name the framework gives the settings file.
PRODUCT_NAME = os.environ["BRASK_PRODUCT_NAME"]
WINDOW_TITLE = PRODUCT_NAME
SETTINGS_FILE = os.path.join(".config", f"{PRODUCT_NAME}.settings")

# The Standalone window puts a border (at most 4 px a side), its title bar and,
# with no audio device, a notice bar around the editor.
MAX_EXTRA_WIDTH = 8
MAX_EXTRA_HEIGHT = 8 + 26 + 30 + 16

#==============================================================================
class XClientMessageEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class XEvent(ctypes.Union):
    _fields_ = [("xclient", XClientMessageEvent), ("pad", ctypes.c_long * 24)]


class WindowManagerStandIn:
    """The one thing a window manager would do here: ask a window to close.

    Held open for the whole test. It makes the WM_PROTOCOLS and WM_DELETE_WINDOW
    atoms exist before the application starts: the framework looks them up
    without creating them, and a bare X server has neither until a window
    manager or some other client makes them."""

    def __init__(self):
        self.x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
        self.x11.XOpenDisplay.restype = ctypes.c_void_p
        self.x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.x11.XInternAtom.restype = ctypes.c_ulong
        self.x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        self.x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                                        ctypes.POINTER(XEvent)]
        self.x11.XFlush.argtypes = [ctypes.c_void_p]
        self.x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

        # A repeated close request can reach a window the application has just
        # destroyed: the error that earns is expected, and Xlib's default handler
        # would end this process for it.
        handler_type = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
        self.ignore_errors = handler_type(lambda display, error: 0)
        self.x11.XSetErrorHandler.argtypes = [handler_type]
        self.x11.XSetErrorHandler.restype = ctypes.c_void_p
        self.x11.XSetErrorHandler(self.ignore_errors)

        self.display = self.x11.XOpenDisplay(None)
        if not self.display:
            raise Abort("cannot open the display")
        self.protocols = self.x11.XInternAtom(self.display, b"WM_PROTOCOLS", 0)
        self.delete_window = self.x11.XInternAtom(self.display, b"WM_DELETE_WINDOW", 0)
        self.x11.XFlush(self.display)

    def ask_to_close(self, window):
        """What a window manager sends when the user clicks a window's close box."""
        event = XEvent()
        event.xclient.type = 33  # ClientMessage
        event.xclient.window = window
        event.xclient.message_type = self.protocols
        event.xclient.format = 32
        event.xclient.data[0] = self.delete_window
        event.xclient.data[1] = 0  # CurrentTime
        self.x11.XSendEvent(self.display, window, 0, 0, ctypes.byref(event))
        self.x11.XFlush(self.display)

    def close(self):
        self.x11.XCloseDisplay(self.display)


def find_window(app, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if app.poll() is not None:
            raise Abort(f"the application ended before it showed a window (exit {app.returncode})")
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", f"^{WINDOW_TITLE}$"],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        windows = found.stdout.split()
        if windows:
            return int(windows[0])
        time.sleep(0.2)
    raise Abort(f"no window named '{WINDOW_TITLE}' appeared")


def window_geometry(window):
    shell = subprocess.run(["xdotool", "getwindowgeometry", "--shell", str(window)],
                           stdout=subprocess.PIPE, text=True, check=True).stdout
    values = dict(line.split("=", 1) for line in shell.split())
    return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])


def colours_in(picture, x, y, width, height):
    """How many different colours a rectangle of a screenshot holds."""
    counted = subprocess.run(["convert", picture, "-crop", f"{width}x{height}+{x}+{y}", "+repage",
                              "-format", "%k", "info:"], stdout=subprocess.PIPE, text=True, check=True)
    return int(counted.stdout.strip())


def screenshot_once_drawn(picture, x, y, width, height, timeout=10.0):
    """Takes pictures of the screen until the window's area holds more than one
    colour (a mapped but not yet painted window is a flat rectangle)."""
    deadline = time.monotonic() + timeout
    while True:
        subprocess.run(["import", "-window", "root", picture], check=True, timeout=30)
        if colours_in(picture, x, y, width, height) > 1:
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)


def saved_pedal_state(home):
    path = os.path.join(home, SETTINGS_FILE)
    if not os.path.isfile(path):
        return None
    for value in ET.parse(path).getroot().iter("VALUE"):
        if value.get("name") == "filterState":
            return framework_base64_decode(value.get("val"))
    return None


#==============================================================================
class AppRun:
    """One run of the application, from start to the window's close."""

    def __init__(self, args, home, log_name):
        self.log = open(os.path.join(args.work, log_name), "w")
        env = dict(os.environ, HOME=home)
        self.app = subprocess.Popen([args.app], env=env, stdout=self.log, stderr=subprocess.STDOUT)

    def close(self, window_manager, window, timeout=20.0):
        # Asked again every second until it quits: a window can be mapped before the
        # application listens for the request (seen on a loaded machine), and a
        # second request to an application already quitting changes nothing.
        deadline = time.monotonic() + timeout
        try:
            while True:
                window_manager.ask_to_close(window)
                try:
                    return self.app.wait(timeout=1.0)
                except subprocess.TimeoutExpired:
                    if time.monotonic() > deadline:
                        raise
        except subprocess.TimeoutExpired:
            self.app.kill()
            self.app.wait()
            return None
        finally:
            self.log.close()

    def stop(self):
        if self.app.poll() is None:
            self.app.kill()
            self.app.wait()
        self.log.close()


def run(args, checks, window_manager):
    shutil.rmtree(args.work, ignore_errors=True)
    home = os.path.join(args.work, "home")
    os.makedirs(home)

    size = subprocess.run([args.reference, "editor-size"], env=dict(os.environ, HOME=home),
                          stdout=subprocess.PIPE, text=True, timeout=60)
    if size.returncode != 0:
        raise Abort("the in-process editor could not be made")
    editor_width, editor_height = map(int, size.stdout.split())
    print(f"a new editor on this display: {editor_width}x{editor_height}")

    # First start: a fresh user, the pedal at its defaults.
    first = AppRun(args, home, "first-start.log")
    try:
        window = find_window(first.app)
        x, y, width, height = window_geometry(window)
        print(f"window {window:#x}: {width}x{height} at {x},{y}")

        checks.check("the window holds an editor-sized pedal",
                     editor_width <= width <= editor_width + MAX_EXTRA_WIDTH
                     and editor_height <= height <= editor_height + MAX_EXTRA_HEIGHT,
                     f"window {width}x{height}, editor {editor_width}x{editor_height}")

        picture = os.path.join(args.work, "standalone.png")
        checks.check("the window is drawn on the screen", screenshot_once_drawn(picture, x, y, width, height))
        print("screenshot: " + picture)

        checks.check("the application runs without an audio device", first.app.poll() is None)
        status = first.close(window_manager, window)
    finally:
        first.stop()

    checks.check("closing the window quits the application cleanly", status == 0, f"exit status {status}")
    saved = saved_pedal_state(home)
    checks.check("the application keeps the pedal's state in its settings",
                 saved == DEFAULT_STATE, saved.hex() if saved else "nothing saved")

    # Second start: the settings hold another state, which the pedal must come back with.
    wanted = pedal_state(0.8, 0.3, 0.7, False)
    settings_path = os.path.join(home, SETTINGS_FILE)
    settings = ET.parse(settings_path)
    for value in settings.getroot().iter("VALUE"):
        if value.get("name") == "filterState":
            value.set("val", framework_base64_encode(wanted))
    settings.write(settings_path, encoding="UTF-8", xml_declaration=True)

    second = AppRun(args, home, "second-start.log")
    try:
        window = find_window(second.app)
        status = second.close(window_manager, window)
    finally:
        second.stop()

    checks.check("the restarted application quits cleanly too", status == 0, f"exit status {status}")
    saved = saved_pedal_state(home)
    checks.check("the pedal comes back with the state it was closed with", saved == wanted,
                 saved.hex() if saved else "nothing saved")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--app", required=True, help="the built Standalone application")
    parser.add_argument("--reference", required=True, help="the brask_reference program")
    parser.add_argument("--work", required=True, help="a scratch folder, emptied first")
    args = parser.parse_args()

    if not os.environ.get("DISPLAY"):
        print("needs a display: run inside xvfb-run")
        return 1

    def run_with_window_manager(checks):
        window_manager = WindowManagerStandIn()
        try:
            run(args, checks, window_manager)
        finally:
            window_manager.close()

    return run_checks("the Standalone round trip", run_with_window_manager)


if __name__ == "__main__":
    sys.exit(main())
