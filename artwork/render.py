#!/usr/bin/python3
"""Renders every picture the plug-in embeds into resources/.

usage: render.py [--only knob,body,floor] [--jobs N] [--out DIR]

Deterministic: all noise comes from fixed seeds, so a re-render gives the
same pixels on the same Debian packages.
"""

import argparse
import multiprocessing
import os
import sys
import time

HERE = os.path.dirname (os.path.abspath (__file__))
sys.path.insert (0, HERE)

import body    # noqa: E402
import floor   # noqa: E402
import knob    # noqa: E402
import studio  # noqa: E402

_renderer = None


def _knob_worker (args):
    global _renderer
    n, out = args
    if _renderer is None:
        _renderer = knob.KnobRenderer()
    studio.save_png8 (os.path.join (out, "BraskOverdrive_%d.png" % n), _renderer.frame (n))
    return n


def render_knobs (out, jobs):
    work = [(n, out) for n in range (knob.FRAMES)]
    if jobs > 1:
        with multiprocessing.Pool (jobs) as pool:
            for _ in pool.imap_unordered (_knob_worker, work, chunksize=8):
                pass
    else:
        for w in work:
            _knob_worker (w)


def render_body (out):
    r = body.BodyRenderer()
    studio.save_png8 (os.path.join (out, "BraskOverdriveOnRed.png"), r.render (lamp_on=True))
    studio.save_png8 (os.path.join (out, "BraskOverdriveOff.png"), r.render (lamp_on=False))


def render_floor (out):
    studio.save_png16 (os.path.join (out, "Floor.png"), floor.render())


def main():
    p = argparse.ArgumentParser (description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument ("--only", default="knob,body,floor")
    p.add_argument ("--jobs", type=int, default=1)
    p.add_argument ("--out", default=os.path.join (HERE, "..", "resources"))
    a = p.parse_args()
    os.makedirs (a.out, exist_ok=True)
    parts = a.only.split (",")
    for name, fn in (("floor", lambda: render_floor (a.out)),
                     ("body", lambda: render_body (a.out)),
                     ("knob", lambda: render_knobs (a.out, a.jobs))):
        if name in parts:
            t = time.time()
            fn()
            print ("%-5s %6.1f s" % (name, time.time() - t), flush=True)


if __name__ == "__main__":
    main()
