#!/bin/bash
# Peak resident memory of long file renders: makes a stereo 44100 Hz 16-bit WAV and a stereo
# 48 kHz 24-bit FLAC of MINUTES minutes (default 60), renders each through the examples' crunch
# preset, and prints the wall time of each run and the peak resident memory it reached (the
# kernel's high-water mark, read until the program ends). A render streams, so the peak does not
# depend on the length.
#
#   bench/render_memory.sh [MINUTES]
#
# BUILD names the build directory (default: build); QAF the program (default: its qaf). Needs sox;
# the files take about 1.5 GB an hour, in a temporary folder under TMPDIR.
set -eu

MINUTES=${1:-60}
BUILD=${BUILD:-build}
QAF=${QAF:-$BUILD/qaf}
LAYOUT="$BUILD/examples/crunch.lyo"
[ -x "$QAF" ] && [ -r "$LAYOUT" ] || { echo "missing $QAF or $LAYOUT: cmake --build $BUILD" >&2; exit 1; }
command -v sox >/dev/null || { echo "sox is not installed (scripts/deps.sh)" >&2; exit 1; }

dir=$(mktemp -d "${TMPDIR:-/tmp}/qaf-memory-XXXXXX")
trap 'rm -rf "$dir"' EXIT INT TERM
seconds=$((MINUTES * 60))
sox -q -n -r 44100 -b 16 -c 2 "$dir/in.wav" synth "$seconds" sine 110:1760 sawtooth 165 \
  synth "$seconds" pinknoise mix tremolo 0.5 60 gain -3
sox -q "$dir/in.wav" -r 48000 -b 24 "$dir/in.flac"

for in in in.wav in.flac; do
  start=$(date +%s.%N)
  "$QAF" --no-gui -d "file:$dir/$in:$dir/out-$in" --layout "$LAYOUT" </dev/null >/dev/null \
    2>"$dir/err" &
  pid=$!
  peak=0
  while kill -0 "$pid" 2>/dev/null; do
    kb=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true)
    [ -n "$kb" ] && [ "$kb" -gt "$peak" ] && peak=$kb
    sleep 0.05
  done
  wait "$pid" || { cat "$dir/err" >&2; exit 1; }
  end=$(date +%s.%N)
  echo "$in ($MINUTES min): $(echo "$start $end" | awk '{ printf "%.1f", $2 - $1 }') s wall, peak resident memory $((peak / 1024)) MB"
  rm -f "$dir/out-$in"
done
