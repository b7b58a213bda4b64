#!/usr/bin/env bash
# How brask-render compares with Debian's sox at the same job, whole process
# timed (start-up, loading the module, reading, processing and writing), all in
# the same run: one minute of stereo 48 kHz 24-bit audio through an overdrive; a
# 10 ms file, where only the fixed cost shows; ten one-minute files, brask-render
# with --jobs 2 against ten sox runs two at a time (xargs -P 2). Also the peak
# memory for one minute and for ten, which must be the same: the renderer
# streams its blocks.
#
# Not a test: run it by hand, on a machine that is otherwise quiet.
#
#   bench/render-vs-sox.sh [BUILD_DIR]        (default: $BRASK_BUILD_DIR or build)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-${BRASK_BUILD_DIR:-build}}
render="$build/tools/brask-render"
# The one bundle the build leaves there, named by CMakeLists.txt.
module=$(ls -d "$build"/BraskOverdrive_artefacts/Release/VST3/*.vst3 2>/dev/null | head -1)

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
make_input short.wav 0.01
mkdir -p "$work/many" "$work/many-brask" "$work/many-sox"
for i in 0 1 2 3 4 5 6 7 8 9; do cp "$work/minute.wav" "$work/many/take-$i.wav"; done

render_cmd="'$render' --plugin '$module' --drive 0.7 '$work/minute.wav' '$work/minute-brask.wav'"
sox_cmd="sox '$work/minute.wav' '$work/minute-sox.wav' overdrive 20"
render_short_cmd="'$render' --plugin '$module' --drive 0.7 '$work/short.wav' '$work/short-brask.wav'"
sox_short_cmd="sox '$work/short.wav' '$work/short-sox.wav' overdrive 20"
render_many_cmd="'$render' --plugin '$module' --drive 0.7 --jobs 2 '$work'/many/*.wav --out-dir '$work/many-brask'"
sox_many_cmd="cd '$work/many' && ls | xargs -P 2 -I{} sox {} '$work/many-sox/{}' overdrive 20"

echo "Input: 60 s, stereo, 48000 Hz, 24-bit; $(nproc) cores; load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo

if command -v hyperfine >/dev/null; then
    hyperfine --style basic --warmup 2 --runs 15 --export-json "$work/times.json" \
        -n brask-render "$render_cmd" -n sox "$sox_cmd" \
        -n brask-render-10ms "$render_short_cmd" -n sox-10ms "$sox_short_cmd" >&2
    hyperfine --style basic --warmup 1 --runs 5 --export-json "$work/times-many.json" \
        -n brask-render-ten "$render_many_cmd" -n sox-ten "$sox_many_cmd" >&2

    /usr/bin/python3 - "$work/times.json" "$work/times-many.json" <<'EOF'
import json, sys
results = {}
for path in sys.argv[1:]:
    results.update({r["command"]: r for r in json.load(open(path))["results"]})
rows = (("one minute", "brask-render", "sox", 60.0),
        ("10 ms file", "brask-render-10ms", "sox-10ms", 0.01),
        ("ten one-minute files, two at a time", "brask-render-ten", "sox-ten", 600.0))
for title, brask_name, sox_name, seconds in rows:
    brask, sox = results[brask_name], results[sox_name]
    print(f"{title}:")
    for name, r in (("brask-render", brask), ("sox overdrive", sox)):
        print(f"  {name:14s} mean {r['mean']*1000:8.1f} ms  ± {r['stddev']*1000:5.1f}  "
              f"(min {r['min']*1000:.1f} ms, user {r['user']*1000:.1f} ms, system {r['system']*1000:.1f} ms)")
    print(f"  brask-render takes {brask['mean']/sox['mean']:.2f}x sox's time ({seconds/brask['mean']:.1f}x real time)")

# The fixed cost is what the 10 ms file takes; the rest of the minute's time is
# the cost of streaming a minute of audio through.
print("split of the one-minute render:")
for name, long, short in (("brask-render", "brask-render", "brask-render-10ms"), ("sox overdrive", "sox", "sox-10ms")):
    fixed = results[short]["mean"]
    print(f"  {name:14s} start-up and finish {fixed*1000:6.1f} ms, a minute of audio {(results[long]['mean'] - fixed)*1000:6.1f} ms")
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
