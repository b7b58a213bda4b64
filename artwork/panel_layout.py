"""The panel's layout, read from the one table the editor's panel is built from
(source/gui/PanelLayout.json), with the panel's own integer rounding."""

import json
import os
import struct

HERE = os.path.dirname (os.path.abspath (__file__))
TABLE = os.path.join (HERE, "..", "source", "gui", "PanelLayout.json")

with open (TABLE) as f:
    L = json.load (f)

KNOBS = ("drive", "tone", "level")


def f32 (v):
    return struct.unpack ("f", struct.pack ("f", v))[0]


def layout (W, H):
    """The panel's child rectangles for a W x H panel: knobs, read-outs, footswitch, link."""
    d = f32 (W * L["knobSize"])
    r = f32 (W * L["readOut"]["width"])
    knobs, readouts = [], []
    for name in KNOBS:
        k = L["knobs"][name]
        knobs.append ((int (W * k["x"] - d * k["shiftOfSize"]), int (H * k["top"]), int (d), int (d)))
        readouts.append ((int (W * k["readOutCentreX"] - r * 0.5), int (H * k["readOutTop"]),
                          int (r), int (r * L["readOut"]["heightOfWidth"])))
    fs = L["footswitch"]
    footswitch = (int (W * fs["left"]), int (H * fs["top"]), int (W * fs["width"]), int (H * fs["height"]))
    ln = L["link"]
    link = (int (W * ln["centreX"] - W * ln["width"] * 0.5), int (H * ln["top"]), int (W * ln["width"]), int (H * ln["height"]))
    return knobs, readouts, footswitch, link


def body_box (W, H, img_w, img_h):
    """Where the body picture is drawn: fitted, centred, into its box."""
    b = L["body"]
    margin = f32 (1.0 - f32 (b["box"]))
    left = int (b["marginLeftShare"] * f32 (W * margin))
    top = int (b["marginTopShare"] * H * margin)
    bw, bh = int (b["box"] * W), int (b["box"] * H)
    scale = min (bw / img_w, bh / img_h)
    w, h = img_w * scale, img_h * scale
    return left + (bw - w) / 2.0, top + (bh - h) / 2.0, w, h


def knobs_on_body (img_w, img_h, W=7000, H=11000):
    """The knobs' squares in the body picture's own pixels, as the panel places them
    over it (at the editor's 7:11 shape, large enough that rounding does not count)."""
    bx, by, bw, bh = body_box (W, H, img_w, img_h)
    scale = bw / img_w
    d = W * L["knobSize"]
    squares = []
    for name in KNOBS:
        k = L["knobs"][name]
        x, y = W * k["x"] - d * k["shiftOfSize"], H * k["top"]
        squares.append ((round ((x - bx) / scale), round ((y - by) / scale), round (d / scale)))
    return squares


def fonts ():
    """The read-outs' and the link's font heights, as fractions of the panel's height."""
    return L["readOut"]["fontHeight"], L["link"]["fontHeight"]
