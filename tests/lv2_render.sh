#!/bin/sh
# A file render through a plugin whose worker thread does the work: x42's convolver, given a
# one-sample impulse of 0.8 by the "file" command, loads it on its worker. In a render the
# worker's requests are served inside the pass that makes them, so two renders of the same file
# are the same, sample for sample, and the impulse is in effect within the first few passes
# (the output is then the input at 0.8 times the convolver's own -6 dB). With the worker thread
# at its own pace, a render far faster than real time is over before the impulse arrives.
#   lv2_render.sh QAF WAVCOMPARE       (exits 77, skipped, without x42-plugins or sox)
set -eu
QAF=$1
COMPARE=$2
URI="http://gareus.org/oss/lv2/convoLV2#Mono"
command -v sox >/dev/null || { echo "sox is not installed (scripts/deps.sh)"; exit 77; }
grep -qs "convoLV2#Mono" /usr/lib/lv2/*/manifest.ttl /usr/local/lib/lv2/*/manifest.ttl ||
  { echo "$URI is not installed: install Debian's x42-plugins"; exit 77; }

dir=$(mktemp -d /tmp/qaf-lv2render-XXXXXX)
trap 'rm -rf "$dir"' EXIT INT TERM
sox -q -r 44100 -n -c 1 -b 16 "$dir/in.wav" synth 2 sine 440 vol 0.6
sox -q -r 44100 -n -c 1 -e floating-point -b 32 "$dir/delta.wav" synth 1s square 1 vol 0.8 \
  pad 0 63s
# What the convolver must give once the impulse is in: 0.8 * 0.5 of Line In on Line Out's left,
# silence on its right.
sox -q -D "$dir/in.wav" "$dir/expected.wav" remix 1v0.4 0
cat >"$dir/patch.txt" <<END
lv2 $URI
C 100-102 A A
C 102-101 A A
file 102 0 $dir/delta.wav
END
# 64-frame passes: the convolver takes no shorter blocks.
for n in 1 2; do
  "$QAF" --no-gui -b 2 -d "file:$dir/in.wav:$dir/out$n.wav" --commands "$dir/patch.txt" \
    </dev/null >"$dir/log$n" 2>&1 || { cat "$dir/log$n"; exit 1; }
done
cmp "$dir/out1.wav" "$dir/out2.wav" || { echo "two renders of the same file differ"; exit 1; }
# From the 65th pass on (the impulse arrives within a few), the convolution and nothing else.
"$COMPARE" "$dir/expected.wav" "$dir/out1.wav" --max-offset 0 --skip 4096 --tolerance 1 ||
  { echo "the impulse was not in effect from frame 4096 on"; exit 1; }
