#!/bin/bash
# Offline render speed against SoX: makes a stereo 44100 Hz 16-bit test file, renders it through
# QAF's five-effect chain on each channel (Distort, Tone, Compressor, Reverb, Chorus/Flange) and
# through a comparable SoX chain, alternating the two, and prints each side's median wall time
# and the ratio (SoX time / QAF time: above 1 QAF is the faster). The CPU time (user + system)
# of each is printed beside it: on a busy machine it is the steadier figure, since QAF's audio
# thread asks for real-time priority and SoX does not.
#
#   bench/render_vs_sox.sh [RUNS [SECONDS]]     (defaults: 7 runs of each, a 60-s file)
#
# BUILD names the build directory (default: build); QAF the program to time (default: its qaf). Needs sox (scripts/deps.sh installs it) and
# the targets qaf and qaf_makechain. Run it on an otherwise idle machine.
#
# The SoX chain does the same kinds of work in the same order: overdrive (drive and clip),
# equalizer (a biquad band), compand (envelope follower with a gain curve), echo (a delay line
# with feedback) and chorus (a swept tap).
set -eu

RUNS=${1:-7}
SECONDS_LONG=${2:-60}
BUILD=${BUILD:-build}
QAF=${QAF:-$BUILD/qaf}
MAKECHAIN="$BUILD/bench/qaf_makechain"
SOX_EFFECTS="overdrive 10 equalizer 1000 1q 3 compand 0.01,0.2 -60,-40,-10 -5 echo 0.8 0.9 200 0.4 chorus 0.7 0.9 55 0.4 0.25 2 -t"

for f in "$QAF" "$MAKECHAIN"; do
  [ -x "$f" ] || { echo "missing $f: cmake --build $BUILD --target qaf qaf_makechain" >&2; exit 1; }
done
command -v sox >/dev/null || { echo "sox is not installed (scripts/deps.sh)" >&2; exit 1; }

# shellcheck source=bench/timing.sh
. "$(dirname "$0")/timing.sh"
dir=$(mktemp -d /tmp/qaf-render-XXXXXX)
trap 'rm -rf "$dir"' EXIT INT TERM

# Two swept tones on the left, a tone with pink noise on the right, under a slow tremolo, so
# that the compressor's envelope and the distortion's clip both move.
sox -q -n -r 44100 -b 16 -c 2 "$dir/in.wav" \
  synth "$SECONDS_LONG" sine 110:1760 sawtooth 165 synth "$SECONDS_LONG" pinknoise mix \
  tremolo 0.5 60 gain -3
"$MAKECHAIN" "$dir/chain.lyo" >/dev/null

# One timed run of each: wall, user and system seconds appended to a file.
runQaf() {
  { time "$QAF" --no-gui -d "file:$dir/in.wav:$dir/qaf.wav" --layout "$dir/chain.lyo" \
      </dev/null >/dev/null 2>"$dir/qaf.err"; } 2>>"$dir/qaf.times" ||
    { cat "$dir/qaf.err" >&2; exit 1; }
}
runSox() {
  # shellcheck disable=SC2086
  { time sox -V1 "$dir/in.wav" "$dir/sox.wav" $SOX_EFFECTS; } 2>>"$dir/sox.times"
}

alternate "$RUNS" runQaf "$dir/qaf.times" runSox "$dir/sox.times"

inBytes=$(stat -c %s "$dir/in.wav")
outBytes=$(stat -c %s "$dir/qaf.wav")
if [ "$outBytes" -ne "$inBytes" ]; then
  echo "QAF's output ($outBytes bytes) is not as long as its input ($inBytes bytes)" >&2
  exit 1
fi

echo "input: $SECONDS_LONG s stereo 44100 Hz 16-bit, $RUNS runs of each, alternating"
report "qaf  (Distort Tone Compressor Reverb Chorus/Flange on each channel)" "$dir/qaf.times" \
  "sox  ($SOX_EFFECTS)" "$dir/sox.times" "sox / qaf"
