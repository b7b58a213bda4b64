#!/usr/bin/python3
"""Composites the rendered pictures the way the editor's panel draws them.

Floor stretched over the panel, body fitted into the 90 % box, the three knob
frames in the knobs' squares, "5.5" in white in the read-outs and the link in
its greyish blue, so the artwork can be judged as a user sees it without
building the plug-in.

usage: preview.py OUT.png [--size WxH] [--knob 0..1] [--off] [--resources DIR]
"""

import argparse
import os
import sys

from PIL import Image, ImageDraw, ImageFont

sys.dont_write_bytecode = True  # the build leaves the source tree as it found it
from panel_layout import body_box, fonts, layout

HERE = os.path.dirname (os.path.abspath (__file__))
LINK_COLOUR = (0x52, 0x6D, 0x82, 255)
LINK_TEXT = "quillonaudio.example"        # the domain of the vendor address the build sets


def font (height, bold=False):
    """The framework's font of a given height: ascent plus descent, not the em."""
    name = "DejaVuSans-Bold.ttf" if bold else "DejaVuSans.ttf"
    em = height / 1.164          # DejaVu Sans: ascent + descent = 1.164 em
    return ImageFont.truetype (os.path.join ("/usr/share/fonts/truetype/dejavu", name), max (1, int (round (em))))


def composite (res, W, H, knob_value, lamp_on, show_areas=False):
    floor = Image.open (os.path.join (res, "Floor.png")).convert ("RGBA")
    canvas = floor.resize ((W, H), Image.BICUBIC)

    body = Image.open (os.path.join (res, "BraskOverdriveOnRed.png" if lamp_on else "BraskOverdriveOff.png"))
    bx, by, bw, bh = body_box (W, H, body.width, body.height)
    # sub-pixel placement: scale onto a canvas-sized layer with an affine map
    sx, sy = body.width / bw, body.height / bh
    layer = body.transform ((W, H), Image.AFFINE, (sx, 0, -bx * sx, 0, sy, -by * sy), resample=Image.BICUBIC)
    canvas.alpha_composite (layer)

    knobs, readouts, footswitch, link = layout (W, H)
    frame = min (300, int (301.0 * knob_value))
    knob = Image.open (os.path.join (res, "BraskOverdrive_%d.png" % frame))
    for x, y, w, h in knobs:
        canvas.alpha_composite (knob.resize ((w, h), Image.BICUBIC), (x, y))

    draw = ImageDraw.Draw (canvas)
    text = ("%f" % (knob_value * 11.0))
    text = text[:text.index (".") + 2]
    readout_font, link_font = fonts()
    f = font (H * readout_font)
    for x, y, w, h in readouts:
        tw = draw.textlength (text, font=f)
        draw.text ((x + (w - tw) / 2.0, y + 1), text, font=f, fill=(255, 255, 255, 255))

    lf = font (H * link_font, bold=True)
    x, y, w, h = link
    tw = draw.textlength (LINK_TEXT, font=lf)
    draw.text ((x + (w - tw) / 2.0, y + (h - H * link_font) / 2.0), LINK_TEXT, font=lf, fill=LINK_COLOUR)

    if show_areas:
        for x, y, w, h in knobs + readouts + [footswitch, link]:
            draw.rectangle ((x, y, x + w - 1, y + h - 1), outline=(255, 0, 255, 255))
    return canvas


def main():
    p = argparse.ArgumentParser (description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument ("out")
    p.add_argument ("--size", default="430x676")
    p.add_argument ("--knob", type=float, default=0.5)
    p.add_argument ("--off", action="store_true")
    p.add_argument ("--areas", action="store_true", help="outline the panel's child rectangles")
    p.add_argument ("--resources", default=os.path.join (HERE, "..", "resources"))
    a = p.parse_args()
    W, H = (int (v) for v in a.size.split ("x"))
    composite (a.resources, W, H, a.knob, not a.off, a.areas).save (a.out)


if __name__ == "__main__":
    main()
