#!/usr/bin/env python3
"""The pedal as `cmake --install` lays it out, in a prefix of the test's own.

Installs the build tree (stripped, as a package is) into an empty prefix and
checks the tree: every file and nothing else, executable bits, the bundles'
layouts, the menu entry and its icons. Then hosts use what was installed: the
VST3 module tests load the installed module, Ardour's VST3 scanner and lv2info
read the installed bundles, and the installed brask-render, given no --plugin,
renders through the module installed beside it (HOME points at an empty folder,
so that a copy in ~/.vst3 cannot stand in for it).
"""

import argparse
import os
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # the test leaves the source tree as it found it
from installed_layout import VST3_BUNDLE, check_hosts_find_it, check_render_without_plugin, check_tree  # noqa: E402
from pedal_checks import Abort, run_checks  # noqa: E402


def run_checked(command, **kwargs):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kwargs)
    return result.returncode, result.stdout


def run(args, checks):
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    prefix, home = os.path.join(work, "prefix"), os.path.join(work, "home")
    os.makedirs(home)

    status, output = run_checked(["cmake", "--install", args.build, "--prefix", prefix, "--strip"], timeout=120)
    if not checks.check("cmake --install puts the pedal into the prefix", status == 0, f"exit {status}"):
        print(output)
        raise Abort("nothing was installed")

    check_tree(checks, prefix, stripped=True)

    status, output = run_checked([args.module_tests], env=dict(os.environ, BRASK_VST3=os.path.join(prefix, VST3_BUNDLE)),
                                 timeout=180)
    if not checks.check("the module tests pass on the installed VST3 module", status == 0, f"exit {status}"):
        print(output)

    check_hosts_find_it(checks, prefix, home)

    check_render_without_plugin(checks, prefix, work, home)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True, help="the built tree to install")
    parser.add_argument("--module-tests", required=True, help="the brask_module_tests program")
    parser.add_argument("--work", required=True, help="a scratch folder, emptied first")
    args = parser.parse_args()

    return run_checks("the install test", lambda checks: run(args, checks))


if __name__ == "__main__":
    sys.exit(main())
