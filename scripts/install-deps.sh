#!/bin/sh
# Installs the Debian packages the build, the programs and the test suite need.
# Only missing packages are installed, so a second run costs a dpkg query.
set -e
PKGS="cmake ninja-build g++ pkg-config make
qt6-base-dev
libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev libavfilter-dev libzimg-dev
libass-dev
libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-plugins-base gstreamer1.0-plugins-good
libcurl4-openssl-dev libmagic-dev libarchive-dev libsodium-dev
libgtest-dev libgmock-dev ffmpeg xvfb xauth weston qt6-wayland libcpp-httplib-dev
dpkg-dev appstream"
MISSING=""
for p in $PKGS; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        MISSING="$MISSING $p"
    fi
done
[ -z "$MISSING" ] && exit 0
echo "Installing:$MISSING"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends $MISSING
