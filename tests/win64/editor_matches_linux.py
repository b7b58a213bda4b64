#!/usr/bin/python3
"""The Windows editor looks as the Linux one: the pedal's editor opened by the same
small host built for each platform (brask_editor_window), the Windows module's
under Wine's X11 driver and the Linux module's, on the same X display at scale 1;
a screenshot of each, compared pixel by pixel.

    editor_matches_linux.py LINUX_HOST LINUX_BUNDLE WINDOWS_HOST WINDOWS_DLL OUTPUT_FOLDER WINE...

Run inside xvfb-run. The read-outs and the link are text, and Wine draws text
with other fonts and other smoothing than Linux: their rectangles, from the
panel's one layout table (artwork/panel_layout.py reads it), are left out of
the comparison and only reported. Everything else must agree within a few
levels per colour channel. The two screenshots and a picture of their
difference are left in OUTPUT_FOLDER."""
import os
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np
from PIL import Image

sys.dont_write_bytecode = True  # the test leaves the source tree as it found it
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "artwork"))
from panel_layout import layout  # noqa: E402

# Outside the text, both platforms draw the same pictures with the framework's
# own software renderer: any difference is a fault, but a level or two of
# rounding in a blend is not worth failing over.
MAX_DIFFERENCE = 8            # levels of 255, in any channel of any pixel
MAX_MEAN_DIFFERENCE = 0.5     # levels of 255, over every channel of every compared pixel
MIN_COLOURS = 1000
SHOWN_WITHIN = 90             # seconds for a host to show its window (a cold Wine start included)
SETTLED_WITHIN = 20           # seconds for the screenshot to stop changing
failed = False


def check(ok, what, detail=""):
    global failed
    print(("PASS  " if ok else "FAIL  ") + what + (f" ({detail})" if detail and not ok else ""))
    failed = failed or not ok


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def colours_in(picture):
    return len(np.unique(picture.reshape(-1, 3), axis=0))


def screenshot(x, y, width, height, path):
    subprocess.run(["import", "-window", "root", "-crop", f"{width}x{height}+{x}+{y}", "+repage", path],
                   check=True, timeout=60)
    return np.asarray(Image.open(path).convert("RGB"), dtype=np.int16)


def shot_of_editor(name, command, stop_file, picture):
    """Starts a host, waits for its window, screenshots it once the picture has settled,
    then asks the host to close. Returns the picture, the window's place and scale."""
    host = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    lines = []
    reader = threading.Thread(target=lambda: lines.extend(host.stdout), daemon=True)
    reader.start()
    try:
        deadline = time.monotonic() + SHOWN_WITHIN
        while not any(line.startswith("shown ") for line in lines):
            if host.poll() is not None or time.monotonic() > deadline:
                check(False, f"the {name} host shows the editor",
                      "TIMED OUT" if host.returncode in (None, 124) else f"exit status {host.returncode}")
                return None, None, None
            time.sleep(0.1)
        _, x, y, width, height, scale = next(line for line in lines if line.startswith("shown ")).split()
        x, y, width, height, scale = int(x), int(y), int(width), int(height), float(scale)

        # A window is painted some time after it is mapped: the picture counts once
        # the pedal is on it (an empty window has a colour or two, the pedal
        # thousands) and two shots half a second apart agree.
        previous = None
        deadline = time.monotonic() + SETTLED_WITHIN
        while True:
            current = screenshot(x, y, width, height, picture)
            if previous is not None and np.array_equal(previous, current) and colours_in(current) > MIN_COLOURS:
                break
            if time.monotonic() > deadline:
                check(False, f"the {name} editor's picture shows the pedal and settles within {SETTLED_WITHIN} s")
                break
            previous = current
            time.sleep(0.5)
    finally:
        open(stop_file, "w").close()
        try:
            status = host.wait(timeout=60)
        except subprocess.TimeoutExpired:
            host.kill()
            status = "TIMED OUT"
        reader.join(timeout=5)
    check(status == 0, f"the {name} host closes the editor and ends",
          "TIMED OUT" if status in ("TIMED OUT", 124) else f"exit status {status}")
    return current, (x, y, width, height), scale


