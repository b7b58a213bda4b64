#!/usr/bin/env python3
"""Ardour plays the built pedal, headless.

Ardour 7 (Debian's) finds the plug-in, keeps it in a session on two stereo
tracks, restores the pedal's settings from the session file, renders each track
through the pedal, switches the host's bypass, and saves the pedal's state back.
Every render is compared with the pedal's own processor run in-process on the
same audio, with the same saved state, through the same lifecycle: the same
warm-up on silence, the same set-up calls and the block size Ardour renders with.

Runs in a folder of its own with HOME pointing into it, so that the user's
plug-ins, caches and Ardour settings neither help nor harm.
"""

import argparse
import base64
import math
import os
import shutil
import struct
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

sys.dont_write_bytecode = True  # the test leaves the source tree as it found it
from pedal_checks import (CATEGORY, CLASS_ID, DEFAULT_STATE, LV2_URI, SAMPLE_RATE, Abort,  # noqa: E402
                          ardour_vst3_cache_entry, ardour_vst3_scan, framework_base64_decode,
                          framework_base64_encode, host_environment, pedal_state, read_wav, run_checks, write_wav)

SIGNAL_SAMPLES = 72000  # 1.5 s: not a whole number of blocks, so the last one is short

# Ardour 7's timeline counts 282240000 units a second: 5880 for each sample at 48 kHz.
TIMELINE_UNITS_PER_SAMPLE = 5880

# Ardour renders a track by handing its plug-ins the audio in pieces of this size
# (its bounce chunk), whatever the engine's cycle.
ARDOUR_RENDER_BLOCK = 8192

# Before rendering, the engine runs the pedals on silence in short cycles until
# they are past their bias ramp (its first 0.1 s of playing) and the DC blocker
# has settled on the offset the bias leaves.
ENGINE_CYCLE = 64
WARM_UP_CYCLES = 6000

# The same machine code runs in the host and in-process, so the renders agree
# bit for bit when the host does what the test says it does; the margin
# (-120 dBFS) only allows for a host that sums or copies through another path,
# or cuts the audio into other blocks (the pedal sounds the same at any size).
TOLERANCE = 1.0e-6

SESSION_NAME = "brask"

# What the test sets through the session file: knobs away from their defaults,
# one pedal switched on, the other off.
ON_STATE = pedal_state(0.8, 0.3, 0.7, True)
OFF_STATE = pedal_state(0.25, 0.9, 0.4, False)


def test_signal():
    """Two different channels, so that a swap or a lost channel shows: in each a
    low tone for the drive to clip and a high one for the tone control to cut."""
    left, right = [], []
    for i in range(SIGNAL_SAMPLES):
        t = i / SAMPLE_RATE
        left.append(0.25 * math.sin(2 * math.pi * 220 * t) + 0.1 * math.sin(2 * math.pi * 3100 * t))
        right.append(0.2 * math.sin(2 * math.pi * 330 * t + 0.5) + 0.05 * math.sin(2 * math.pi * 7000 * t))
    return left, right


def max_difference(a, b):
    if len(a) != len(b):
        return math.inf
    return max((abs(x - y) for x, y in zip(a, b)), default=0.0)


#==============================================================================
class Workspace:
    def __init__(self, root):
        self.root = os.path.abspath(root)
        shutil.rmtree(self.root, ignore_errors=True)
        self.home = os.path.join(self.root, "home")
        self.session = os.path.join(self.root, "session")
        os.makedirs(self.home)

    def environment(self, **extra):
        return host_environment(self.home, **extra)

    @property
    def session_file(self):
        return os.path.join(self.session, SESSION_NAME + ".ardour")

    @property
    def audio_folder(self):
        # Ardour names the interchange folder after the session's folder, not its name.
        return os.path.join(self.session, "interchange", os.path.basename(self.session), "audiofiles")


