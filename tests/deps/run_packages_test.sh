#!/usr/bin/env bash
# What `make run` installs must leave a PipeWire desktop's sound server in place: installed together
# with pipewire-audio (which Debian's GNOME depends on), the run packages remove nothing that
# pipewire-audio alone would not. apt-get -s decides from the local package lists, without the network.
# Exit status 77 (skipped) when apt-get or the lists are not there.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)

if ! command -v apt-get >/dev/null 2>&1; then
    echo "skipped: apt-get is not installed"
    exit 77
fi
if ! apt-cache show pipewire-audio >/dev/null 2>&1; then
    echo "skipped: the package lists do not name pipewire-audio (apt-get update fills them)"
    exit 77
fi
if ! run=$(bash "$root/scripts/install-deps.sh" --list run); then
    echo "install-deps.sh --list run failed"
    exit 1
fi

# The packages a simulated installation would remove, one a line; the run stops when apt cannot
# install them together at all.
removals() {
    local out
    if ! out=$(apt-get -s -o Debug::NoLocking=1 install --no-install-recommends "$@" 2>&1); then
        echo "apt-get cannot install $* together:" >&2
        grep -E '^ |^E:' <<<"$out" >&2
        return 1
    fi
    awk '/^Remv /{print $2}' <<<"$out" | sort
}

alone=$(removals pipewire-audio) || exit 1
# shellcheck disable=SC2086 # one package a word
together=$(removals $run pipewire-audio) || exit 1
extra=$(comm -13 <(echo "$alone") <(echo "$together") | grep -v '^$')
if [ -n "$extra" ]; then
    echo "the run packages beside pipewire-audio remove:" $extra
    exit 1
fi
echo "the run packages beside pipewire-audio remove nothing more than pipewire-audio alone"
