#!/usr/bin/env bash
# One conformance tool on the built VST3; exit 77 (skipped) where the tools are missing.
#
#   conformance.sh pluginval|vst3-validator TOOLS_FOLDER VST3_BUNDLE
# Their settings and logs go into a scratch HOME, so the user's stay as they are.
set -euo pipefail
tool=$1 vst3=$3
tools=${BRASK_CONFORMANCE_TOOLS:-$2}

if [ ! -x "$tools/pluginval" ] || [ ! -x "$tools/vst3-validator" ]; then
    echo "SKIPPED: pluginval and vst3-validator not found in $tools"
    exit 77
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
case "$tool" in
pluginval)
    echo "pluginval (strictness 10, editor under Xvfb) on $vst3"
    HOME=$scratch xvfb-run -a -s "-screen 0 1280x1024x24" "$tools/pluginval" --strictness-level 10 \
        --vst3validator "$tools/vst3-validator" --validate "$vst3" >"$scratch/pluginval.log" 2>&1 \
        || { cat "$scratch/pluginval.log"; echo "pluginval FAILED"; exit 1; }
    echo "pluginval passed" ;;
vst3-validator)
    HOME=$scratch "$tools/vst3-validator" -e "$vst3" >"$scratch/validator.log" 2>&1 \
        || { cat "$scratch/validator.log"; echo "vst3-validator FAILED"; exit 1; }
    echo "vst3-validator: $(grep -E 'Result:|tests passed' "$scratch/validator.log" | tail -1)" ;;
esac
