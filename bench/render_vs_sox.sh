#!/bin/sh
# Offline render speed against SoX: makes a stereo 44100 Hz 16-bit test file, renders it through
# QAF's five-effect chain on each channel (Distort, Tone, Compressor, Reverb, Chorus/Flange) and
# through a comparable SoX chain, alternating the two, and prints each side's median wall time
# and the ratio (SoX time / QAF time: above 1 QAF is the faster).
#
#   bench/render_vs_sox.sh [RUNS [SECONDS]]     (defaults: 7 runs of each, a 60-s file)
#
# BUILD names the build directory (default: build). Needs sox (scripts/deps.sh installs it) and
# the targets qaf and qaf_makechain. Run it on an otherwise idle machine.
#
# The SoX chain does the same kinds of work in the same order: overdrive (drive and clip),
# equalizer (a biquad band), compand (envelope follower with a gain curve), echo (a delay line
# with feedback) and chorus (a swept tap).
set -eu

RUNS=${1:-7}
SECONDS_LONG=${2:-60}
BUILD=${BUILD:-build}
QAF="$BUILD/qaf"
MAKECHAIN="$BUILD/bench/qaf_makechain"
SOX_EFFECTS="overdrive 10 equalizer 1000 1q 3 compand 0.01,0.2 -60,-40,-10 -5 echo 0.8 0.9 200 0.4 chorus 0.7 0.9 55 0.4 0.25 2 -t"

for f in "$QAF" "$MAKECHAIN"; do
  [ -x "$f" ] || { echo "missing $f: cmake --build $BUILD --target qaf qaf_makechain" >&2; exit 1; }
done
command -v sox >/dev/null || { echo "sox is not installed (scripts/deps.sh)" >&2; exit 1; }

dir=$(mktemp -d /tmp/qaf-render-XXXXXX)
trap 'rm -rf "$dir"' EXIT INT TERM

# Two swept tones on the left, a tone with pink noise on the right, under a slow tremolo, so
# that the compressor's envelope and the distortion's clip both move.
sox -q -n -r 44100 -b 16 -c 2 "$dir/in.wav" \
  synth "$SECONDS_LONG" sine 110:1760 sawtooth 165 synth "$SECONDS_LONG" pinknoise mix \
  tremolo 0.5 60 gain -3
"$MAKECHAIN" "$dir/chain.lyo" >/dev/null

now() { date +%s.%N; }

# One timed run of each; the QAF run must leave an output as long as its input.
runQaf() {
  t0=$(now)
  "$QAF" --no-gui -d "file:$dir/in.wav:$dir/qaf.wav" --layout "$dir/chain.lyo" \
    </dev/null >/dev/null 2>"$dir/qaf.err" || { cat "$dir/qaf.err" >&2; exit 1; }
  t1=$(now)
  echo "$t0 $t1" | awk '{ printf "%.4f\n", $2 - $1 }' >>"$dir/qaf.times"
}
runSox() {
  t0=$(now)
  # shellcheck disable=SC2086
  sox -V1 "$dir/in.wav" "$dir/sox.wav" $SOX_EFFECTS
  t1=$(now)
  echo "$t0 $t1" | awk '{ printf "%.4f\n", $2 - $1 }' >>"$dir/sox.times"
}

median() { sort -n "$1" | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# a warm-up of each, not counted: both programs and the input come into the cache
runQaf
runSox
: >"$dir/qaf.times"
: >"$dir/sox.times"
i=0
while [ "$i" -lt "$RUNS" ]; do
  runQaf
  runSox
  i=$((i + 1))
done

inBytes=$(stat -c %s "$dir/in.wav")
outBytes=$(stat -c %s "$dir/qaf.wav")
if [ "$outBytes" -ne "$inBytes" ]; then
  echo "QAF's output ($outBytes bytes) is not as long as its input ($inBytes bytes)" >&2
  exit 1
fi

q=$(median "$dir/qaf.times")
s=$(median "$dir/sox.times")
echo "input: $SECONDS_LONG s stereo 44100 Hz 16-bit, $RUNS runs of each, alternating"
echo "qaf  (Distort Tone Compressor Reverb Chorus/Flange, each channel): median $q s  [$(tr '\n' ' ' <"$dir/qaf.times")]"
echo "sox  ($SOX_EFFECTS): median $s s  [$(tr '\n' ' ' <"$dir/sox.times")]"
echo "$s $q" | awk '{ printf "ratio (sox / qaf): %.2f\n", $1 / $2 }'
