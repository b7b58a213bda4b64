#!/usr/bin/env bash
# The checks of the arm64 tree, one per ctest test (tests/arm64/CMakeLists.txt).
# Exit 77 tells ctest the check was skipped: what it needs is not on this machine.
#
#   arm64_checks.sh binaries FILE...
#   arm64_checks.sh package BUILD_DIR
#   arm64_checks.sh unit CPU UNIT_TESTS [GTEST_ARGS...]
#   arm64_checks.sh render X86_BUILD_DIR ARM64_RENDER ARM64_VST3
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

skip() { echo "SKIPPED: $*"; exit 77; }

case "$1" in
binaries)
    shift
    failed=0
    for binary in "$@"; do
        description=$(file -b "$binary" 2>&1)
        echo "file: $binary: $description"
        case "$description" in
            *"ARM aarch64"*) echo "PASS  $(basename "$binary") is an ARM aarch64 program" ;;
            *)               echo "FAIL  $(basename "$binary") is an ARM aarch64 program"; failed=1 ;;
        esac
    done
    exit $failed ;;

package)
    build=$2
    rm -rf "$build/package"
    (cd "$build" && cpack -G DEB >/dev/null)
    deb=$(ls "$build"/package/brask-overdrive_*_arm64.deb)
    lintian --fail-on error,warning "$deb"
    architecture=$(dpkg-deb -f "$deb" Architecture)
    depends=$(dpkg-deb -f "$deb" Depends)
    echo "package: $deb, $(stat -c %s "$deb") bytes; Depends: $depends"
    [ "$architecture" = arm64 ] || { echo "FAIL  the package's architecture is arm64 (not $architecture)"; exit 1; }
    # Every library the packaged programs need comes from a package the Depends name.
    unpacked=$(mktemp -d)
    trap 'rm -rf "$unpacked"' EXIT
    dpkg-deb -x "$deb" "$unpacked"
    failed=0
    while IFS= read -r -d '' elf; do
        for library in $(aarch64-linux-gnu-readelf -d "$elf" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
            owner=$( { dpkg -S "/usr/lib/aarch64-linux-gnu/$library" "/lib/aarch64-linux-gnu/$library" "/lib/$library" \
                       2>/dev/null || true; } | head -1 | cut -d: -f1)
            if [ -z "$owner" ] || ! sed 's/ ([^)]*)//g; s/, /\n/g' <<<"$depends" | grep -qxF "$owner"; then
                echo "FAIL  $(basename "$elf") needs $library, which the Depends do not bring (from ${owner:-no package})"
                failed=1
            fi
        done
    done < <(find "$unpacked" -type f \( -name '*.so' -o -path '*/bin/*' \) -print0)
    [ $failed -eq 0 ] && echo "PASS  an arm64 package lintian accepts, whose Depends bring every library it needs"
    exit $failed ;;

unit)
    cpu=$2 unit=$3
    shift 3
    command -v qemu-aarch64 >/dev/null || skip "no qemu-aarch64 (scripts/setup --arm64 installs it)"
    echo "unit tests under qemu-aarch64 -cpu $cpu $*"
    exec env -u DISPLAY qemu-aarch64 -cpu "$cpu" "$unit" --gtest_brief=1 "$@" ;;

render)
    x86_build=$2 arm64_render=$3 arm64_vst3=$4
    command -v qemu-aarch64 >/dev/null || skip "no qemu-aarch64 (scripts/setup --arm64 installs it)"
    x86_render="$x86_build/tools/brask-render"
    x86_vst3=$(ls -d "$x86_build"/BraskOverdrive_artefacts/Release/VST3/*.vst3 2>/dev/null | head -1)
    [ -x "$x86_render" ] && [ -n "$x86_vst3" ] \
        || skip "the x86-64 tree $x86_build has no brask-render and VST3 to compare with (build the release tree first)"
    exec python3 "$here/render_matches_x86.py" "$x86_render" "$x86_vst3" "$arm64_render" "$arm64_vst3" \
         qemu-aarch64 -cpu cortex-a72 ;;

*)
    echo "usage: $0 binaries|package|unit|render ..." >&2
    exit 2 ;;
esac
