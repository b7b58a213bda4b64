#!/usr/bin/env python3
"""The built LV2 module makes an instance for every encoding of the maximum block
length that hosts use, and one that cannot be a length; the bundle's data,
with the setting ports our build adds, is valid LV2 (sord_validate finds no
error) and reads in lv2info as a released plug-in that requires nothing.

A minimal LV2 host in ctypes: it loads the module as hosts do (dlopen, then
lv2_descriptor), offers the features the framework's wrapper wants (urid:map,
the options, boundedBlockLength) and the options Audacity sends besides, and calls
instantiate with the maximum block length typed as each host types it.

The same host then plays three seconds of stereo through the pedal in runs of 64
samples, in runs of 4096 and in a mix of lengths (empty runs included): the
outputs must agree within 1e-5 of their peak from the first sample, since the
pedal must not sound different however the host cuts the audio.

The data is checked as pedal_checks.check_lv2_data does, which the test of the
installed bundle runs too."""

import argparse
import ctypes
import glob
import math
import os
import struct
import sys
import tempfile

sys.dont_write_bytecode = True  # the test leaves the source tree as it found it
from pedal_checks import Checks, check_lv2_data  # noqa: E402

LV2_URI = b"https://quillonaudio.example/plugins/brask-overdrive"

ATOM = "http://lv2plug.in/ns/ext/atom#"
BUF_SIZE = "http://lv2plug.in/ns/ext/buf-size#"
URID_MAP = b"http://lv2plug.in/ns/ext/urid#map"
OPTIONS = b"http://lv2plug.in/ns/ext/options#options"
BOUNDED_BLOCK_LENGTH = b"http://lv2plug.in/ns/ext/buf-size#boundedBlockLength"

# (how a host types the maximum block length, its bytes): every one makes an
# instance, what cannot be a length as if the host had sent none (the pedal then
# bounds its blocks itself)
CASES = [
    ("atom:Int of 4 bytes (Ardour)", ATOM + "Int", struct.pack("<i", 8192)),
    ("atom:Int of 8 bytes (Audacity)", ATOM + "Int", struct.pack("<q", 1048576)),
    ("atom:Long", ATOM + "Long", struct.pack("<q", 4096)),
    ("atom:Float", ATOM + "Float", struct.pack("<f", 2048.0)),
    ("atom:Double", ATOM + "Double", struct.pack("<d", 512.0)),
    ("a negative atom:Int", ATOM + "Int", struct.pack("<i", -512)),
    ("a fractional atom:Float", ATOM + "Float", struct.pack("<f", 512.5)),
    ("an atom:Long beyond 2^31 - 1", ATOM + "Long", struct.pack("<q", 1 << 40)),
    ("an atom:String", ATOM + "String", b"512\0"),
]


class Feature(ctypes.Structure):
    _fields_ = [("URI", ctypes.c_char_p), ("data", ctypes.c_void_p)]


class Option(ctypes.Structure):
    _fields_ = [("context", ctypes.c_int), ("subject", ctypes.c_uint32), ("key", ctypes.c_uint32),
                ("size", ctypes.c_uint32), ("type", ctypes.c_uint32), ("value", ctypes.c_void_p)]


MapFunction = ctypes.CFUNCTYPE(ctypes.c_uint32, ctypes.c_void_p, ctypes.c_char_p)


class UridMap(ctypes.Structure):
    _fields_ = [("handle", ctypes.c_void_p), ("map", MapFunction)]


ConnectPort = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_uint32, ctypes.c_void_p)
Activate = ctypes.CFUNCTYPE(None, ctypes.c_void_p)
Run = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_uint32)

Instantiate = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p, ctypes.c_double, ctypes.c_char_p,
                               ctypes.POINTER(ctypes.POINTER(Feature)))
Cleanup = ctypes.CFUNCTYPE(None, ctypes.c_void_p)
ConnectPort = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_uint32, ctypes.c_void_p)
Activate = ctypes.CFUNCTYPE(None, ctypes.c_void_p)
Run = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_uint32)


