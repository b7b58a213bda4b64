#!/usr/bin/env python3
"""The Windows installer, run as a user's administrator would run it silently,
under Wine: it puts the VST3 bundle in %CommonProgramFiles%\\VST3, the Standalone
in %ProgramFiles%\\Quillon Audio\\Brask Overdrive with a Start-menu entry (a
per-machine one on Windows; Wine files it under the user's Programs), each
file the same bytes as built; its uninstaller removes all of it. The zip holds
the same files.

    installer_test.py PACKAGE_FOLDER WINEPREFIX WINE..."""
import glob
import os
import subprocess
import sys
import zipfile

failed = False


def check(ok, what, detail=""):
    global failed
    print(("PASS  " if ok else "FAIL  ") + what + (f" ({detail})" if detail and not ok else ""))
    failed = failed or not ok


# This machine's own desktop menu, where Wine's menu builder would copy a Windows
# Start-menu entry, its folder and its icons (scripts/win64-wine switches it off).
HOST_MENU = [os.path.expanduser(folder) for folder in (
    "~/.local/share/applications", "~/.local/share/desktop-directories", "~/.local/share/icons",
    "~/.local/share/mime", "~/.config/menus")]


def host_menu():
    found = []
    for top in HOST_MENU:
        for folder, subfolders, names in os.walk(top):
            found += [os.path.join(folder, name) for name in subfolders + names]
        if os.path.exists(top):
            found.append(top)
    return sorted(found)