def run_ardour_lua(workspace, script, marker, **settings):
    env = workspace.environment(BRASK_SESSION_DIR=workspace.session, BRASK_SESSION_NAME=SESSION_NAME,
                                **{k: str(v) for k, v in settings.items()})
    started = time.monotonic()
    result = subprocess.run(["ardour7-lua", script], env=env, cwd=workspace.root,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
    print(f"--- ardour7-lua {os.path.basename(script)} ({time.monotonic() - started:.1f} s)")
    for line in result.stdout.splitlines():
        if line.strip():
            print("    " + line)
    if result.returncode != 0 or marker not in result.stdout.splitlines():
        raise Abort(f"{os.path.basename(script)} did not finish (exit {result.returncode})")
    return result.stdout


#==============================================================================
# The signal goes into the session as Ardour 7.3 keeps imported audio: one mono
# file per channel in the interchange folder, a Source for each, a whole-file
# Region, and a Region on each track's playlist. Fades are switched off so that
# the first and last samples reach the pedal unchanged.
def put_signal_on_tracks(root, workspace, track_names, left, right):
    os.makedirs(workspace.audio_folder, exist_ok=True)
    files = ("signal%L.wav", "signal%R.wav")
    write_wav(os.path.join(workspace.audio_folder, files[0]), left)
    write_wav(os.path.join(workspace.audio_folder, files[1]), right)

    # New objects take IDs above the session's counter, which then moves past them.
    next_id = int(root.get("id-counter"))

    def new_id():
        nonlocal next_id
        next_id += 1
        return str(next_id)

    sources = root.find("Sources")
    source_ids = []
    for name in files:
        source_ids.append(new_id())
        ET.SubElement(sources, "Source", {
            "name": name, "type": "audio", "flags": "", "id": source_ids[-1], "natural-position": "a0",
            "channel": "0", "origin": "", "gain": "1", "take-id": "", "captured-for": ""})

    length = f"a{len(left) * TIMELINE_UNITS_PER_SAMPLE}@a0"

    def region(whole_file):
        attributes = {
            "name": "signal", "muted": "0", "opaque": "1", "locked": "0", "video-locked": "0",
            "automatic": "0", "whole-file": "1" if whole_file else "0", "import": "1", "external": "0",
            "sync-marked": "0", "left-of-split": "0", "right-of-split": "0", "hidden": "0",
            "position-locked": "0", "valid-transients": "0", "start": "a0", "length": length,
            "sync-position": "a0", "ancestral-start": "a0", "ancestral-length": "a0@a0", "stretch": "1",
            "shift": "1", "layering-index": "0", "tags": "", "contents": "0", "envelope-active": "0",
            "default-fade-in": "0", "default-fade-out": "0", "fade-in-active": "0", "fade-out-active": "0",
            "scale-amplitude": "1", "id": new_id(), "type": "audio", "first-edit": "nothing",
            "channels": "2"}
        for channel, source_id in enumerate(source_ids):
            attributes[f"source-{channel}"] = source_id
            attributes[f"master-source-{channel}"] = source_id
        return attributes

    ET.SubElement(root.find("Regions"), "Region", region(whole_file=True))

    playlists = {playlist.get("id"): playlist for playlist in root.find("Playlists")}
    for route in root.iter("Route"):
        if route.get("name") in track_names:
            ET.SubElement(playlists[route.get("audio-playlist")], "Region", region(whole_file=False))

    root.set("id-counter", str(next_id + 1))


def load_session(workspace):
    return ET.parse(workspace.session_file)


def save_session(tree, workspace):
    tree.write(workspace.session_file, encoding="UTF-8", xml_declaration=True)


#==============================================================================
# The pedal's state as Ardour keeps it.
class Vst3Pedal:
    """In the session file, a base64 .vstpreset blob in <vst3><chunk>: a 48-byte
    header (magic "VST3", version, class ID as text, offset of the chunk list),
    the component state (our 16 bytes, then the framework's trailer holding its
    bypass), the controller state, and the chunk list saying where each lies."""

    plugin_type = "VST3"
    plugin_name = os.environ["BRASK_PRODUCT_NAME"]     # as CMakeLists.txt names it, handed over by ctest
    bypass_by = "parameter"
    # For the render Ardour sets up the plug-in again at the bounce chunk size.
    prepares_again_for_render = True

    def __init__(self, workspace):
        self.workspace = workspace

    def install(self, bundle, checks):
        """Ardour finds VST3 modules only in ~/.vst3, /usr/local/lib/vst3 and
        /usr/lib/vst3, and only through the scanner's cache."""
        installed = os.path.join(self.workspace.home, ".vst3", os.path.basename(bundle))
        shutil.copytree(bundle, installed)
        module = os.path.join(installed, "Contents", "x86_64-linux",
                              os.path.splitext(os.path.basename(bundle))[0] + ".so")

        # Ardour trusts a cache entry only when it is newer than the module, and the
        # scanner dates its entry with the module's own time: age the module first,
        # freshen the entry after.
        past = time.time() - 120
        for folder, _, names in os.walk(installed):
            for name in names:
                os.utime(os.path.join(folder, name), (past, past))

        found, scanner_output = ardour_vst3_scan(installed, self.workspace.home)
        cache = ardour_vst3_cache_entry(module, self.workspace.home)
        if not checks.check("the VST3 scanner writes a cache entry for the module", bool(found)):
            print(scanner_output)
            raise Abort("Ardour cannot see the pedal without the scanner's entry")

        checks.check("the scanner reads the pedal's class ID", found.get("uid") == CLASS_ID,
                     f"uid {found.get('uid')}")
        checks.check("the scanner reads the category " + CATEGORY, found.get("category") == CATEGORY,
                     f"category {found.get('category')}")
        checks.check("the scanner reads a stereo effect without MIDI",
                     (found.get("n_inputs"), found.get("n_outputs"), found.get("n_midi_inputs"),
                      found.get("n_midi_outputs")) == ("2", "2", "0", "0"))

        now = time.time()
        os.utime(cache, (now, now))

    @staticmethod
    def _chunk(root, track_name):
        for route in root.iter("Route"):
            if route.get("name") == track_name:
                chunk = route.find("Processor[@type='vst3']/vst3/chunk")
                if chunk is not None:
                    return chunk
        raise Abort(f"no VST3 pedal state on track '{track_name}'")

    @staticmethod
    def _component(preset):
        if preset[:4] != b"VST3":
            raise Abort("the pedal's state in the session is not a .vstpreset blob")
        list_offset = struct.unpack("<q", preset[40:48])[0]
        if preset[list_offset:list_offset + 4] != b"List":
            raise Abort("the .vstpreset blob has no chunk list")
        count = struct.unpack("<i", preset[list_offset + 4:list_offset + 8])[0]
        for n in range(count):
            entry = preset[list_offset + 8 + 20 * n:list_offset + 28 + 20 * n]
            offset, size = struct.unpack("<qq", entry[4:])
            if entry[:4] == b"Comp" and size >= 16:
                return offset
        raise Abort("the .vstpreset blob holds no component state of 16 bytes or more")

    def identity(self, root, track_name):
        return base64.b64decode(self._chunk(root, track_name).text)[8:40].decode("ascii")

    def read_state(self, root, track_name):
        preset = base64.b64decode(self._chunk(root, track_name).text)
        offset = self._component(preset)
        return preset[offset:offset + 16]

    def write_state(self, root, track_name, state):
        chunk = self._chunk(root, track_name)
        preset = bytearray(base64.b64decode(chunk.text))
        offset = self._component(preset)
        preset[offset:offset + 16] = state
        chunk.text = base64.b64encode(bytes(preset)).decode("ascii")

    def bypass_saved(self, root, track_name):
        for route in root.iter("Route"):
            if route.get("name") == track_name:
                control = route.find("Processor[@type='vst3']/Controllable[@name='Bypass']")
                return control is not None and float(control.get("value")) >= 0.5
        return False


class Lv2Pedal:
    """Ardour keeps an LV2 plug-in's state beside the session file, in
    plugins/<processor id>/<state dir>/state.ttl; the framework's LV2 wrapper
    stores the pedal's bytes there as one string property, in the framework's own
    base64."""

    plugin_type = "LV2"
    plugin_name = LV2_URI
    bypass_by = "enable"
    # An LV2 plug-in is set up once, when it is made; the render uses the same setup.
    prepares_again_for_render = False

    PROPERTY = "<" + LV2_URI + ':StateString> "'

    def __init__(self, workspace):
        self.workspace = workspace

    def install(self, bundle, checks):
        """Ardour finds LV2 bundles through lilv in ~/.lv2, /usr/local/lib/lv2 and
        /usr/lib/lv2; no scan is needed."""
        shutil.copytree(bundle, os.path.join(self.workspace.home, ".lv2", os.path.basename(bundle)))

    def _processor(self, root, track_name):
        for route in root.iter("Route"):
            if route.get("name") == track_name:
                processor = route.find("Processor[@type='lv2']")
                if processor is not None:
                    return processor
        raise Abort(f"no LV2 pedal on track '{track_name}'")

    def _state_file(self, root, track_name):
        processor = self._processor(root, track_name)
        state_dir = processor.find("lv2").get("state-dir")
        return os.path.join(self.workspace.session, "plugins", processor.get("id"), state_dir, "state.ttl")

    def identity(self, root, track_name):
        return self._processor(root, track_name).get("unique-id")

    def _read_text(self, root, track_name):
        with open(self._state_file(root, track_name)) as f:
            text = f.read()
        start = text.find(self.PROPERTY)
        if start < 0:
            raise Abort("the pedal's saved LV2 state holds no state string")
        start += len(self.PROPERTY)
        return text, start, text.index('"', start)

    def read_state(self, root, track_name):
        text, start, end = self._read_text(root, track_name)
        return framework_base64_decode(text[start:end])

    def write_state(self, root, track_name, state):
        text, start, end = self._read_text(root, track_name)
        with open(self._state_file(root, track_name), "w") as f:
            f.write(text[:start] + framework_base64_encode(state) + text[end:])

    def set_setting_port(self, root, track_name, symbol, value):
        """One of the pedal's setting ports as the session keeps it: the port's
        value and its control's."""
        processor = self._processor(root, track_name)
        for element in (processor.find(f"lv2/Port[@symbol='{symbol}']"),
                        processor.find(f"Controllable[@symbol='{symbol}']")):
            if element is None:
                raise Abort(f"the session keeps no setting port '{symbol}'")
            element.set("value", repr(value))

    def bypass_saved(self, root, track_name):
        port = self._processor(root, track_name).find("lv2/Port[@symbol='enabled']")
        return port is not None and float(port.get("value")) < 0.5


#==============================================================================
def reference_render(args, workspace, pedal, state, left_file, right_file, tag):
    out = [os.path.join(workspace.root, f"reference-{tag}-{side}.wav") for side in "LR"]
    command = [args.reference, "render", "--state", state.hex(),
               "--warm-up", str(WARM_UP_CYCLES), "--cycle", str(ENGINE_CYCLE),
               "--block", str(ARDOUR_RENDER_BLOCK), left_file, right_file, *out]
    if pedal.prepares_again_for_render:
        command.insert(2, "--prepare-again")
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=60)
    if result.returncode != 0:
        raise Abort("the in-process reference failed: " + result.stdout)
    return read_wav(out[0]), read_wav(out[1])


