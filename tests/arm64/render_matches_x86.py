#!/usr/bin/env python3
"""The arm64 pedal sounds as the x86-64 one: a stereo file rendered by the arm64
brask-render through the arm64 VST3 module, run under emulation, equals the same
file rendered natively by the x86-64 brask-render and module, within 1e-5 of the
x86-64 render's peak on each channel.

    render_matches_x86.py X86_RENDER X86_VST3 ARM64_RENDER ARM64_VST3 EMULATOR...

The two channels carry different signals, so that a swap or a mix of channels
shows. The knobs stand off their defaults and the drive high, where the clipper,
the bias and the tone filter all shape the sound."""
import array
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "hosts"))
from pedal_checks import Abort, run_checks  # noqa: E402

TOLERANCE = 1e-5
KNOBS = ["--drive", "0.8", "--tone", "0.35", "--level", "0.6"]


def samples_of(path, channels):
    """The file's samples as 32-bit floats, one list per channel."""
    raw = subprocess.run(["sox", "-V1", path, "-t", "f32", "-"], check=True, capture_output=True,
                         timeout=120).stdout
    data = array.array("f", raw)
    if sys.byteorder != "little":
        data.byteswap()
    if len(data) == 0 or len(data) % channels:
        raise Abort(f"{path} holds {len(data)} samples, not whole frames of {channels}")
    return [data[channel::channels] for channel in range(channels)]


def peak(samples):
    return max(abs(x) for x in samples)


def largest_difference(a, b):
    return max(abs(x - y) for x, y in zip(a, b))


def main():
    x86_render, x86_vst3, arm_render, arm_vst3, *emulator = sys.argv[1:]

    def run(checks):
        with tempfile.TemporaryDirectory() as scratch:
            stereo = os.path.join(scratch, "phrase.wav")
            # Three seconds at 48 kHz, 32-bit float: a low E held on the left, a
            # plucked E an octave and a fifth higher on the right.
            subprocess.run(["sox", "-V1", "-n", "-r", "48000", "-c", "2", "-e", "floating-point", "-b", "32",
                            stereo, "synth", "3", "sine", "82.4", "pluck", "330", "fade", "q", "0.01", "3", "0.5",
                            "vol", "0.7"], check=True, timeout=60)

            native = os.path.join(scratch, "x86.wav")
            emulated = os.path.join(scratch, "arm64.wav")
            env = dict(os.environ)
            env.pop("DISPLAY", None)
            subprocess.run([x86_render, *KNOBS, "--bits", "float", "--plugin", x86_vst3, stereo, native],
                           check=True, timeout=300, env=env, stdout=subprocess.DEVNULL)
            subprocess.run([*emulator, arm_render, *KNOBS, "--bits", "float", "--plugin", arm_vst3, stereo, emulated],
                           check=True, timeout=600, env=env, stdout=subprocess.DEVNULL)

            reference = samples_of(native, 2)
            result = samples_of(emulated, 2)
            same_length = len(reference[0]) == len(result[0])
            checks.check("the arm64 render has the x86-64 render's length",
                         same_length, f"{len(result[0])} frames against {len(reference[0])}")
            if not same_length:
                return

            for channel, name in enumerate(("left", "right")):
                loudest = peak(reference[channel])
                distance = largest_difference(result[channel], reference[channel])
                checks.check(f"the {name} channel carries sound", loudest > 0.05, f"peak {loudest:.4f}")
                checks.check(f"the {name} channel matches within {TOLERANCE:g} of its peak",
                             distance <= TOLERANCE * loudest,
                             f"largest difference {distance:.3g}, {distance / max(loudest, 1e-30):.3g} of the peak {loudest:.4f}")

            # The channels differ, so a swap would not pass unseen.
            checks.check("the two channels differ", largest_difference(reference[0], reference[1]) > 0.05)

    return run_checks("the arm64 render against the x86-64 render", run)


if __name__ == "__main__":
    sys.exit(main())