def msi_table(msi, table):
    """A table of the package as msitools reads it: each row's first column to the rest."""
    text = subprocess.run(["msiinfo", "export", msi, table], check=True, capture_output=True, text=True,
                          timeout=60).stdout
    rows = [line.split("\t") for line in text.splitlines()[3:]]  # after the names, the types and the key
    return {row[0]: row[1] if table == "Property" else row[1:] for row in rows if row}


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def main():
    package, prefix, *wine = sys.argv[1:]
    msi = glob.glob(os.path.join(package, "*.msi"))
    archive = glob.glob(os.path.join(package, "*.zip"))
    if len(msi) != 1 or len(archive) != 1:
        print(f"FAIL  one installer and one zip in {package}: {msi} {archive}")
        return 1
    msi, archive = msi[0], archive[0]
    artefacts = os.path.join(package, "..", "BraskOverdrive_artefacts", "Release")
    bundle = os.path.join(artefacts, "VST3", "Brask Overdrive.vst3")
    program = os.path.join(artefacts, "Standalone", "Brask Overdrive.exe")
    # Every file of the bundle as built: the module and the folder's icon files.
    bundle_files = sorted(os.path.relpath(os.path.join(folder, name), bundle)
                          for folder, _, names in os.walk(bundle) for name in names)

    drive = os.path.join(prefix, "drive_c")
    installed = {os.path.join(drive, "Program Files", "Common Files", "VST3", "Brask Overdrive.vst3", name):
                 os.path.join(bundle, name) for name in bundle_files}
    installed[os.path.join(drive, "Program Files", "Quillon Audio", "Brask Overdrive", "Brask Overdrive.exe")] = program

    # The Start-menu entry goes into ProgramMenuFolder, and the package asks for a
    # per-machine install (ALLUSERS=1), for which Windows Installer takes the
    # common Programs folder. Wine 8.0's msi does not: it sets ProgramMenuFolder
    # to the installing user's Programs folder whatever ALLUSERS says (a FIXME in
    # its dlls/msi/package.c). So the package is checked for what Windows reads,
    # and the entry is expected where Wine puts it, and nowhere else.
    properties = msi_table(msi, "Property")
    check(properties.get("ALLUSERS") == "1", "the installer asks for a per-machine install (ALLUSERS=1)",
          f"ALLUSERS is {properties.get('ALLUSERS')!r}")
    shortcuts = msi_table(msi, "Shortcut")
    directories = msi_table(msi, "Directory")
    menu_folder = shortcuts.get("MenuShortcut", [None])[0]
    check(directories.get(menu_folder, [None])[0] == "ProgramMenuFolder",
          "the Start-menu entry is in a folder of its own in ProgramMenuFolder",
          f"the shortcut's folder {menu_folder!r} lies in {directories.get(menu_folder, [None])[0]!r}")
    common_programs = os.path.join(drive, "ProgramData", "Microsoft", "Windows", "Start Menu", "Programs")
    users_programs = glob.glob(os.path.join(drive, "users", "*", "AppData", "Roaming", "Microsoft", "Windows",
                                            "Start Menu", "Programs"))
    if len(users_programs) != 1:
        print(f"FAIL  one user's Programs folder in the Wine prefix: {users_programs}")
        return 1
    menu_entry = os.path.join(users_programs[0], "Brask Overdrive", "Brask Overdrive.lnk")
    misplaced_entry = os.path.join(common_programs, "Brask Overdrive", "Brask Overdrive.lnk")
    menu_entries = [menu_entry, misplaced_entry]
    folders = [os.path.join(drive, "Program Files", "Common Files", "VST3", "Brask Overdrive.vst3"),
               os.path.join(drive, "Program Files", "Quillon Audio"),
               *[os.path.dirname(entry) for entry in menu_entries]]

    for path in list(installed) + menu_entries + folders:
        if os.path.exists(path):
            print(f"FAIL  {path} is there before the installer ran (a previous run left it)")
            return 1

    def run(what, *arguments):
        result = subprocess.run([*wine, "msiexec", *arguments], timeout=400)
        # msiexec returns before Wine's other processes have finished with the files.
        subprocess.run(["/usr/lib/wine/wineserver", "-w"], env=dict(os.environ, WINEPREFIX=os.path.abspath(prefix)), timeout=120)
        check(result.returncode == 0, what, f"exit status {result.returncode}"
              + (": TIMED OUT" if result.returncode == 124 else ""))

    menu_before = host_menu()
    run("the installer runs silently", "/i", windows_path(msi), "/qn")
    check(host_menu() == menu_before, "the installer leaves this machine's own desktop menu as it was",
          "new: " + ", ".join(sorted(set(host_menu()) - set(menu_before))))
    for path, source in installed.items():
        same = os.path.isfile(path) and open(path, "rb").read() == open(source, "rb").read()
        check(same, f"the installer put {os.path.relpath(path, drive)}, as built")
    made = [os.path.relpath(entry, drive) for entry in menu_entries if os.path.isfile(entry)]
    check(made == [os.path.relpath(menu_entry, drive)],
          f"the installer made the Start-menu entry {os.path.relpath(menu_entry, drive)}, and no other",
          "made: " + (", ".join(made) or "none"))

    run("the uninstaller runs silently", "/x", windows_path(msi), "/qn")
    left = [os.path.relpath(p, drive) for p in list(installed) + menu_entries + folders if os.path.exists(p)]
    check(not left, "the uninstaller removed every file and folder the installer made", "left: " + ", ".join(left))
    check(host_menu() == menu_before, "the uninstaller leaves this machine's own desktop menu as it was",
          "changed: " + ", ".join(sorted(set(host_menu()) ^ set(menu_before))))

    with zipfile.ZipFile(archive) as z:
        names = sorted(n for n in z.namelist() if not n.endswith("/"))
        print(f"      {os.path.basename(archive)}: {', '.join(names)}")
        root = names[0].split("/")[0] if names else ""
        expected = {f"{root}/Brask Overdrive.vst3/{name}": os.path.join(bundle, name) for name in bundle_files}
        expected[f"{root}/Brask Overdrive.exe"] = program
        check(set(names) == set(expected), "the zip holds the bundle and the Standalone as built, nothing else",
              ", ".join(names))
        for name, source in expected.items():
            if name in names:
                check(z.read(name) == open(source, "rb").read(), f"the zip's {name} is the one built")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
