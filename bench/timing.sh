# The timing the render benchmarks share (render_vs_sox.sh, lv2_vs_lv2file.sh), sourced by them:
# the two programs run by turns, and the medians of their times. A timed run appends its wall,
# user and system seconds to a file (bash's time keyword, with the format set here).
TIMEFORMAT='%R %U %S'

# The median of a column of numbers on standard input.
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# The median wall and CPU (user + system) seconds of a file of times.
wall() { awk '{ print $1 }' "$1" | median; }
cpu() { awk '{ printf "%.3f\n", $2 + $3 }' "$1" | median; }

# alternate RUNS RUN1 TIMES1 RUN2 TIMES2: a warm-up of each, not counted (both programs and the
# input come into the cache), then RUNS turns of the two. Each starts after a sync, with nothing
# of the other's left to write back: QAF flushes its output before naming it, and that flush
# would otherwise also wait for the other program's last file.
alternate() {
  "$2"
  "$4"
  : >"$3"
  : >"$5"
  i=0
  while [ "$i" -lt "$1" ]; do
    sync
    "$2"
    sync
    "$4"
    i=$((i + 1))
  done
}

# report LABEL1 TIMES1 LABEL2 TIMES2 RATIO: each program's median wall and CPU time, then the
# second's times over the first's (above 1 the first is the faster), named RATIO.
report() {
  w1=$(wall "$2")
  c1=$(cpu "$2")
  w2=$(wall "$4")
  c2=$(cpu "$4")
  echo "$1: median wall $w1 s, cpu $c1 s"
  echo "$3: median wall $w2 s, cpu $c2 s"
  echo "$w2 $w1 $c2 $c1" |
    awk -v r="$5" '{ printf "ratio (%s): wall %.2f, cpu %.2f\n", r, $1 / $2, $3 / $4 }'
}
