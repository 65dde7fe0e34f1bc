#!/bin/sh
# Loads whole layouts while the sound runs, as File/Open does: QAF plays paced noise through the
# fake OSS device at 128-byte buffers (-b 0) while standard input loads a 62-module chain and a
# layout of 62 thirty-second recorders, by turns, ROUNDS times. Prints the run's closing lines:
# the worst pass against the period and the audio thread's page faults after its first pass.
#   bench/load_while_playing.sh [ROUNDS]      (from the source folder, after a build)
set -e
ROUNDS=${1:-10}
dir=$(mktemp -d /tmp/qaf-load-XXXXXX)
trap 'rm -rf "$dir"' EXIT
sox -q -n -r 44100 -b 16 -c 2 -e signed-integer -t raw "$dir/in.raw" \
  synth "$((ROUNDS * 2 + 6))" pinknoise vol 0.3
: >"$dir/quiet.raw"

# The two layouts, made by QAF itself from text commands.
make_layout() {  # TYPES... : 62 modules of the types in turn, chained Line In -> ... -> Line Out
  n=0; : >"$dir/cmds"
  while [ "$n" -lt 62 ]; do
    for t in "$@"; do [ "$n" -lt 62 ] && echo "A $t" >>"$dir/cmds" && n=$((n + 1)); done
  done
  prev=100; id=102
  while [ "$id" -le 163 ]; do echo "C $prev-$id A A" >>"$dir/cmds"; prev=$id; id=$((id + 1)); done
  echo "C 163-101 A A" >>"$dir/cmds"
}
save_layout() {  # FILE
  echo "save $1" >>"$dir/cmds"
  echo quit >>"$dir/cmds"
  FAKEDSP_IN="$dir/quiet.raw" FAKEDSP_OUT=/dev/null FAKEDSP_STALL=1 \
    LD_PRELOAD="$PWD/build/tests/libfakedsp.so" ./build/qaf --no-gui <"$dir/cmds" >/dev/null 2>&1
}
make_layout 4 5 7 10 16 17 2 3 9 15 19 6 11 18
save_layout "$dir/chain.lyo"
make_layout 13
save_layout "$dir/rec.lyo"

( sleep 2
  i=0
  while [ "$i" -lt "$ROUNDS" ]; do
    echo "load $dir/chain.lyo"; sleep 1; echo "load $dir/rec.lyo"; sleep 1; i=$((i + 1))
  done
  echo quit ) |
  FAKEDSP_IN="$dir/in.raw" FAKEDSP_OUT=/dev/null FAKEDSP_PACE=1 \
    LD_PRELOAD="$PWD/build/tests/libfakedsp.so" ./build/qaf --no-gui -b 0 >"$dir/out.log" \
    2>"$dir/err.log" || true
grep -c "^Swapping modules and maps" "$dir/out.log" | sed 's/^/layouts loaded while playing: /'
grep -E "^(Xruns|Graph lock|Audio thread:)" "$dir/err.log"
