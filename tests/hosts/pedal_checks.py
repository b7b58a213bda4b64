"""What the host-level test drivers share: the pedal's identity and saved state,
the framework's base64 in which some hosts keep it, float WAV files, a list of
named checks that ends in a pass/fail count, and the two ways a host reads an
installed pedal without playing it (Ardour's VST3 scanner, lilv's lv2info)."""

import glob
import hashlib
import math
import os
import re
import struct
import subprocess
import time
import xml.etree.ElementTree as ET

SAMPLE_RATE = 48000

CLASS_ID = "ABCDEF019182FAEB4D616E75517A7674"
CATEGORY = "Fx|Distortion"
LV2_URI = "https://quillonaudio.example/plugins/brask-overdrive"


def pedal_state(drive, tone, level, effect_on):
    """The pedal's 16-byte saved state: four little-endian 32-bit floats."""
    return struct.pack("<4f", drive, tone, level, 1.0 if effect_on else 0.0)


DEFAULT_STATE = pedal_state(0.5, 0.5, 0.5, True)


#==============================================================================
# The framework's own base64 (not RFC 4648): "<size>." and then one character for
# every 6 bits, taking the bytes as one little-endian number, lowest bits first.
# The LV2 wrapper and the Standalone keep the pedal's state in it.
FRAMEWORK_BASE64 = ".ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+"


def framework_base64_encode(data):
    bits = int.from_bytes(data, "little")
    chars = "".join(FRAMEWORK_BASE64[(bits >> (6 * i)) & 63] for i in range((len(data) * 8 + 5) // 6))
    return f"{len(data)}.{chars}"


def framework_base64_decode(text):
    size, chars = text.split(".", 1)
    bits = sum(FRAMEWORK_BASE64.index(c) << (6 * i) for i, c in enumerate(chars))
    return (bits & ((1 << (8 * int(size))) - 1)).to_bytes(int(size), "little")


#==============================================================================
class Checks:
    """Named checks: every one is reported, the run fails if any failed."""

    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, name, ok, detail=""):
        print(("PASS  " if ok else "FAIL  ") + name + (("  (" + detail + ")") if detail else ""), flush=True)
        if ok:
            self.passed += 1
        else:
            self.failed += 1
        return ok

    def summary(self):
        print(f"{self.passed} passed, {self.failed} failed")
        return 0 if self.failed == 0 else 1


class Abort(Exception):
    """A step the remaining checks cannot do without."""


def run_checks(what, run, stops=()):
    """Runs run(checks) and reports every check and the time taken. A step that
    cannot go on (Abort, a failed or hung process, a file error, or one of the
    host's own errors in stops) fails the run as "<what> runs to the end"."""
    checks = Checks()
    started = time.monotonic()
    try:
        run(checks)
    except (Abort, subprocess.SubprocessError, OSError, *stops) as problem:
        checks.check(f"{what} runs to the end", False, str(problem))
    print(f"took {time.monotonic() - started:.1f} s")
    return checks.summary()


#==============================================================================
# WAV files: 32-bit float mono, the way Ardour keeps its sources.
def write_wav(path, samples):
    data = struct.pack("<%df" % len(samples), *samples)
    fmt = struct.pack("<HHIIHH", 3, 1, SAMPLE_RATE, SAMPLE_RATE * 4, 4, 32)
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(data)) + b"WAVE")
        f.write(b"fmt " + struct.pack("<I", len(fmt)) + fmt)
        f.write(b"data" + struct.pack("<I", len(data)) + data)


