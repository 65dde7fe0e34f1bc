#!/bin/bash
# Offline plugin render against lv2file: makes a mono 44100 Hz 16-bit file of plucked strings,
# runs it through swh's GVerb (room size 40 m, reverb time 3 s, the other controls at their
# defaults) with Debian's lv2file and with QAF (Line In left -> GVerb -> Line Out left and
# right: lv2file gives a mono file to the plugin's one input and writes its two outputs),
# alternating the two, and prints each side's median wall time, the ratio (lv2file time / QAF
# time: above 1 QAF is the faster) and the CPU time (user + system) of each. Then it compares
# the two outputs sample by sample (bench/wavCompare.cpp): they must agree to one step of 16
# bits, the rounding of the two writers (lv2file's libsndfile scales floats by 32767, QAF by
# 32768), or the script fails.
#
#   bench/lv2_vs_lv2file.sh [RUNS [SECONDS]]     (defaults: 9 runs of each, a 60-s file)
#
# BUILD names the build directory (default: build); QAF the program to time (default: its qaf).
# Needs sox, lv2file and swh-lv2 (scripts/deps.sh installs them; exits 77 without them) and the
# targets qaf and qaf_wavcompare. Run it on an otherwise idle machine.
#
# Both run the plugin in blocks of 512 frames: lv2file's default block, and QAF's passes at -b 4.
# The block matters to GVerb: each run() sets the room size before the reverb time, and the
# room size recomputes the early reflections' gains from the reverb time of the run before, so
# the first run after the controls change uses the old gains throughout. Past the earliest
# reflection (0.155 of the room's longest delay, 809 frames at 40 m) that first run is heard:
# lv2file itself at blocks of 1024 frames differs from lv2file at 512 by up to 82 steps.
set -eu

RUNS=${1:-9}
SECONDS_LONG=${2:-60}
BUILD=${BUILD:-build}
QAF=${QAF:-$BUILD/qaf}
COMPARE="$BUILD/bench/qaf_wavcompare"
GVERB=http://plugin.org.uk/swh-plugins/gverb

for f in "$QAF" "$COMPARE"; do
  [ -x "$f" ] || { echo "missing $f: cmake --build $BUILD --target qaf qaf_wavcompare" >&2; exit 1; }
done
for p in sox lv2file; do
  command -v "$p" >/dev/null || { echo "$p is not installed (scripts/deps.sh)" >&2; exit 77; }
done
lv2file -n "$GVERB" 2>/dev/null | grep -q '^roomsize' ||
  { echo "$GVERB is not installed: install Debian's swh-lv2 (scripts/deps.sh)" >&2; exit 77; }

# shellcheck source=bench/timing.sh
. "$(dirname "$0")/timing.sh"
dir=$(mktemp -d /tmp/qaf-lv2bench-XXXXXX)
trap 'rm -rf "$dir"' EXIT INT TERM

# Six plucked strings, a quarter of a second each (as floats: no dither until the end), over and
# over, at -9 dBFS.
notes=""
for n in E2 A2 D3 G3 B3 E4; do
  sox -q -r 44100 -n -e floating-point -b 32 -c 1 "$dir/$n.wav" synth 0.25 pluck "$n"
  notes="$notes $dir/$n.wav"
done
# shellcheck disable=SC2086
sox -q $notes "$dir/phrase.wav"
sox -q "$dir/phrase.wav" -b 16 "$dir/in.wav" repeat $((SECONDS_LONG * 2 / 3 + 1)) \
  trim 0 "$SECONDS_LONG" gain -n -9

# QAF's patch, made by text commands before the first pass (Line In is module 100, Line Out
# 101, the plugin the next, 102).
cat >"$dir/patch.txt" <<EOF
lv2 $GVERB
C 100-102 A A
C 102-101 A A
C 102-101 B B
set 102 0 40
set 102 1 3
EOF

# One timed run of each: wall, user and system seconds appended to a file.
runQaf() {
  { time "$QAF" --no-gui -b 4 -d "file:$dir/in.wav:$dir/qaf.wav" --commands "$dir/patch.txt" \
      </dev/null >"$dir/qaf.out" 2>"$dir/qaf.err"; } 2>>"$dir/qaf.times" ||
    { cat "$dir/qaf.out" "$dir/qaf.err" >&2; exit 1; }
}
runLv2file() {
  { time lv2file -i "$dir/in.wav" -o "$dir/lv2file.wav" -p roomsize:40 -p revtime:3 "$GVERB" \
      >"$dir/lv2file.out" 2>&1; } 2>>"$dir/lv2file.times" ||
    { cat "$dir/lv2file.out" >&2; exit 1; }
}

alternate "$RUNS" runQaf "$dir/qaf.times" runLv2file "$dir/lv2file.times"

echo "input: $SECONDS_LONG s mono 44100 Hz 16-bit, $RUNS runs of each, alternating"
report "qaf      (-b 4, GVerb roomsize 40 revtime 3)" "$dir/qaf.times" \
  "lv2file  (GVerb -p roomsize:40 -p revtime:3)" "$dir/lv2file.times" "lv2file / qaf"
printf "outputs: "
"$COMPARE" "$dir/lv2file.wav" "$dir/qaf.wav" --tolerance 1 ||
  { echo "QAF's output and lv2file's differ by more than one step of 16 bits" >&2; exit 1; }
