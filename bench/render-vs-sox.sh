#!/usr/bin/env bash
# How brask-render compares with Debian's sox at the same job: one minute of
# stereo 48 kHz 24-bit audio through an overdrive, whole process timed (start-up,
# loading the module, reading, processing and writing), both in the same run.
# Also the peak memory for one minute and for ten, which must be the same: the
# renderer streams its blocks.
#
# Not a test: run it by hand, on a machine that is otherwise quiet.
#
#   bench/render-vs-sox.sh [BUILD_DIR]        (default: $BRASK_BUILD_DIR or build)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-${BRASK_BUILD_DIR:-build}}
render="$build/tools/brask-render"
module="$build/BraskOverdrive_artefacts/Release/VST3/Brask Overdrive.vst3"

if [ ! -x "$render" ] || [ ! -d "$module" ]; then
    echo "Build the renderer and the module first:" >&2
    echo "  cmake --build $build --target brask-render BraskOverdrive_VST3" >&2
    exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Something that keeps the clipper busy all the way through: two sustained
# sawtooth notes a fourth apart, one on each side, under a little noise.
make_input() {
    sox -n -r 48000 -c 2 -b 24 "$work/$1" synth "$2" sawtooth 82.41 sawtooth 110.0 synth whitenoise mix gain -12
}
make_input minute.wav 60
make_input ten-minutes.wav 600

render_cmd="'$render' --plugin '$module' --drive 0.7 '$work/minute.wav' '$work/minute-brask.wav'"
sox_cmd="sox '$work/minute.wav' '$work/minute-sox.wav' overdrive 20"

echo "Input: 60 s, stereo, 48000 Hz, 24-bit; $(nproc) cores; load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo

if command -v hyperfine >/dev/null; then
    hyperfine --style basic --warmup 2 --runs 15 --export-json "$work/times.json" \
        -n brask-render "$render_cmd" -n sox "$sox_cmd" >&2

    /usr/bin/python3 - "$work/times.json" <<'EOF'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
brask, sox = results["brask-render"], results["sox"]
for name, r in (("brask-render", brask), ("sox overdrive", sox)):
    print(f"{name:14s} mean {r['mean']*1000:7.1f} ms  ± {r['stddev']*1000:5.1f}  "
          f"(min {r['min']*1000:.1f} ms, user {r['user']*1000:.1f} ms, system {r['system']*1000:.1f} ms)")
ratio = sox["mean"] / brask["mean"]
print(f"brask-render takes {brask['mean']/sox['mean']:.2f}x sox's time "
      f"({'faster' if ratio > 1 else 'slower'} than sox; {60.0/brask['mean']:.0f}x real time)")
EOF
else
    # Without hyperfine: plain loops, best of ten.
    best() {
        local best_time=999
        for _ in 1 2 3 4 5 6 7 8 9 10; do
            local start end
            start=$(date +%s.%N)
            eval "$1" >/dev/null 2>&1
            end=$(date +%s.%N)
            best_time=$(echo "$end - $start" | bc -l | awk -v b="$best_time" '{ print ($1 < b) ? $1 : b }')
        done
        echo "$best_time"
    }
    brask_time=$(best "$render_cmd")
    sox_time=$(best "$sox_cmd")
    echo "brask-render best of 10: ${brask_time} s"
    echo "sox overdrive best of 10: ${sox_time} s"
    echo "ratio (brask-render / sox): $(echo "$brask_time / $sox_time" | bc -l | cut -c1-5)"
fi

echo
if [ -x /usr/bin/time ]; then
    for input in minute ten-minutes; do
        rss=$( { /usr/bin/time -f '%M' "$render" --plugin "$module" "$work/$input.wav" "$work/$input-brask.wav" >/dev/null; } 2>&1 | tail -1)
        echo "brask-render peak memory, $input input: $((rss / 1024)) MiB"
    done
fi