def read_wav(path):
    with open(path, "rb") as f:
        blob = f.read()
    if blob[:4] != b"RIFF" or blob[8:12] != b"WAVE":
        raise Abort(f"{path} is not a WAV file")
    pos, fmt, data = 12, None, None
    while pos + 8 <= len(blob):
        chunk, size = blob[pos:pos + 4], struct.unpack("<I", blob[pos + 4:pos + 8])[0]
        body = blob[pos + 8:pos + 8 + size]
        if chunk == b"fmt ":
            fmt = struct.unpack("<HHIIHH", body[:16])
        elif chunk == b"data":
            data = body
        pos += 8 + size + (size & 1)
    if fmt is None or data is None:
        raise Abort(f"{path} has no audio")
    tag, channels, rate, _, _, bits = fmt
    is_float = tag == 3 or (tag == 0xFFFE and bits == 32)
    if not is_float or channels != 1 or bits != 32 or rate != SAMPLE_RATE:
        raise Abort(f"{path}: expected 32-bit float mono at {SAMPLE_RATE} Hz, got tag {tag}, "
                    f"{channels} channels, {bits} bits, {rate} Hz")
    return list(struct.unpack("<%df" % (len(data) // 4), data))




#==============================================================================
# Renders to compare: a test signal, stereo files as hosts read them, the in-process pedal's render.
def test_signal(samples):
    """Two different channels, so that a swap or a lost channel shows: a low
    note with its harmonics for the drive to clip, a bright one for the tone."""
    left, right = [], []
    for i in range(samples):
        t = i / SAMPLE_RATE
        left.append(0.3 * math.sin(2 * math.pi * 110 * t) + 0.1 * math.sin(2 * math.pi * 330 * t + 1.0)
                    + 0.05 * math.sin(2 * math.pi * 4400 * t))
        right.append(0.15 * math.sin(2 * math.pi * 440 * t) + 0.08 * math.sin(2 * math.pi * 5000 * t + 0.3))
    return left, right


def difference(a, b):
    return max(max((abs(x - y) for x, y in zip(a[i], b[i])), default=0.0) if len(a[i]) == len(b[i]) else math.inf
               for i in range(2))


#==============================================================================
def stereo_file(work, left, right, name):
    """One stereo 32-bit float WAV from two mono ones, the way Audacity imports it,
    and its two channels as mono files for the reference. sox carries samples as
    32-bit integers, which moves the smallest floats by up to 3e-8 (the drive
    multiplies that by up to 250): the reference reads what Audacity reads."""
    mono = [os.path.join(work, f"{name}-{side}.wav") for side in "LR"]
    write_wav(mono[0], left)
    write_wav(mono[1], right)
    stereo = os.path.join(work, name + ".wav")
    subprocess.run(["sox", "-V1", "-M", *mono, "-e", "floating-point", "-b", "32", stereo], check=True)
    return stereo, mono_files(stereo)


def mono_files(stereo):
    """The two channels of an exported stereo WAV, each as a mono float WAV."""
    paths = []
    for channel, side in ((1, "L"), (2, "R")):
        path = stereo[:-4] + f"-{side}.wav"
        subprocess.run(["sox", "-V1", stereo, "-e", "floating-point", "-b", "32", path, "remix", str(channel)],
                       check=True)
        paths.append(path)
    return paths


def reference_render(reference, work, inputs, block, tag, state=DEFAULT_STATE):
    """The in-process pedal's render (brask_reference) of two mono files in blocks of BLOCK."""
    out = [os.path.join(work, f"reference-{tag}-{side}.wav") for side in "LR"]
    result = subprocess.run([reference, "render", "--state", state.hex(), "--block", str(block),
                             *inputs, *out], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
    if result.returncode != 0:
        raise Abort("the in-process reference failed: " + result.stdout)
    return read_wav(out[0]), read_wav(out[1])


#==============================================================================
# What hosts read from an installed pedal.
def host_environment(home, **extra):
    """The environment for a host run with HOME in a folder of the test's own, so
    that the user's plug-ins, caches and settings neither help nor harm."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("XDG_") and k not in ("LV2_PATH", "VST3_PATH")}
    env["HOME"] = home
    env.update(extra)
    return env


def ardour_vst3_scan(bundle, home):
    """Runs Ardour's VST3 scanner on a bundle. Returns the attributes of the
    class it recorded (an empty dict when it wrote no usable entry) and what it
    printed. Its exit status says nothing about the module; its cache entry does."""
    module = os.path.join(bundle, "Contents", "x86_64-linux",
                          os.path.splitext(os.path.basename(bundle))[0] + ".so")
    scan = subprocess.run(["/usr/lib/ardour7/ardour-vst3-scanner", "-v", bundle],
                          env=host_environment(home, LD_LIBRARY_PATH="/usr/lib/ardour7"),
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
    cache = ardour_vst3_cache_entry(module, home)
    if not os.path.isfile(cache):
        return {}, scan.stdout
    info = ET.parse(cache).getroot().find("VST3Info")
    return ({} if info is None else dict(info.attrib)), scan.stdout


def ardour_vst3_cache_entry(module, home):
    return os.path.join(home, ".cache", "ardour7", "vst", hashlib.sha1(module.encode()).hexdigest() + ".v3i")


def lv2_plugin_info(lv2_folder, home):
    """lv2info's description of the pedal, found in lv2_folder only (with the LV2
    specifications Debian installs, which name the classes): {field: value}."""
    result = subprocess.run(["lv2info", LV2_URI],
                            env=host_environment(home, LV2_PATH=lv2_folder + ":/usr/lib/lv2"),
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
    fields = {}
    for line in result.stdout.splitlines():
        name, colon, value = line.strip().partition(":")
        if colon and name and name not in fields:
            fields[name] = value.strip()
    return fields


def lv2_validation(bundle):
    """sord_validate on a bundle's data with the LV2 vocabularies lv2-dev installs:
    its errors (blank nodes renamed away) and the number of restrictions it checked."""
    # lv2-dev may be installed for more than one architecture: ask for this one's.
    arch = subprocess.run(["dpkg", "--print-architecture"], stdout=subprocess.PIPE, text=True, check=True).stdout.strip()
    vocabularies = [path for path in subprocess.run(["dpkg", "-L", f"lv2-dev:{arch}"], stdout=subprocess.PIPE,
                                                   text=True, check=True).stdout.split()
                    if path.startswith("/usr/lib/lv2/") and path.endswith(".ttl")]
    result = subprocess.run(["sord_validate", *vocabularies, *sorted(glob.glob(os.path.join(bundle, "*.ttl")))],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    report = result.stdout.split("\nFound ")[0]  # the errors, without the closing count
    errors = [re.sub(r"\bb[0-9]+\b", "_", error).strip() for error in report.split("error: ")[1:]]
    checked = re.search(r"checked ([0-9]+) restrictions", result.stdout)
    return errors, int(checked.group(1)) if checked else 0


def check_lv2_data(checks, bundle, home, where="the built"):
    """The bundle's data is valid LV2 and says what hosts must read: a mailto:
    address, the licence, a released version, no required feature."""
    errors, checked = lv2_validation(bundle)
    checks.check(f"sord_validate finds no error in {where} bundle's data", checked > 0 and not errors,
                 f"{checked} restrictions checked; " + "\n".join(errors))
    info = lv2_plugin_info(os.path.dirname(os.path.abspath(bundle)), home)
    checks.check(f"lv2info gives {where} pedal's maintainer a mailto: address",
                 info.get("Author Email") == "mailto:support@quillonaudio.example", str(info.get("Author Email")))
    checks.check(f"lv2info finds no feature {where} pedal requires", "Required Features" not in info,
                 str(info.get("Required Features")))
    with open(os.path.join(bundle, "dsp.ttl")) as f:
        data = f.read()
    checks.check(f"{where} data declares the licence", "doap:license <https://spdx.org/licenses/GPL-3.0-or-later" in data)
    minor = re.search(r"lv2:minorVersion ([0-9]+)", data)
    micro = re.search(r"lv2:microVersion ([0-9]+)", data)
    released = minor and micro and int(minor.group(1)) > 0 and int(minor.group(1)) % 2 == 0 \
        and int(micro.group(1)) % 2 == 0
    checks.check(f"{where} LV2 version is a released one (minor even and non-zero, micro even)", bool(released),
                 f"{minor and minor.group(1)}.{micro and micro.group(1)}")
