#!/usr/bin/env python3
"""The Windows pedal sounds as the Linux one: one stereo file played through the
Windows VST3 module under Wine and through the Linux module, by the same small
host built for each platform (brask_module_render), gives the same samples: bit
for bit, or within 1e-6 of the Linux render's peak on each channel.

    render_matches_linux.py LINUX_HOST LINUX_BUNDLE WINDOWS_HOST WINDOWS_DLL WINE...

The two channels carry different signals (a swelling chord on the left, noise
on the right), so that a swap or a mix of channels shows; the knobs stand off
their defaults and the drive high, where the clipper, the bias and the tone
filter all shape the sound."""
import array
import math
import os
import random
import subprocess
import sys
import tempfile

TOLERANCE = 1e-6
KNOBS = ["0.8", "0.35", "0.6"]
RATE = 48000


def stereo_input(path):
    generator = random.Random(31)
    frames = array.array("f")
    for n in range(2 * RATE + 123):             # not a whole number of host blocks
        t = n / RATE
        swell = min(1.0, t / 1.5)
        left = swell * 0.6 * (math.sin(2 * math.pi * 110 * t) + 0.5 * math.sin(2 * math.pi * 165 * t))
        right = 0.4 * (generator.random() * 2 - 1)
        frames.extend((left, right))
    with open(path, "wb") as f:
        f.write(frames.tobytes())


def channels_of(path):
    data = array.array("f")
    with open(path, "rb") as f:
        data.frombytes(f.read())
    return data[0::2], data[1::2]


def main():
    linux_host, linux_bundle, windows_host, windows_dll, *wine = sys.argv[1:]
    with tempfile.TemporaryDirectory() as folder:
        source = os.path.join(folder, "input.f32")
        stereo_input(source)
        linux_out, windows_out = os.path.join(folder, "linux.f32"), os.path.join(folder, "windows.f32")
        subprocess.run([linux_host, linux_bundle, source, linux_out, *KNOBS], check=True, timeout=300,
                       env={k: v for k, v in os.environ.items() if k != "DISPLAY"})
        subprocess.run([*wine, windows_host, windows_dll, source, windows_out, *KNOBS], check=True, timeout=400)

        linux, windows = channels_of(linux_out), channels_of(windows_out)
        failed = False
        if len(linux[0]) != len(windows[0]) or len(linux[0]) == 0:
            print(f"FAIL  the Windows render has {len(windows[0])} frames, the Linux one {len(linux[0])}")
            return 1
        same_bits = open(linux_out, "rb").read() == open(windows_out, "rb").read()
        for name, ours, theirs in (("left", linux[0], windows[0]), ("right", linux[1], windows[1])):
            peak = max(abs(x) for x in ours)
            deviation = max(abs(a - b) for a, b in zip(ours, theirs))
            relative = deviation / peak if peak > 0 else float("inf")
            ok = peak > 0.05 and relative <= TOLERANCE
            failed = failed or not ok
            print(f"{'PASS' if ok else 'FAIL'}  the Windows render's {name} channel equals the Linux one: "
                  f"largest difference {deviation:.3g} = {relative:.3g} of the peak {peak:.4f} "
                  f"(allowed {TOLERANCE:g}); {len(ours)} frames")
        print(f"      the two renders are {'bit for bit the same' if same_bits else 'not bit for bit the same'}")
        return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
