#!/usr/bin/env bash
# How install-deps.sh gets root for a user who is not root: through sudo when sudo lets the user in, and
# otherwise (no sudo, or a sudo that refuses, as Debian's installer leaves the first user out of the
# sudoers file when a root password is set) it says how to install as root and fails without calling
# apt-get. Stub tools stand in for id, dpkg-query, sudo and apt-get; nothing is installed.
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
stubs=$(mktemp -d)
trap 'rm -rf "$stubs"' EXIT

# Only the stubs and the few real tools the script needs are on PATH, so that no real sudo is found.
for tool in grep awk tr; do
    ln -s "$(command -v "$tool")" "$stubs/$tool"
done
stub() {
    printf '#!%s\n%s\n' "$BASH" "$2" >"$stubs/$1"
    chmod +x "$stubs/$1"
}
stub id 'echo 1000'
stub dpkg-query 'exit 1'                       # every package missing
stub apt-get 'echo "apt-get $*" >>"$CALLS"'
# A sudo that refuses refuses every call; one that lets the user in runs the command it is given.
sudo_stub='if [ "$SUDO" = refuses ]; then
    echo "user is not in the sudoers file." >&2
    exit 1
fi
[ "$1" = -v ] && exit 0
echo "sudo $*" >>"$CALLS"
exec "$@"'

failures=0
# case: what sudo does (absent, refuses, lets-in); the status and the text expected; whether apt-get runs.
for case in "absent 1 there is no sudo" "refuses 1 sudo refused" "lets-in 0 -"; do
    read -r sudo status text <<<"$case"
    rm -f "$stubs/sudo" "$stubs/calls"
    [ "$sudo" = absent ] || stub sudo "$sudo_stub"
    out=$(PATH="$stubs" SUDO="$sudo" CALLS="$stubs/calls" "$BASH" "$root/scripts/install-deps.sh" run 2>&1)
    got=$?
    calls=$(cat "$stubs/calls" 2>/dev/null)
    if [ "$got" -ne "$status" ]; then
        echo "sudo $sudo: status $got, expected $status: $out"
        failures=$((failures + 1))
    elif [ "$status" -ne 0 ]; then
        if [[ "$out" != *"and $text. Install them as root with"*"su -c 'bash scripts/install-deps.sh run'"*"then run make again as yourself."* ]] ||
            [ -n "$calls" ]; then
            echo "sudo $sudo: expected the way to install as root and no apt-get; said: $out; called: $calls"
            failures=$((failures + 1))
        fi
    elif ! grep -q '^sudo apt-get install -y -q --no-install-recommends cmake ' <<<"$calls"; then
        echo "sudo $sudo: apt-get install not run through sudo; called: $calls"
        failures=$((failures + 1))
    fi
done
[ "$failures" -eq 0 ] && echo "install-deps.sh gets root through sudo only when sudo lets the user in"
exit $((failures > 0))
