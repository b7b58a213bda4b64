#!/usr/bin/env python3
"""The built LV2 in the LV2 hosts Debian ships besides Ardour and Audacity.

- lv2file and lv2apply, which offer no block-length bound, no options and (lv2apply)
  no URID map, render a stereo file through the pedal: each render must be the
  in-process pedal's (brask_reference) for the same file in the blocks that host
  processes.
- jalv runs the pedal headless on a dummy JACK server of the test's own: a
  client of the test plays a tone into it and records what comes back. Turning
  the drive port must change the sound, and applying the bundle's "Default"
  preset must bring back the sound of the defaults, which is the in-process
  pedal's.

The hosts find the pedal by its URI, with LV2_PATH naming only the folder that
holds the built bundle."""

import argparse
import math
import os
import subprocess
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True  # the test leaves the source tree as it found it
from pedal_checks import (SAMPLE_RATE, Abort, difference, mono_files, read_wav, reference_render,  # noqa: E402
                          run_checks, stereo_file, test_signal, write_wav)

LV2_URI = "https://quillonaudio.example/plugins/brask-overdrive"
DEFAULT_PRESET = LV2_URI + ":preset1"

SIGNAL_SAMPLES = 30000
LV2FILE_BLOCK = 512   # asked for with -b
LV2APPLY_BLOCK = 1    # lv2apply runs the plug-in one frame at a time
TOLERANCE = 1.0e-6


def host_environment(bundle, **extra):
    env = {k: v for k, v in os.environ.items() if k != "LV2_PATH"}
    env["LV2_PATH"] = os.path.dirname(os.path.abspath(bundle))
    env.update(extra)
    return env


def file_hosts(args, checks, work):
    left, right = test_signal(SIGNAL_SAMPLES)
    source, source_mono = stereo_file(work, left, right, "signal")
    env = host_environment(args.plugin)

    for host, block, command in (
            ("lv2file", LV2FILE_BLOCK, ["lv2file", "-b", str(LV2FILE_BLOCK), "-i", source]),
            ("lv2apply", LV2APPLY_BLOCK, ["lv2apply", "-i", source])):
        rendered = os.path.join(work, f"{host}.wav")
        result = subprocess.run([*command, "-o", rendered, LV2_URI], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                text=True, env=env, timeout=120)
        # lv2file exits 0 even when it made no instance: the file tells.
        if not checks.check(f"{host} renders a file through the pedal", result.returncode == 0
                            and os.path.isfile(rendered) and os.path.getsize(rendered) > 1000, result.stdout[-500:]):
            continue
        got = tuple(read_wav(path) for path in mono_files(rendered))
        expected = reference_render(args.reference, work, source_mono, block, host)
        d = difference(got, expected)
        checks.check(f"{host}'s render equals the in-process pedal's at blocks of {block}", d <= TOLERANCE,
                     f"max difference {d:.3g}, tolerance {TOLERANCE:g}")


#==============================================================================
class Recorder:
    """A JACK client of the test's own: plays a steady tone into the pedal and
    records what the pedal plays back."""

    def __init__(self, server):
        import jack  # python3-jack-client
        self.client = jack.Client("brask-probe", servername=server, no_start_server=True)
        self.outputs = [self.client.outports.register(f"out_{side}") for side in "LR"]
        self.inputs = [self.client.inports.register(f"in_{side}") for side in "LR"]
        self.phase = 0
        self.lock = threading.Lock()
        self.recorded = None
        self.client.set_process_callback(self.process)
        self.client.activate()

    def process(self, frames):
        for channel, port in enumerate(self.outputs):
            buffer = port.get_array()
            for i in range(frames):
                buffer[i] = (0.3 if channel == 0 else 0.2) * math.sin(2 * math.pi * 220 * (self.phase + i) / SAMPLE_RATE)
        self.phase += frames
        with self.lock:
            if self.recorded is not None:
                for channel, port in enumerate(self.inputs):
                    self.recorded[channel].extend(port.get_array().tolist())

    def record(self, seconds):
        with self.lock:
            self.recorded = ([], [])
        time.sleep(seconds)
        with self.lock:
            got, self.recorded = self.recorded, None
        return got

    def close(self):
        self.client.deactivate()
        self.client.close()


def rms(samples):
    # Over whole periods of the 220 Hz tone: 12,000 samples are 55 of them.
    tail = samples[-12000:]
    return math.sqrt(sum(x * x for x in tail) / max(1, len(tail)))


