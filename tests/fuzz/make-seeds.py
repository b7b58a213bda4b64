#!/usr/bin/env python3
"""Writes the hand-made seeds of the fuzz corpus: the saved settings and host
sessions a person would try first. The fuzzer grows the rest from them; inputs
it found worth keeping are merged into the same folders by scripts/fuzz-long.

Usage: tests/fuzz/make-seeds.py   (rewrites only the files named here)
"""
import math
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))
nan = float("nan")
inf = float("inf")


def floats(*values):
    return b"".join(struct.pack("<f", v) for v in values)


def write(folder, name, data):
    path = os.path.join(here, "corpus", folder)
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, name), "wb") as f:
        f.write(data)


# ---- saved settings: one byte of host choices, then the bytes handed over ----
states = {
    "defaults": floats(0.5, 0.5, 0.5, 1.0),
    "all-off": floats(0.0, 0.0, 0.0, 0.0),
    "all-up": floats(1.0, 1.0, 1.0, 1.0),
    "empty": b"",
    "twelve-bytes": floats(0.9, 0.1, 0.7),
    "twenty-bytes": floats(0.2, 0.3, 0.4, 1.0, 0.5),
    "nan-knobs": floats(nan, nan, nan, nan),
    "infinite-knobs": floats(inf, -inf, inf, -inf),
    "out-of-range": floats(-3.0, 7.5, 1e30, 2.0),
    "integer-one-footswitch": floats(0.5, 0.5, 0.5) + bytes([1, 0, 0, 0]),
    "negative-zero-footswitch": floats(0.5, 0.5, 0.5) + bytes([0, 0, 0, 0x80]),
    "denormals": floats(1e-45, 1e-40, 1e-45, 1e-45),
    "level-at-floor": floats(0.5, 0.5, 1e-5, 1.0),
    "with-trailer": floats(0.6, 0.4, 0.8, 1.0) + struct.pack("<I", 8) + b"\0" * 8 + b"JUCEPrivateData",
    "odd-length": bytes(range(7)),
    "text": b"<?xml version=\"1.0\"?><PARAMS drive=\"0.5\"/>",
}
choices = {"restore-before-prepare": 1, "null-pointer": 2, "null-with-size": 6,
           "negative-size": 8, "host-prefix": 0x70}

for name, blob in states.items():
    write("state", name, bytes([0]) + blob)

for name, choice in choices.items():
    write("state", name, bytes([choice]) + floats(0.25, 0.75, 0.5, 1.0))


# ---- host sessions: call bytes as numbered in HostCallsFuzzer.cpp ----
(PREPARE, PROCESS, DRIVE, TONE, LEVEL, FOOTSWITCH, SAVE, RESTORE,
 OPEN, CLOSE, RESIZE, MESSAGES, RELEASE, LAYOUT) = range(14)

RATES = [8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000]


def prepare(rate, block):
    return bytes([PREPARE, RATES.index(rate)]) + struct.pack("<H", block - 1)


def process(length_mode, amount, signal, amplitude=4, period=40, channels=0):
    # length_mode: 0 within, 1 as promised, 2 longer, 3 anything; signal 0..7 as in FuzzSupport.h
    return (bytes([PROCESS, length_mode]) + struct.pack("<H", amount) + bytes([channels, signal, amplitude, period])
            + struct.pack("<I", 12345))


def knob(call, value):
    # 16.. 159 is a knob position word / 65535; below 16 the awkward values
    if isinstance(value, int):
        return bytes([call, value])
    return bytes([call, 100]) + struct.pack("<H", int(round(value * 65535)))


def restore_fields(*values):
    return bytes([RESTORE, 3]) + b"".join(bytes([255]) + struct.pack("<f", v) for v in values)


sessions = {
    "play-a-song": prepare(48000, 512) + process(1, 0, 1) * 8 + knob(DRIVE, 0.8) + process(1, 0, 1) * 4,
    "turn-every-knob": prepare(44100, 256) + knob(DRIVE, 1.0) + knob(TONE, 0.0) + knob(LEVEL, 1.0)
                       + process(1, 0, 2, amplitude=6) * 4 + knob(LEVEL, 0.0) + process(1, 0, 2),
    "awkward-knobs": prepare(96000, 64) + knob(DRIVE, 8) + knob(TONE, 10) + knob(LEVEL, 12) + process(1, 0, 1)
                     + knob(DRIVE, 11) + knob(TONE, 14) + process(1, 0, 6),
    "footswitch-dance": prepare(48000, 128) + (bytes([FOOTSWITCH]) + process(0, 100, 6)) * 6,
    "blocks-longer-than-promised": prepare(48000, 64) + process(2, 1000, 1) + process(3, 20000, 2) + process(0, 0, 1),
    "process-before-prepare": process(3, 4096, 6) + prepare(22050, 1024) + process(1, 0, 1),
    "tiny-rate-tiny-blocks": prepare(8000, 1) + knob(TONE, 1.0) + process(1, 0, 1) * 20 + process(2, 7, 3),
    "highest-rate-largest-block": prepare(384000, 8192) + process(1, 0, 5, amplitude=8) + process(2, 9000, 3),
    "re-prepare-mid-song": prepare(44100, 512) + process(1, 0, 1) + prepare(192000, 33) + process(2, 500, 1)
                           + prepare(11025, 4096) + process(1, 0, 7),
    "save-restore-while-playing": prepare(48000, 256) + knob(DRIVE, 0.3) + bytes([SAVE, 3]) + process(1, 0, 1)
                                  + knob(DRIVE, 0.9) + bytes([RESTORE, 0]) + process(1, 0, 1)
                                  + bytes([RESTORE, 1]) + restore_fields(nan, inf, -2.0, nan) + process(1, 0, 2),
    "foreign-project": prepare(48000, 512) + bytes([RESTORE, 2, 23]) + b"VstW\0\0\0\x08\0\0\0\x01garbage!!!!" + process(1, 0, 1),
    "editor-open-and-close": prepare(48000, 512) + bytes([OPEN, MESSAGES]) + process(1, 0, 1) + knob(DRIVE, 0.1)
                             + bytes([RESIZE]) + struct.pack("<HH", 600, 900) + bytes([MESSAGES, CLOSE, OPEN])
                             + restore_fields(0.1, 0.9, 0.5, 0.0) + bytes([MESSAGES]) + process(1, 0, 1) + bytes([CLOSE]),
    "mono-then-stereo": bytes([LAYOUT, 0]) + prepare(44100, 512) + process(1, 0, 1) + bytes([RELEASE, LAYOUT, 1])
                        + prepare(48000, 512) + process(1, 0, 1) + bytes([LAYOUT, 2, LAYOUT, 0]) + process(1, 0, 1),
    "wrong-channel-counts": prepare(48000, 256) + process(1, 0, 1, channels=196) + process(1, 0, 1, channels=199)
                            + process(1, 0, 1, channels=195),
}

for name, session in sessions.items():
    write("host_calls", name, session)