class Descriptor(ctypes.Structure):
    _fields_ = [("URI", ctypes.c_char_p), ("instantiate", Instantiate), ("connect_port", ConnectPort),
                ("activate", Activate), ("run", Run), ("deactivate", Activate),
                ("cleanup", Cleanup), ("extension_data", ctypes.c_void_p)]


class Host:
    def __init__(self):
        self.ids = {}
        self.map_function = MapFunction(lambda handle, uri: self.urid(uri.decode()))
        self.map = UridMap(None, self.map_function)

    def urid(self, uri):
        return self.ids.setdefault(uri, len(self.ids) + 1)

    def instantiate(self, descriptor, bundle, type_uri, value):
        """Calls instantiate with Audacity's other options beside the maximum under test."""
        keep = []

        def option(key, type_uri, data):
            buffer = ctypes.create_string_buffer(data, len(data))
            keep.append(buffer)
            return Option(0, 0, self.urid(key), len(data), self.urid(type_uri), ctypes.cast(buffer, ctypes.c_void_p))

        options = (Option * 4)(
            option(BUF_SIZE + "minBlockLength", ATOM + "Int", struct.pack("<q", 1)),
            option(BUF_SIZE + "maxBlockLength", type_uri, value),
            option("http://lv2plug.in/ns/ext/parameters#sampleRate", ATOM + "Float", struct.pack("<f", 48000.0)),
            Option(0, 0, 0, 0, 0, None))
        features = [Feature(URID_MAP, ctypes.cast(ctypes.pointer(self.map), ctypes.c_void_p)),
                    Feature(OPTIONS, ctypes.cast(options, ctypes.c_void_p)),
                    Feature(BOUNDED_BLOCK_LENGTH, None)]
        array = (ctypes.POINTER(Feature) * (len(features) + 1))(*[ctypes.pointer(f) for f in features], None)
        return descriptor.instantiate(ctypes.addressof(descriptor), 48000.0, bundle.encode() + b"/", array)


# The pedal's ports, as its bundle's data numbers them (lv2info lists the same).
AUDIO_IN, AUDIO_OUT = (0, 1), (2, 3)
EVENTS_IN, EVENTS_OUT = 4, 5
CONTROL_PORTS = {"latency": 6, "freeWheeling": 7, "enabled": 8, "drive": 9, "tone": 10, "level": 11, "effectOn": 12}
RUN_MAXIMUM = 8192


def play_in_runs(host, descriptor, bundle, left, right, run_lengths):
    """Plays the two channels through a fresh instance in runs of the lengths
    given (cycled), the audio ports moved along the signal before each run as a
    host with its own buffers does; returns the two output channels."""
    length = len(left)
    handle = host.instantiate(descriptor, bundle, ATOM + "Int", struct.pack("<i", RUN_MAXIMUM))
    if not handle:
        return None
    inputs = [(ctypes.c_float * length)(*channel) for channel in (left, right)]
    outputs = [(ctypes.c_float * length)() for _ in range(2)]
    controls = {name: ctypes.c_float(value) for name, value in
                (("latency", 0.0), ("freeWheeling", 0.0), ("enabled", 1.0), ("drive", 0.8), ("tone", 0.4),
                 ("level", 0.7), ("effectOn", 1.0))}

    # An empty event sequence in, and room for one out (its size is the capacity).
    events_in = struct.pack("<IIII", 8, host.urid(ATOM + "Sequence"), 0, 0)
    events_in_buffer = ctypes.create_string_buffer(events_in, len(events_in))
    events_out_buffer = ctypes.create_string_buffer(4096)

    connect = ConnectPort(descriptor.connect_port)
    run = Run(descriptor.run)
    connect(handle, EVENTS_IN, ctypes.cast(events_in_buffer, ctypes.c_void_p))
    connect(handle, EVENTS_OUT, ctypes.cast(events_out_buffer, ctypes.c_void_p))
    for name, value in controls.items():
        connect(handle, CONTROL_PORTS[name], ctypes.cast(ctypes.pointer(value), ctypes.c_void_p))
    Activate(descriptor.activate)(handle)

    start, index = 0, 0
    while start < length:
        count = min(run_lengths[index % len(run_lengths)], length - start)
        index += 1
        for port, channel in zip(AUDIO_IN, inputs):
            connect(handle, port, ctypes.addressof(channel) + 4 * start)
        for port, channel in zip(AUDIO_OUT, outputs):
            connect(handle, port, ctypes.addressof(channel) + 4 * start)
        struct.pack_into("<II", events_out_buffer, 0, len(events_out_buffer) - 8, host.urid(ATOM + "Chunk"))
        run(handle, count)
        start += count

    Activate(descriptor.deactivate)(handle)
    descriptor.cleanup(handle)
    return [list(channel) for channel in outputs]


