#!/bin/sh
# The paced soak test (optional, long, not part of ctest): MINUTES (default 10) of sound at the
# buffer of -b BUF (default 0: 128 bytes) through a patch of 62 modules on the fake OSS device
# paced at 44100 Hz, while a busy loop keeps the other core loaded. Ends with QAF's shutdown line:
# the xrun count (stretches of reads that came more than the device's five buffers late) and the
# worst pass against its period. Then, under the same load for as long, a real-time thread that
# does nothing but wake every period (bench/wakeProbe.cpp) counts the late stretches that the
# machine itself causes at that buffer size: QAF's count can only be judged beside it.
set -e
cd "$(dirname "$0")/.."
MINUTES=${1:-10}
BUF=${2:-0}
case "$BUF" in [0-5]) ;; *) echo "usage: $0 [MINUTES [BUF 0..5]]" >&2; exit 2 ;; esac
bytes=$((128 << BUF))
cmake --build build -j2 --target qaf fakedsp qaf_wakeprobe >/dev/null
# Kept in memory where the machine has a tmpfs, so the fake device's input never waits on a disk
# that a real device's recording would not touch.
base=/tmp
[ -d /dev/shm ] && [ -w /dev/shm ] && base=/dev/shm
dir=$(mktemp -d "$base/qaf-soak-XXXXXX")
trap 'rm -rf "$dir"' EXIT

# The input: MINUTES of stereo noise, signed 16-bit at 44100 Hz.
sox -q -n -r 44100 -b 16 -c 2 -e signed-integer -t raw "$dir/in.raw" \
  synth "$((MINUTES * 60))" pinknoise vol 0.3

# 62 modules in one chain from Line In (ID 100) to Line Out (ID 101): the effect types that
# have an input A and an output A, round and round. New modules take IDs 102 to 163.
types="4 5 7 10 16 17 2 3 9 15 19 6 11 18"
: >"$dir/cmds"
n=0
while [ "$n" -lt 62 ]; do
  for t in $types; do
    [ "$n" -lt 62 ] || break
    echo "A $t" >>"$dir/cmds"
    n=$((n + 1))
  done
done
prev=100
id=102
while [ "$id" -le 163 ]; do
  echo "C $prev-$id A A" >>"$dir/cmds"
  prev=$id
  id=$((id + 1))
done
echo "C 163-101 A A" >>"$dir/cmds"

# The other core kept busy for the whole run.
sh -c 'while :; do :; done' &
busy=$!
mkfifo "$dir/stdin"
start=$(date +%s)
# Standard input stays open (the sleeping writer) so that QAF runs until its input is used up.
( cat "$dir/cmds"; exec sleep $((MINUTES * 60 + 60)) ) >"$dir/stdin" &
feeder=$!
set +e
FAKEDSP_IN="$dir/in.raw" FAKEDSP_OUT=/dev/null FAKEDSP_PACE=1 \
  LD_PRELOAD="$PWD/build/tests/libfakedsp.so" \
  ./build/qaf --no-gui -b "$BUF" <"$dir/stdin" >"$dir/out.log" 2>"$dir/err.log"
status=$?
set -e
kill "$feeder" 2>/dev/null || true
echo "soak: $MINUTES min at $bytes-byte buffers, exit status $status, $(($(date +%s) - start)) s wall"
echo "soak: modules in the pass: $(grep '^MOD_EXEC_NUM' "$dir/out.log" | tail -1)"
grep -E '^Xruns:' "$dir/err.log" || { echo "soak: no statistics line"; cat "$dir/err.log"; kill "$busy"; exit 1; }
echo "soak: the machine alone, same load, same time:"
./build/bench/qaf_wakeprobe "$((MINUTES * 60))" "$bytes" 5
kill "$busy" 2>/dev/null || true
wait 2>/dev/null || true
