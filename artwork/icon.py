#!/usr/bin/python3
"""Draws the menu icon: the pedal's body with its three knobs at half travel,
where the panel places them over it (from the panel's layout table), trimmed to
the pedal and squared up on a transparent ground.

usage: icon.py BODY.png KNOB.png SIZE OUT.png
"""

import sys

from PIL import Image

sys.dont_write_bytecode = True  # the build leaves the source tree as it found it
from panel_layout import knobs_on_body


def icon (body_path, knob_path, size):
    body = Image.open (body_path).convert ("RGBA")
    knob = Image.open (knob_path).convert ("RGBA")
    for x, y, side in knobs_on_body (body.width, body.height):
        body.alpha_composite (knob.resize ((side, side), Image.LANCZOS), (x, y))

    # Trimmed to what is drawn, then fitted into the square, centred.
    pedal = body.crop (body.getchannel ("A").getbbox())
    pedal.thumbnail ((size, size), Image.LANCZOS)
    square = Image.new ("RGBA", (size, size), (0, 0, 0, 0))
    square.alpha_composite (pedal, ((size - pedal.width) // 2, (size - pedal.height) // 2))
    return square


def main():
    if len (sys.argv) != 5:
        sys.exit (__doc__)
    body, knob, size, out = sys.argv[1:]
    icon (body, knob, int (size)).save (out, optimize=True)


if __name__ == "__main__":
    main()
