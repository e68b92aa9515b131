#!/usr/bin/env bash
# Installs every Debian package Quillaran needs to build, run and test. Safe to run again: it only
# installs what is missing. This is the one place the packages are listed.
#   install-deps.sh          what building, running and testing need
#   install-deps.sh bench    that, and what only the benchmarks need
set -euo pipefail

packages=(
    # build tools
    cmake g++ make pkg-config git clang clang-format libclang-rt-14-dev
    # test and benchmark frameworks
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    # libraries
    libasio-dev libx264-dev libmp3lame-dev libminizip-dev zlib1g-dev libplist-dev libyuv-dev
    libssl-dev libpulse-dev libx11-dev libxext-dev libxdamage-dev libxfixes-dev libxrandr-dev libxss-dev
    libsystemd-dev libavcodec-dev libavutil-dev qt6-base-dev
    # run-time tools for tests: a virtual X server, an independent decoder, a private sound server, an
    # independent TLS peer (openssl s_server / s_client)
    xvfb xauth x11-utils ffmpeg pulseaudio pulseaudio-utils openssl
    # network namespaces for the UDP multicast and full-buffer tests: ip and tc
    iproute2
)

# Only the benchmarks: the GStreamer pipeline the X11 session benchmark compares the sender with
# (gst-launch, videoconvert and videoscale, ximagesrc, x264enc).
bench_packages=(
    gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly
)

case "${1:-}" in
    "") ;;
    bench) packages+=("${bench_packages[@]}") ;;
    *)
        echo "usage: $0 [bench]" >&2
        exit 2
        ;;
esac

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
