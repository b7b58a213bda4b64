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


# ---- LV2 hosts: one byte of features, the rate, the maximum, then call bytes as
# numbered in Lv2EntryFuzzer.cpp ----
(CONNECT, ACTIVATE, DEACTIVATE, RUN, SET_CONTROL, FILL_ATOM_INPUT, SAVE_STATE, RESTORE_STATE) = range(8)
# Ports as the bundle declares them; audio ports connect to buffer (target % 4),
# control inputs to cell (target % 5), cells starting at 0.5, 0.5, 0.5, 1, 1.
IN_L, IN_R, OUT_L, OUT_R, ATOM_IN, ATOM_OUT, LATENCY, FREE_WHEELING, ENABLED = range(9)
DRIVE, TONE_PORT, LEVEL_PORT, EFFECT_ON = range(9, 13)
LV2_RATES = [44100, 48000, 96000, 8000, 192000, 384000, 22050]
LONGEST_RUNS = [256, 512, 1024, 64, 4096, 8192, 20000, 1]


def lv2_host(features=0, rate=48000, longest=256, maximum=("int", 256)):
    kinds = ["int", "int8", "long", "float", None]
    return (bytes([features | (LONGEST_RUNS.index(longest) << 4), LV2_RATES.index(rate), kinds.index(maximum[0])])
            + struct.pack("<H", maximum[1] + 64))


def connect(port, target):
    return bytes([CONNECT, port, target])


def connect_all(inputs=(1, 2), outputs=(3, 4)):
    # A host that connects everything: separate buffers, the atom ports, the controls.
    return (connect(IN_L, inputs[0]) + connect(IN_R, inputs[1]) + connect(OUT_L, outputs[0]) + connect(OUT_R, outputs[1])
            + connect(ATOM_IN, 1) + connect(ATOM_OUT, 1) + connect(LATENCY, 1) + connect(FREE_WHEELING, 0)
            + connect(ENABLED, 3) + connect(DRIVE, 5) + connect(TONE_PORT, 1) + connect(LEVEL_PORT, 2)
            + connect(EFFECT_ON, 4))


def signal(kind=1, amplitude=3, period=40):
    return bytes([kind, amplitude, period]) + struct.pack("<I", 777)


def run(length_mode, amount=0, kind=1, capacity=6):
    # length_mode: 0 empty, 1 the longest, 2 one sample, 3.. amount % (longest + 1)
    return (bytes([RUN, length_mode]) + struct.pack("<H", amount)
            + (signal(kind) + signal(0)) * 4 + bytes([capacity]))


def set_control(cell, value):
    return bytes([SET_CONTROL, cell, 100]) + struct.pack("<H", int(round(value * 65535)))


def restore_damaged(index, with_nul=False):
    return bytes([RESTORE_STATE, 1 | (0x40 if with_nul else 0), index])


playing = lv2_host() + connect_all() + bytes([ACTIVATE]) + run(1) * 4
lv2_sessions = {
    "play": playing + set_control(0, 0.9) + run(3, 100) + run(0) + run(1),
    # The damaged state strings hosts died on (-1, -16, 2^31, 3e9 bytes), then playing on.
    "damaged-minus-one": playing + restore_damaged(0) + run(1),
    "damaged-minus-sixteen": playing + restore_damaged(1, True) + run(1),
    "damaged-two-to-the-31": playing + restore_damaged(2) + run(1),
    "damaged-three-billion": playing + restore_damaged(3, True) + run(1),
    "damaged-others": playing + b"".join(restore_damaged(i) for i in range(4, 15)) + run(1),
    "damaged-before-activate": lv2_host() + restore_damaged(0) + restore_damaged(3) + connect_all()
                               + bytes([ACTIVATE]) + run(1),
    "save-and-restore": playing + set_control(0, 0.2) + run(1) + bytes([SAVE_STATE]) + set_control(0, 0.8) + run(1)
                        + bytes([RESTORE_STATE, 0]) + run(1),
    "default-preset": playing + set_control(1, 0.1) + run(1) + bytes([RESTORE_STATE, 4 | 0xC0]) + struct.pack("<I", 0)
                      + bytes([1]) + run(1),
    "counted-characters": playing + bytes([RESTORE_STATE, 2, 16, 0, 22]) + bytes(range(22)) + run(1),
    "in-place": lv2_host() + connect_all(inputs=(1, 2), outputs=(1, 2)) + bytes([ACTIVATE]) + run(1) * 3,
    "crosswise": lv2_host() + connect_all(inputs=(1, 2), outputs=(2, 1)) + bytes([ACTIVATE]) + run(1) * 3,
    "shared-input": lv2_host() + connect_all(inputs=(1, 1), outputs=(2, 3)) + bytes([ACTIVATE]) + run(1) * 3,
    "reactivate-after-a-loud-note": playing + run(1, kind=5) + bytes([DEACTIVATE, ACTIVATE]) + run(1, kind=0),
    "enabled-toggles": playing + set_control(3, 0.3) + run(1) + set_control(3, 0.0) + run(1) + set_control(3, 1.0)
                       + run(3, 37) + run(1),
    "free-wheeling": playing + connect(FREE_WHEELING, 4) + run(1) + set_control(4, 0.0) + run(1),
    "atom-input-full": playing + bytes([FILL_ATOM_INPUT, 1, 20])
                       + (struct.pack("<HH", 3, 4096 + 7) + bytes([0, 0]) + b"\x90\x3c\x64") * 20 + run(1, capacity=0)
                       + run(1, capacity=2) + run(1, capacity=4),
    "late-connections": lv2_host() + bytes([ACTIVATE]) + run(1) + connect(OUT_L, 3) + run(1) + connect_all() + run(1)
                        + connect(IN_L, 0) + run(1),
    "no-features": lv2_host(features=0x80 | 0x02) + connect_all() + bytes([ACTIVATE]) + run(1),
    "runs-longer-than-promised": lv2_host(longest=20000, maximum=("int", 64)) + connect_all() + bytes([ACTIVATE])
                                 + run(1) + run(3, 12345) + run(3, 8193),
    "lowest-rate": lv2_host(rate=8000, longest=1, maximum=("float", 1)) + connect_all() + bytes([ACTIVATE]) + run(1) * 50,
}

for name, session in lv2_sessions.items():
    write("lv2", name, session)
