"""Audacity 3.2 under a virtual display, in a home folder of its own, driven
through its script pipe (mod-script-pipe).

What it takes to start it unattended: the settings file written before the first
start (the version keys keep the welcome dialog away, the module keys switch the
script pipe on), its temporary folder emptied before every start (or a
crash-recovery dialog blocks the pipe), and LV2_PATH naming the only folder its
plug-in scan looks in."""

import base64
import datetime
import json
import os
import re
import select
import shutil
import signal
import subprocess
import time

SCRIPT_PIPE_MODULE = "/usr/lib/audacity/modules/mod-script-pipe.so"


class AudacityError(Exception):
    """Audacity did not do what was asked."""


class Audacity:
    def __init__(self, root, lv2_path):
        self.root = os.path.abspath(root)
        self.home = os.path.join(self.root, "home")
        self.temp = os.path.join(self.root, "audacity-temp")
        self.config_folder = os.path.join(self.home, ".config", "audacity")
        self.lv2_path = lv2_path
        self.process = None
        self.log = None
        uid = os.getuid()
        self.to_pipe_path = f"/tmp/audacity_script_pipe.to.{uid}"
        self.from_pipe_path = f"/tmp/audacity_script_pipe.from.{uid}"
        self.to_pipe = None
        self.from_pipe = None

    #==========================================================================
    def write_settings(self, extra=""):
        os.makedirs(self.config_folder, exist_ok=True)
        module_time = datetime.datetime.fromtimestamp(os.path.getmtime(SCRIPT_PIPE_MODULE))
        with open(os.path.join(self.config_folder, "audacity.cfg"), "w") as f:
            f.write("PrefsVersion=1.1.1r1\n"
                    "[GUI]\nShowSplashScreen=0\n"
                    "[Version]\nMajor=3\nMinor=2\nMicro=4\n"
                    f"[Directories]\nTempDir={self.temp}\n"
                    "[Module]\nmod-script-pipe=1\n"
                    f"[ModulePath]\nmod-script-pipe={SCRIPT_PIPE_MODULE}\n"
                    f"[ModuleDateTime]\nmod-script-pipe={module_time.strftime('%Y-%m-%dT%H:%M:%S')}\n"
                    + extra)

    def environment(self):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("XDG_") and k not in ("LV2_PATH", "VST3_PATH", "LADSPA_PATH")}
        env["HOME"] = self.home
        env["LV2_PATH"] = self.lv2_path
        return env

    def start(self, script_pipe=True, timeout=60):
        """Starts Audacity and waits for its main window; then opens the script
        pipe, unless this is the start that scans new plug-ins: the scan's child
        process makes the pipe anew, and the main process never answers on it."""
        shutil.rmtree(self.temp, ignore_errors=True)
        os.makedirs(self.temp)
        # A pipe left by an Audacity that died would swallow the first command.
        for path in (self.to_pipe_path, self.from_pipe_path):
            if os.path.exists(path):
                os.unlink(path)
        self.log = open(os.path.join(self.root, "audacity.log"), "a")
        self.process = subprocess.Popen(["audacity"], env=self.environment(), cwd=self.root,
                                        stdout=self.log, stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + timeout
        while not (os.path.exists(self.to_pipe_path) and os.path.exists(self.from_pipe_path)):
            if self.process.poll() is not None:
                raise AudacityError(f"Audacity ended before opening its script pipe (exit {self.process.returncode})")
            if time.monotonic() > deadline:
                raise AudacityError("Audacity opened no script pipe")
            time.sleep(0.2)
        # A command sent before the main window stands is dropped unanswered.
        while not self.main_window():
            if self.process.poll() is not None:
                raise AudacityError(f"Audacity ended before showing its window (exit {self.process.returncode})")
            if time.monotonic() > deadline:
                raise AudacityError("Audacity showed no main window")
            time.sleep(0.2)
        if not script_pipe:
            return
        # Opened without blocking, so that an Audacity that never listens fails the
        # test instead of hanging it.
        while self.to_pipe is None:
            try:
                self.to_pipe = os.open(self.to_pipe_path, os.O_WRONLY | os.O_NONBLOCK)
            except OSError:
                if time.monotonic() > deadline:
                    raise AudacityError("Audacity does not read its script pipe")
                time.sleep(0.2)
        self.from_pipe = os.open(self.from_pipe_path, os.O_RDONLY | os.O_NONBLOCK)

    def windows(self, name):
        """The X ids of the visible windows whose title matches the pattern."""
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", name],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        return [int(w) for w in found.stdout.split()]

    def main_window(self):
        windows = self.windows("^Audacity$")
        return windows[0] if windows else None

    def stop(self):
        if self.process is None:
            return
        if self.process.poll() is None:
            try:
                # Quitting through the pipe would ask whether to save the project.
                os.killpg(self.process.pid, signal.SIGTERM)
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
        for pipe in (self.to_pipe, self.from_pipe):
            if pipe is not None:
                os.close(pipe)
        self.to_pipe = self.from_pipe = None
        self.process = None
        # Audacity leaves its pipe behind when it is ended.
        for path in (self.to_pipe_path, self.from_pipe_path):
            if os.path.exists(path):
                os.unlink(path)
        if self.log is not None:
            self.log.close()
            self.log = None

    #==========================================================================
    def command(self, text, timeout=30):
        """Sends one scripting command; returns its reply and whether it succeeded.
        A reply ends with the line "BatchCommand finished: OK" (or "Failed!")."""
        os.write(self.to_pipe, (text + "\n").encode())
        deadline = time.monotonic() + timeout
        reply = b""
        while True:
            lines = reply.decode(errors="replace").split("\n")
            for n, line in enumerate(lines):
                if line.startswith("BatchCommand finished:") and n + 1 < len(lines):
                    return "\n".join(lines[:n]).strip("\n"), line.endswith("OK")
            left = deadline - time.monotonic()
            if left <= 0 or self.process.poll() is not None:
                raise AudacityError(f"no answer to '{text}'")
            readable, _, _ = select.select([self.from_pipe], [], [], left)
            if readable:
                received = os.read(self.from_pipe, 65536)
                if not received:
                    # Audacity has not opened its end for this reply yet.
                    time.sleep(0.02)
                reply += received

    def must(self, text):
        reply, ok = self.command(text)
        if not ok:
            raise AudacityError(f"'{text}' failed: {reply}")
        return reply

    def commands(self):
        """Every command Audacity's scripting knows, by id."""
        reply = self.must("GetInfo: Type=Commands Format=JSON")
        return {entry["id"]: entry for entry in json.loads(reply)}

    #==========================================================================
    def config(self, name):
        """One of Audacity's settings files as {section: {key: value}}."""
        path = os.path.join(self.config_folder, name)
        sections, current = {}, None
        if not os.path.isfile(path):
            return sections
        with open(path) as f:
            for line in f:
                line = line.rstrip("\n")
                if line.startswith("[") and line.endswith("]"):
                    current = sections.setdefault(line[1:-1], {})
                elif "=" in line and current is not None:
                    key, value = line.split("=", 1)
                    current[key] = value
        return sections

    def registry(self):
        return self.config("pluginregistry.cfg")

    def effect_settings(self, uri, section):
        """The parameters Audacity keeps in pluginsettings.cfg for the effect whose
        registry entry has the plug-in URI, in its section SECTION
        ("/private/CurrentSettings" for the settings last applied,
        "/private/UserPresets/<name>" for a user preset); as {name: value}, or
        None. Audacity files an effect's settings under "Effect_<family>_<vendor>_
        <symbol>" of its registry entry, base64-encoded: only the pedal's entry is
        read, whatever other plug-ins name their controls."""
        entry = self.registered(uri)
        if entry is None:
            return None
        wanted = f"Effect_{entry.get('EffectFamily')}_{entry.get('Vendor')}_{entry.get('Symbol')}"
        for name, keys in self.config("pluginsettings.cfg").items():
            match = re.fullmatch(r"pluginsettings/base64:([A-Za-z0-9+/=]+)" + re.escape(section), name.replace("\\", ""))
            if match and base64.b64decode(match.group(1)).decode("utf-8", "replace") == wanted:
                return dict(re.findall(r'(\w+)="([^"]*)"', keys.get("Parameters", "")))
        return None

    def registered(self, uri):
        """The registry's entry whose Path is the plug-in's URI, once the scan wrote it."""
        for section in self.registry().values():
            if section.get("Path") == uri:
                return section
        return None
