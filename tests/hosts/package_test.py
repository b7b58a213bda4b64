#!/usr/bin/env python3
"""The Debian package, built from the build tree, installed and removed again.

Builds the .deb with CPack, reads its control fields and file list with
dpkg-deb, runs lintian on it (an error or a binary not hardened fails the test;
everything lintian says is printed), installs it with dpkg, checks the tree under /usr, lets Ardour's
VST3 scanner read /usr/lib/vst3 and lv2info read /usr/lib/lv2, runs the
installed brask-render without --plugin, removes the package and checks that
nothing of it is left.

It changes /usr, so it runs only as root and only when BRASK_TEST_PACKAGE=1
(scripts/test sets it); otherwise, or when a brask-overdrive package is already
installed (the user's own, which the test must not take away), it says why and
exits with 77, which ctest reports as skipped.
"""

import argparse
import glob
import os
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # the test leaves the source tree as it found it
from installed_layout import FILES, check_hosts_find_it, check_render_without_plugin, check_tree  # noqa: E402
from pedal_checks import Abort, run_checks  # noqa: E402

PACKAGE = "brask-overdrive"
SKIPPED = 77

CONTROL = {
    "Package": PACKAGE,
    "Version": "1.0.0",
    "Architecture": "amd64",
    "Section": "sound",
    "Maintainer": "Quillon Audio <support@quillonaudio.example>",
}

# Libraries the programs and modules link and dpkg-shlibdeps must turn into Depends.
DEPENDED_ON = ("libc6", "libstdc++6", "libasound2", "libfreetype6")


def output_of(command, **kwargs):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kwargs)
    return result.returncode, result.stdout


def installed_version():
    status, output = output_of(["dpkg-query", "-W", "-f=${Status}", PACKAGE])
    return status == 0 and "install ok installed" in output


def build_package(args, checks):
    folder = os.path.join(args.build, "package")
    for old in glob.glob(os.path.join(folder, "*.deb")):
        os.remove(old)
    status, output = output_of(["cpack", "-G", "DEB", "--config", os.path.join(args.build, "CPackConfig.cmake")],
                               cwd=args.build, timeout=300)
    debs = glob.glob(os.path.join(folder, "*.deb"))
    if not checks.check("cpack writes one .deb", status == 0 and len(debs) == 1, f"exit {status}, {debs}"):
        print(output)
        raise Abort("no package to test")
    deb = debs[0]
    checks.check("the package is named as Debian names it", os.path.basename(deb) == f"{PACKAGE}_1.0.0_amd64.deb",
                 os.path.basename(deb))
    print(f"package: {deb}, {os.path.getsize(deb)} bytes")
    return deb


def check_control(checks, deb):
    _, fields = output_of(["dpkg-deb", "-f", deb])
    print(fields)
    control = {}
    for line in fields.splitlines():
        if line and not line.startswith(" ") and ":" in line:
            name, value = line.split(":", 1)
            control[name] = value.strip()
    for name, expected in CONTROL.items():
        checks.check(f"control field {name} is '{expected}'", control.get(name) == expected, control.get(name, ""))
    depends = [d.strip().split(" ")[0] for d in control.get("Depends", "").split(",")]
    missing = [lib for lib in DEPENDED_ON if lib not in depends]
    checks.check("Depends names the shared libraries the binaries link", not missing,
                 f"Depends: {control.get('Depends')}")
    checks.check("the package has a description", len(control.get("Description", "")) > 20)


def check_file_list(checks, deb):
    _, listing = output_of(["dpkg-deb", "-c", deb])
    # "-rwxr-xr-x root/root 12345 2026-12-10 12:00 ./usr/bin/brask-render"
    entries = {}
    for line in listing.splitlines():
        parts = line.split(None, 5)
        if len(parts) == 6:
            entries[parts[5].split(" -> ")[0]] = (parts[0], parts[1])
    files = {path[len("./usr/"):] for path, (mode, _) in entries.items() if mode.startswith("-")}
    checks.check("the package holds exactly the install's files, under /usr", files == FILES,
                 f"missing {sorted(FILES - files)}, extra {sorted(files - FILES)}")
    outside = [path for path in entries if not (path == "./" or path.startswith("./usr/") or path == "./usr/")]
    checks.check("nothing in the package lies outside /usr", not outside, str(outside))
    owners = {owner for _, owner in entries.values()}
    checks.check("every file in the package belongs to root", owners == {"root/root"}, str(owners))
    return sorted("/" + path[2:].rstrip("/") for path in entries if path not in ("./", "./usr/"))


def run_lintian(checks, deb):
    _, report = output_of(["lintian", "--tag-display-limit", "0", "--display-info", deb], timeout=300)
    print("lintian:\n" + (report.strip() or "(nothing to report)"))
    errors = [line for line in report.splitlines() if line.startswith("E:")]
    checks.check("lintian reports no error", not errors, f"{len(errors)} errors")
    # Every binary is hardened as Debian's own are (lintian says so in information tags).
    unhardened = [line for line in report.splitlines() if " hardening-" in line]
    checks.check("lintian finds every binary hardened", not unhardened, "; ".join(unhardened))


def check_installed(checks, work):
    check_tree(checks, "/usr", stripped=True, alone=False)
    check_hosts_find_it(checks, "/usr", os.path.join(work, "home"))
    check_render_without_plugin(checks, "/usr", work, os.path.join(work, "home"))


def run(args, checks, work):
    deb = build_package(args, checks)
    check_control(checks, deb)
    package_paths = check_file_list(checks, deb)
    run_lintian(checks, deb)

    # Folders the package brings that the system did not have: they must go with it.
    new_paths = [path for path in package_paths if not os.path.lexists(path)]

    status, output = output_of(["dpkg", "-i", deb], timeout=300)
    try:
        if not checks.check("dpkg installs the package", status == 0 and installed_version(), f"exit {status}"):
            print(output)
            raise Abort("the package did not install")
        check_installed(checks, work)
    finally:
        status, output = output_of(["dpkg", "--purge", PACKAGE], timeout=300)
        if not checks.check("dpkg removes the package", status == 0 and not installed_version(), f"exit {status}"):
            print(output)

    left = [path for path in ["/usr/" + name for name in sorted(FILES)] + new_paths if os.path.lexists(path)]
    checks.check("nothing of the package is left", not left, str(left))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True, help="the built tree to package")
    parser.add_argument("--work", required=True, help="a scratch folder, emptied first")
    args = parser.parse_args()

    if os.geteuid() != 0 or os.environ.get("BRASK_TEST_PACKAGE") != "1":
        print("skipped: installs a package into /usr; runs as root with BRASK_TEST_PACKAGE=1 (scripts/test sets it)")
        return SKIPPED
    if installed_version():
        print(f"skipped: a {PACKAGE} package is already installed, and this test would remove it")
        return SKIPPED

    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "home"))

    return run_checks("the package test", lambda checks: run(args, checks, work))


if __name__ == "__main__":
    sys.exit(main())
