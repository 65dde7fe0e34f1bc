#!/bin/sh
# Installs every Debian package that QAF's build and tests need (Debian 12, as root).
# Does nothing when all of them are installed already.
set -e
PKGS="build-essential cmake pkg-config libgtk-3-dev libasound2-dev libjack-jackd2-dev
  libgtest-dev libbenchmark-dev xvfb xauth xdotool imagemagick sox alsa-utils alsa-oss
  jackd2 clang libclang-rt-14-dev libxtst-dev clang-22 libclang-rt-22-dev libsndfile1-dev
  libsoxr-dev libzita-resampler-dev liblilv-dev lv2-dev swh-lv2 x42-plugins lv2file desktop-file-utils libxml2-utils groff-base libsoup-3.0-dev liblo-dev
  chromium-headless-shell"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
echo 'jackd2 jackd/tweak_rt_limits boolean false' | $SUDO debconf-set-selections
$SUDO apt-get update -q
$SUDO apt-get install -y -q $missing