def main():
    linux_host, linux_bundle, windows_host, windows_dll, output, *wine = sys.argv[1:]
    if not os.environ.get("DISPLAY"):
        print("FAIL  the editor comparison needs an X display (run it inside xvfb-run)")
        return 1
    os.makedirs(output, exist_ok=True)
    pictures = {name: os.path.join(output, f"editor-{name}.png") for name in ("linux", "windows")}

    with tempfile.TemporaryDirectory() as folder:
        linux_stop, windows_stop = os.path.join(folder, "linux.stop"), os.path.join(folder, "windows.stop")
        linux, linux_place, linux_scale = shot_of_editor(
            "Linux", [linux_host, linux_bundle, linux_stop], linux_stop, pictures["linux"])
        windows, windows_place, windows_scale = shot_of_editor(
            "Windows", [*wine, windows_host, windows_dll, windows_path(windows_stop)], windows_stop,
            pictures["windows"])
    if linux is None or windows is None:
        return 1

    print(f"      Linux editor: {linux_place[2]}x{linux_place[3]} at scale {linux_scale:g}; "
          f"Windows editor: {windows_place[2]}x{windows_place[3]} at scale {windows_scale:g}")
    check(linux_scale == 1 and windows_scale == 1, "both editors open at scale 1")
    check(linux.shape == windows.shape, "the Windows editor opens at the Linux editor's size",
          f"{windows.shape[1]}x{windows.shape[0]} against {linux.shape[1]}x{linux.shape[0]}")
    if linux.shape != windows.shape:
        return 1

    # Something was drawn: the pedal's pictures hold thousands of colours, an empty window one.
    for name, picture in (("Linux", linux), ("Windows", windows)):
        colours = colours_in(picture)
        check(colours > MIN_COLOURS, f"the {name} editor shows the pedal ({colours} colours)")

    height, width = linux.shape[:2]
    _, readouts, _, link = layout(width, height)
    text = np.zeros((height, width), dtype=bool)
    for x, y, w, h in (*readouts, link):
        text[y:y + h, x:x + w] = True

    def differences(a, b):
        """Largest and mean difference per channel, outside the text and inside it."""
        difference = np.abs(a - b)
        return ((int(difference[~text].max()), float(difference[~text].mean())),
                (int(difference[text].max()), float(difference[text].mean())))

    (outside_max, outside_mean), (inside_max, inside_mean) = differences(linux, windows)
    differing = int(np.count_nonzero(np.abs(linux - windows)[~text].max(axis=1) > 0))
    print(f"      outside the read-outs and the link ({int(np.count_nonzero(~text))} pixels): largest difference "
          f"{outside_max}, mean {outside_mean:.4f} (levels of 255); {differing} pixels differ at all")
    print(f"      inside them ({int(np.count_nonzero(text))} pixels, not compared): largest {inside_max}, "
          f"mean {inside_mean:.3f}")
    check(outside_max <= MAX_DIFFERENCE and outside_mean <= MAX_MEAN_DIFFERENCE,
          "the Windows editor's picture equals the Linux one's outside the text "
          f"(largest difference at most {MAX_DIFFERENCE}, mean at most {MAX_MEAN_DIFFERENCE})")

    # The comparison sees a fault as small as a picture drawn one pixel off.
    (shifted_max, shifted_mean), _ = differences(linux, np.roll(windows, 1, axis=1))
    check(shifted_max > MAX_DIFFERENCE or shifted_mean > MAX_MEAN_DIFFERENCE,
          "the comparison fails a Windows picture moved by one pixel",
          f"largest {shifted_max}, mean {shifted_mean:.3f}")

    # The difference, magnified, with the left-out text rectangles in blue.
    picture = np.clip(np.abs(linux - windows).max(axis=2) * 16, 0, 255).astype(np.uint8)
    picture = np.stack([picture, picture, np.where(text, 96, picture)], axis=2).astype(np.uint8)
    Image.fromarray(picture).save(os.path.join(output, "editor-difference.png"))
    print(f"      pictures: {pictures['linux']}, {pictures['windows']}, {os.path.join(output, 'editor-difference.png')}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
