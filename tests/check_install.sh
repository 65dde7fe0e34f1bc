#!/bin/sh
# Installs the build into a scratch prefix, as "cmake --install build --prefix DIR" does, and
# checks what a desktop and a shell find there: the program; its desktop entry (valid, in the
# Audio category, starting qaf with its icon); the icon (an SVG that renders); the manual page
# (clean to the formatter, naming every option --help lists and every text command); the
# examples, with the installed program rendering the installed demo through an installed preset;
# the window's module, which a run without a window never loads, which carries no second copy of
# the core, and which the installed program finds (or names when it is missing).
set -eu
build=$1
prefix=$(mktemp -d /tmp/qafinstallXXXXXX)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$prefix" > "$prefix/install.log" || fail "cmake --install"

qaf="$prefix/bin/qaf"
[ -x "$qaf" ] || fail "no program at bin/qaf"
"$qaf" --help > "$prefix/help.txt" || fail "qaf --help"
head -n 1 "$prefix/help.txt" | grep -q '^Usage: qaf ' || fail "qaf --help: $(head -n 1 "$prefix/help.txt")"

entry="$prefix/share/applications/qaf.desktop"
[ -f "$entry" ] || fail "no desktop entry"
# It reports some errors only as text ("will be fatal in the future"), with status 0.
report=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate: $report"
[ -z "$report" ] || fail "desktop-file-validate: $report"
grep -q '^Categories=.*\bAudio;' "$entry" || fail "desktop entry: not in the Audio category"
grep -q '^Exec=qaf$' "$entry" || fail "desktop entry: Exec"
grep -q '^Icon=qaf$' "$entry" || fail "desktop entry: Icon"

icon="$prefix/share/icons/hicolor/scalable/apps/qaf.svg"
[ -f "$icon" ] || fail "no icon"
xmllint --noout "$icon" || fail "icon: not well-formed XML"
convert "$icon" -resize 48x48 "$prefix/icon.png" && [ -s "$prefix/icon.png" ] || fail "icon: does not render"

man="$prefix/share/man/man1/qaf.1"
[ -f "$man" ] || fail "no manual page"
warnings=$(groff -man -Tutf8 -ww -z "$man" 2>&1)
[ -z "$warnings" ] || fail "manual page: $warnings"
groff -man -Tascii -P-cbou "$man" 2>/dev/null > "$prefix/man.txt"
for opt in $(grep -o -- '--[a-z][a-z-]*' "$prefix/help.txt" | sort -u) --midi --set -b -B -d; do
  grep -q -- "$opt" "$prefix/man.txt" || fail "manual page: no $opt"
done
for cmd in A C D R @ load bank save set map unmap maps program midi status tuner quit; do
  grep -q "^       $cmd\( \|$\)" "$prefix/man.txt" || fail "manual page: no command $cmd"
done
grep -q 'none|alsa|jack' "$prefix/man.txt" || fail "manual page: --midi's values"

examples="$prefix/share/qaf/examples"
for f in clean-boost.lyo crunch.lyo lead.lyo ambient-wash.lyo octave-fuzz.lyo looper-rig.lyo \
         looper-rig.sbk setlist.qset demo-riff.wav cab-4x12.wav amp-cab.lyo; do
  [ -s "$examples/$f" ] || fail "examples: no $f"
done
[ -f "$prefix/share/doc/qaf/README.md" ] || fail "no README"
"$qaf" --no-gui -d "file:$examples/demo-riff.wav:$prefix/out.flac" --layout "$examples/crunch.lyo" \
  < /dev/null > "$prefix/render.log" 2>&1 || fail "rendering the demo: $(tail -n 3 "$prefix/render.log")"
[ -s "$prefix/out.flac" ] || fail "rendering the demo: no out.flac"

module=$(find "$prefix" -name qaf-gtk.so)
case "$module" in */qaf/qaf-gtk.so) ;; *) fail "window module: not in a qaf/ library folder: $module" ;; esac
gtk=$(ldd "$qaf" | grep -E 'lib(gtk|gdk|pango|cairo|atk|harfbuzz)') && fail "the program loads: $gtk"
nm -D --defined-only "$qaf" | awk '$2 ~ /^[TDBR]$/ {print $3}' | sort > "$prefix/core.syms"
nm -D --defined-only "$module" | awk '$2 ~ /^[TDBR]$/ {print $3}' | sort > "$prefix/module.syms"
twice=$(comm -12 "$prefix/core.syms" "$prefix/module.syms" | grep -vx '_edata\|_end\|__bss_start' |
  head -n 3)
[ -z "$twice" ] || fail "window module: defines the core's $twice"
# With a window, a file render ends at the end of its input, as without one.
xvfb-run -a "$qaf" -d "file:$examples/demo-riff.wav:$prefix/window.wav" < /dev/null \
  > "$prefix/window.log" 2>&1 || fail "with a window: $(tail -n 3 "$prefix/window.log")"
[ -s "$prefix/window.wav" ] || fail "with a window: no window.wav"
mv "$module" "$prefix/moved.so"
if "$qaf" > "$prefix/nomodule.log" 2>&1; then fail "no window module: status 0"; fi
grep -qF "Cannot open the window: $module: " "$prefix/nomodule.log" ||
  fail "no window module: $(cat "$prefix/nomodule.log")"
echo "installed and checked in $prefix"