def rendered(workspace, name):
    paths = [os.path.join(workspace.audio_folder, f"{name}%{side}.wav") for side in "LR"]
    for path in paths:
        if not os.path.isfile(path):
            raise Abort(f"Ardour left no render {os.path.basename(path)}")
    return read_wav(paths[0]), read_wav(paths[1])


def difference(a, b):
    return max(max_difference(a[0], b[0]), max_difference(a[1], b[1]))


def same_sound(checks, name, got, expected, tolerance=TOLERANCE):
    d = difference(got, expected)
    return checks.check(name, d <= tolerance, f"max difference {d:.3g}, tolerance {tolerance:g}")


#==============================================================================
def run(args, checks):
    workspace = Workspace(args.work)
    pedal = (Vst3Pedal if args.format == "vst3" else Lv2Pedal)(workspace)
    here = os.path.dirname(os.path.abspath(__file__))
    tracks = ("Pedal on", "Pedal off")

    pedal.install(args.plugin, checks)

    run_ardour_lua(workspace, os.path.join(here, "session_create.lua"), "created",
                   BRASK_PLUGIN_NAME=pedal.plugin_name, BRASK_PLUGIN_TYPE=pedal.plugin_type)

    tree = load_session(workspace)
    root = tree.getroot()
    expected_identity = CLASS_ID if args.format == "vst3" else LV2_URI
    checks.check("the session names the pedal by its identity",
                 pedal.identity(root, tracks[0]) == expected_identity, pedal.identity(root, tracks[0]))
    saved = pedal.read_state(root, tracks[0])
    checks.check("a new pedal saves the default state in the session", saved == DEFAULT_STATE, saved.hex())

    # The knobs and the footswitch are set the way a project carries them: in the saved state.
    left, right = test_signal()
    put_signal_on_tracks(root, workspace, tracks, left, right)
    save_session(tree, workspace)
    pedal.write_state(root, "Pedal on", ON_STATE)
    pedal.write_state(root, "Pedal off", OFF_STATE)
    if args.format == "lv2":
        # A setting port that went stale (a preset holding only the state, loaded
        # with the pedal's window closed) is saved beside the state: the state is
        # what the pedal plays. "Pedal off" keeps its ports at their defaults, as
        # every session saved before the ports existed does.
        pedal.set_setting_port(root, "Pedal on", "drive", 0.2)
    save_session(tree, workspace)

    output = run_ardour_lua(workspace, os.path.join(here, "session_render.lua"), "rendered all",
                            BRASK_RENDER_SAMPLES=SIGNAL_SAMPLES, BRASK_CYCLE_SIZE=ENGINE_CYCLE,
                            BRASK_WARM_UP_CYCLES=WARM_UP_CYCLES, BRASK_BYPASS_BY=pedal.bypass_by)

    # The pedal's settings are its own, not automation: the LV2's setting ports
    # (marked notAutomatic) get no lane; the host's bypass does.
    automatable = [line.split(": ", 1)[1] for line in output.splitlines() if line.startswith("automatable: ")]
    checks.check("Ardour offers the host's bypass as automation, and none of the pedal's settings",
                 bool(automatable) and not {"Drive", "Tone", "Level", "Effect On"} & set(automatable),
                 ", ".join(automatable))

    signal_files = [os.path.join(workspace.audio_folder, f"signal%{side}.wav") for side in "LR"]
    dry = (read_wav(signal_files[0]), read_wav(signal_files[1]))
    render_on = rendered(workspace, "render-on")

    same_sound(checks, "Ardour's render of the restored pedal equals the in-process pedal",
               render_on, reference_render(args, workspace, pedal, ON_STATE, *signal_files, "on"))
    # Guards for the check above: the pedal really played, with the restored knobs.
    checks.check("the restored pedal changes the sound", difference(render_on, dry) > 0.1,
                 f"max difference from the dry signal {difference(render_on, dry):.3g}")
    default_render = reference_render(args, workspace, pedal, DEFAULT_STATE, *signal_files, "default")
    checks.check("the restored knobs, not the defaults, shape the sound",
                 difference(render_on, default_render) > 0.01,
                 f"max difference from the default knobs {difference(render_on, default_render):.3g}")

    render_off = rendered(workspace, "render-off")
    same_sound(checks, "a pedal restored with its footswitch off passes the audio untouched", render_off, dry, 0.0)

    render_bypassed = rendered(workspace, "render-bypassed")
    same_sound(checks, f"the host's bypass ({pedal.bypass_by}) passes the audio untouched", render_bypassed, dry, 0.0)

    tree = load_session(workspace)
    for name, state in (("Pedal on", ON_STATE), ("Pedal off", OFF_STATE)):
        saved = pedal.read_state(tree.getroot(), name)
        checks.check(f"'{name}' saves back the 16 bytes it was restored from", saved == state, saved.hex())
    checks.check("the session keeps the host's bypass", pedal.bypass_saved(tree.getroot(), "Pedal on"))

    run_ardour_lua(workspace, os.path.join(here, "session_reopen.lua"), "reopened")
    tree = load_session(workspace)
    for name, state in (("Pedal on", ON_STATE), ("Pedal off", OFF_STATE)):
        saved = pedal.read_state(tree.getroot(), name)
        checks.check(f"'{name}' keeps its 16 bytes through another reload and save", saved == state, saved.hex())
    checks.check("the host's bypass survives a reload", pedal.bypass_saved(tree.getroot(), "Pedal on"))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--format", choices=("vst3", "lv2"), required=True)
    parser.add_argument("--plugin", required=True, help="the built .vst3 or .lv2 bundle")
    parser.add_argument("--reference", required=True, help="the brask_reference program")
    parser.add_argument("--work", required=True, help="a scratch folder, emptied first")
    args = parser.parse_args()

    return run_checks("the session round trip", lambda checks: run(args, checks))


if __name__ == "__main__":
    sys.exit(main())