def settled_rms(recorder, away_from=None, seconds=20.0):
    """jalv's RMS once the sound has settled: first, when a change was asked for,
    until it has moved away from `away_from` (jalv reads its commands in its own
    time), then until two successive windows agree (the knobs' smoothing, the bias
    ramp and the filters have run out). As soon as that is so, however late a
    loaded machine gets there; after `seconds` the last window is what is heard."""
    deadline = time.monotonic() + seconds
    previous = None
    while True:
        got = tuple(rms(channel) for channel in recorder.record(0.3))
        if time.monotonic() > deadline:
            return got
        if away_from is not None:
            if any(abs(g - a) > 0.02 * a for g, a in zip(got, away_from)):
                away_from = None
            continue
        if previous is not None and all(abs(g - p) <= 1e-4 * p for g, p in zip(got, previous)):
            return got
        previous = got


def steady_reference_rms(args, work):
    """The in-process pedal's RMS for the tone jalv plays, once it settles."""
    seconds = 2 * SAMPLE_RATE
    inputs = [os.path.join(work, f"tone-{side}.wav") for side in "LR"]
    for path, amplitude in zip(inputs, (0.3, 0.2)):
        write_wav(path, [amplitude * math.sin(2 * math.pi * 220 * i / SAMPLE_RATE) for i in range(seconds)])
    left, right = reference_render(args.reference, work, inputs, 256, "jalv")
    return rms(left), rms(right)


def jalv_host(args, checks, work):
    server = f"brask-test-{os.getpid()}"
    jack_log = open(os.path.join(work, "jackd.log"), "w")
    jackd = subprocess.Popen(["jackd", "--no-realtime", "-n", server, "-d", "dummy", "-r", str(SAMPLE_RATE), "-p", "256"],
                             stdout=jack_log, stderr=subprocess.STDOUT)
    jalv = recorder = None
    try:
        deadline = time.monotonic() + 15
        while recorder is None:
            try:
                recorder = Recorder(server)
            except Exception as problem:  # the server is not up yet
                if time.monotonic() > deadline or jackd.poll() is not None:
                    raise Abort(f"no dummy JACK server: {problem}")
                time.sleep(0.3)

        jalv_log = open(os.path.join(work, "jalv.log"), "w")
        jalv = subprocess.Popen(["jalv", "-n", "brask-jalv", LV2_URI], stdin=subprocess.PIPE, stdout=jalv_log,
                                stderr=subprocess.STDOUT, text=True,
                                env=host_environment(args.plugin, JACK_DEFAULT_SERVER=server))
        deadline = time.monotonic() + 20
        while not recorder.client.get_ports("brask-jalv:", is_audio=True):
            if time.monotonic() > deadline or jalv.poll() is not None:
                raise Abort("jalv made no JACK ports; see jalv.log")
            time.sleep(0.3)

        for side, number in (("L", 1), ("R", 2)):
            recorder.client.connect(f"brask-probe:out_{side}", f"brask-jalv:audio_in_{number}")
            recorder.client.connect(f"brask-jalv:audio_out_{number}", f"brask-probe:in_{side}")

        def command(text):
            jalv.stdin.write(text + "\n")
            jalv.stdin.flush()

        got = settled_rms(recorder)
        command("set drive 0.95")
        moved = settled_rms(recorder, away_from=got)
        command(f"preset {DEFAULT_PRESET}")
        back = settled_rms(recorder, away_from=moved)

        expected = steady_reference_rms(args, work)
        checks.check("jalv plays the pedal's sound at the defaults",
                     all(abs(g - e) <= 1e-3 * e for g, e in zip(got, expected)),
                     f"RMS {got}, in-process {expected}")
        checks.check("turning the drive port in jalv changes the sound",
                     all(abs(m - g) > 0.02 * g for m, g in zip(moved, got)), f"RMS {moved}, at the defaults {got}")
        checks.check("the Default preset in jalv brings the defaults' sound back",
                     all(abs(b - e) <= 1e-3 * e for b, e in zip(back, expected)), f"RMS {back}, in-process {expected}")
    finally:
        if jalv is not None:
            try:
                jalv.stdin.close()
            except OSError:
                pass
            jalv.terminate()
            try:
                jalv.wait(timeout=10)
            except subprocess.TimeoutExpired:
                jalv.kill()
        if recorder is not None:
            recorder.close()
        jackd.terminate()
        try:
            jackd.wait(timeout=10)
        except subprocess.TimeoutExpired:
            jackd.kill()
        jack_log.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--plugin", required=True, help="the built .lv2 bundle")
    parser.add_argument("--reference", required=True, help="brask_reference")
    parser.add_argument("--work", help="a folder for the test's files (a temporary one otherwise)")
    args = parser.parse_args()

    def run(checks):
        with tempfile.TemporaryDirectory() as temporary:
            work = args.work or temporary
            os.makedirs(work, exist_ok=True)
            file_hosts(args, checks, work)
            jalv_host(args, checks, work)

    return run_checks("the LV2 hosts test", run)


if __name__ == "__main__":
    sys.exit(main())
