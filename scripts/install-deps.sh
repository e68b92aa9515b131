#!/usr/bin/env bash
# Installs the Debian packages Quillaran needs, by what you mean to do with it. Safe to run again: it
# installs only what is missing, and never a package whose installation would remove another (a desktop's
# own sound server among them). This is the one place the packages are listed.
#   install-deps.sh run      building and running the application (make run)
#   install-deps.sh test     building it and running every test, the sanitizers and the fuzz targets
#                            (make test, CI); not what only running needs
#   install-deps.sh bench    test, and what only the benchmarks need (make bench)
#   install-deps.sh --list MODE   prints MODE's packages as chosen for this machine, one a line
set -euo pipefail

# Building the application: tools and the libraries it links.
build_packages=(
    cmake g++ make pkg-config
    libasio-dev libx264-dev libmp3lame-dev libminizip-dev zlib1g-dev libplist-dev libyuv-dev
    libssl-dev libpulse-dev libx11-dev libxext-dev libxdamage-dev libxfixes-dev libxrandr-dev libxss-dev
    libsystemd-dev libavcodec-dev libavutil-dev libpipewire-0.3-dev qt6-base-dev
)

# Running it: pkexec asks for administrator rights to install the loopback device. The sound server is
# the desktop's own (PulseAudio, or PipeWire through its PulseAudio interface, which libpulse speaks to).
run_packages=(pkexec)

# Testing: frameworks, the fuzzers' compiler, formatting, and what the tests start or call: a virtual X
# server, an independent decoder, pactl, an independent TLS peer (openssl s_server / s_client), network
# namespaces (ip, tc) for the UDP multicast and full-buffer tests, a private message bus (dbus-daemon) for
# the power tests' stand-in logind and desktop portal, desktop-file-validate for the installed desktop
# entry, a private PipeWire with WirePlumber for the screen-cast tests' video stream. The private sound
# server comes from test_sound_server below.
test_packages=(
    xdg-desktop-portal # the screen-cast tests' portal frontend and permission store, on a private bus
    git clang clang-format libclang-rt-14-dev
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    xvfb xauth x11-utils ffmpeg pulseaudio-utils openssl iproute2 dbus-daemon pipewire wireplumber
    desktop-file-utils
)

# Only the benchmarks: the GStreamer pipeline the X11 session benchmark compares the sender with
# (gst-launch, videoconvert and videoscale, ximagesrc, pipewiresrc, x264enc).
bench_packages=(
    gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly
    gstreamer1.0-pipewire
)

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# The private sound server the tests start. A desktop whose sound is PipeWire's (Debian's GNOME) cannot
# have PulseAudio beside it: PulseAudio conflicts with pipewire-audio. There the tests run a private
# PipeWire with its PulseAudio interface; elsewhere (CI) a private PulseAudio.
test_sound_server() {
    if ! installed pulseaudio && installed pipewire-pulse; then
        echo pipewire pipewire-pulse wireplumber
    else
        echo pulseaudio
    fi
}

usage() {
    echo "usage: $0 [--list] run|test|bench" >&2
    exit 2
}

list=false
if [ "${1:-}" = "--list" ]; then
    list=true
    shift
fi
[ $# -eq 1 ] || usage
case "$1" in
    run) packages=("${build_packages[@]}" "${run_packages[@]}") ;;
    test) packages=("${build_packages[@]}" "${test_packages[@]}" $(test_sound_server)) ;;
    bench) packages=("${build_packages[@]}" "${test_packages[@]}" $(test_sound_server) "${bench_packages[@]}") ;;
    *) usage ;;
esac

if $list; then
    printf '%s\n' "${packages[@]}"
    exit 0
fi

missing=()
for p in "${packages[@]}"; do
    installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

# Says how to install as root instead, and fails. Not `make ...` as root: that would also build and run
# everything as root.
install_as_root() {
    echo "install-deps: ${missing[*]} missing, and $1. Install them as root with" >&2
    echo "    su -c 'bash scripts/install-deps.sh $mode'" >&2
    echo "then run make again as yourself." >&2
    exit 1
}

mode=$1
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 || install_as_root "there is no sudo"
    # Asks for the user's password where sudo wants it, and fails for a user sudo does not let in (a
    # Debian installed with a root password leaves the first user out of the sudoers file).
    sudo -v || install_as_root "sudo refused"
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
echo "install-deps: installing ${missing[*]}"
$sudo apt-get update -q
# What apt would remove to make room is never removed here: say so and stop.
removed=$(apt-get -s -o Debug::NoLocking=1 install --no-install-recommends "${missing[@]}" 2>/dev/null |
    awk '/^Remv /{print $2}' | tr '\n' ' ' || true)
if [ -n "$removed" ]; then
    echo "install-deps: installing ${missing[*]} would remove ${removed% }; nothing installed" >&2
    exit 1
fi
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