def check_run_lengths(host, descriptor, bundle, checks):
    length = 3 * 48000
    left = [0.5 * math.sin(2 * math.pi * 110 * i / 48000) + 0.2 * math.sin(2 * math.pi * 1730 * i / 48000)
            for i in range(length)]
    right = [0.4 * math.sin(2 * math.pi * 330 * i / 48000 + 0.5) for i in range(length)]
    reference = play_in_runs(host, descriptor, bundle, left, right, [64])
    if not checks.check("the pedal plays in runs of 64", reference is not None):
        return
    peak = max(abs(x) for channel in reference for x in channel)
    checks.check("the pedal changes the sound", peak > 0.1 and reference[0][:48000] != left[:48000], f"peak {peak:.3g}")
    for name, run_lengths in (("runs of 4096", [4096]), ("a mix of runs, empty ones included", [1, 0, 333, 8192, 0, 17])):
        output = play_in_runs(host, descriptor, bundle, left, right, run_lengths)
        largest = max((abs(x - y) for got, want in zip(output, reference) for x, y in zip(got, want)), default=0.0) \
            if output is not None else math.inf
        checks.check(f"{name} sound as runs of 64", largest <= 1e-5 * peak,
                     f"largest difference {largest:.3g} at a peak of {peak:.3g}")


def check_setting_ports_data(bundle, checks):
    with open(os.path.join(bundle, "dsp.ttl")) as f:
        data = f.read()
    # Ours are the ports from the one named "drive" to the end of the port list, in the store's order.
    at = [data.find(f'lv2:symbol "{symbol}"') for symbol in ("drive", "tone", "level", "effectOn")]
    start, end = data.rfind("\t] , [\n", 0, at[0]), data.find("\t] ;\n\topts:supportedOption")
    checks.check("the bundle's data declares the setting ports after the wrapper's, in order",
                 0 <= start < at[0] < at[1] < at[2] < at[3] < end, str(at))


def run(args, checks):
    check_setting_ports_data(args.plugin, checks)
    with tempfile.TemporaryDirectory() as home:
        check_lv2_data(checks, args.plugin, home)

    binaries = glob.glob(os.path.join(args.plugin, "*.so"))
    if not checks.check("the bundle holds one shared object", len(binaries) == 1, str(binaries)):
        return
    module = ctypes.CDLL(binaries[0])
    module.lv2_descriptor.restype = ctypes.POINTER(Descriptor)
    module.lv2_descriptor.argtypes = [ctypes.c_uint32]
    found = module.lv2_descriptor(0)
    if not checks.check("lv2_descriptor (0) names the pedal", bool(found) and found.contents.URI == LV2_URI):
        return
    descriptor = found.contents
    checks.check("lv2_descriptor (1) is the end of the list", not module.lv2_descriptor(1))

    host = Host()
    for name, type_uri, value in CASES:
        handle = host.instantiate(descriptor, args.plugin, type_uri, value)
        checks.check(f"a maximum block length as {name} makes an instance", bool(handle))
        if handle:
            descriptor.cleanup(handle)

    check_run_lengths(host, descriptor, args.plugin, checks)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--plugin", required=True, help="the built .lv2 bundle")
    args = parser.parse_args()
    checks = Checks()
    run(args, checks)
    return checks.summary()


if __name__ == "__main__":
    sys.exit(main())
