#!/usr/bin/env bash
# `make install` as a user runs it, staged under a DESTDIR into a prefix with a space in it: the files
# land where the desktop looks for them and the desktop entry is valid; a copy of the installed tree,
# elsewhere, runs under a private X server and finds its resources and helper tools in that copy (not in
# the build or source folders compiled into it), shows its window with the class the entry names and
# its icon, and ends on SIGTERM; `make uninstall` then removes everything the two installs wrote, and no
# folder that was there before. Every wait is bounded.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
xvfb_pid=""
app_pid=""
cleanup() {
    [ -z "$app_pid" ] || kill -KILL "$app_pid" 2>/dev/null || true
    [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "install test: $*" >&2
    exit 1
}
# Runs a command with its output in a log that is shown only when it fails.
quiet() {
    local log=$work/step.log
    "$@" </dev/null >"$log" 2>&1 || { cat "$log" >&2; fail "failed: $*"; }
}

dest=$work/dest
prefix="/opt/quill test"
installed=$dest$prefix
app_id=net.quillaran.Quillaran
entry=$installed/share/applications/$app_id.desktop

# A folder that was there before the install, and stays.
mkdir -p "$installed/share/applications"
before=$(cd "$dest" && find . | sort)

# Twice: the second install finds the folders the first one made, and must still remove them later.
for _ in 1 2; do
    quiet timeout 900 make -C "$root" install DESTDIR="$dest" PREFIX="$prefix"
done
for f in bin/quillaran libexec/quillaran/kextstat libexec/quillaran/kextutil; do
    [ -x "$installed/$f" ] || fail "$f is not installed as a program"
done
for f in share/quillaran/tray.png share/quillaran/Soundflower.zip share/quillaran/icon-256.png \
    share/icons/hicolor/scalable/apps/$app_id.svg share/icons/hicolor/48x48/apps/$app_id.png; do
    [ -f "$installed/$f" ] || fail "$f is not installed"
done

# Hints pass (two main categories are asked for), errors and warnings do not.
quiet desktop-file-validate "$entry"
! grep -qE '(error|warning): ' "$work/step.log" || { cat "$work/step.log" >&2; fail "desktop-file-validate objects"; }
grep -qFx 'Exec="/opt/quill test/bin/quillaran"' "$entry" || fail "Exec does not run the installed path: $(grep ^Exec= "$entry")"
grep -qFx "Icon=$app_id" "$entry" || fail "the entry's icon is not the installed $app_id"
wm_class=$(sed -n 's/^StartupWMClass=//p' "$entry")

# The copy that runs: nothing of the install's place, the build or the sources is in its way.
copy="$work/moved copy"
cp -a "$installed" "$copy"
mkdir -m 0700 "$work/home" "$work/tmp" "$work/run"

Xvfb -displayfd 9 -screen 0 1024x768x24 -nolisten tcp -noreset 9>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
[ -s "$work/display" ] || fail "Xvfb did not start"
display=:$(tr -d '\n' <"$work/display")

# Simulated devices and a private runtime folder without a session bus: the run touches nothing of the
# machine's sound or desktop.
env -u QUILLARAN_RESOURCES -u DBUS_SESSION_BUS_ADDRESS DISPLAY="$display" QT_QPA_PLATFORM=xcb \
    HOME="$work/home" TMPDIR="$work/tmp" XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/home/.config" \
    QUILLARAN_AUDIO_DEVICES=simulated QUILLARAN_SOUND=synthetic QUILLARAN_DISPLAY=synthetic \
    "$copy/bin/quillaran" </dev/null >"$work/app.log" 2>&1 &
app_pid=$!

window=""
for _ in $(seq 150); do
    window=$(xwininfo -display "$display" -name Quillaran 2>/dev/null | sed -n 's/^xwininfo: Window id: \(0x[0-9a-f]*\).*/\1/p' || true)
    [ -z "$window" ] || break
    kill -0 "$app_pid" 2>/dev/null || { cat "$work/app.log" >&2; fail "the installed application ended at start"; }
    sleep 0.2
done
[ -n "$window" ] || { cat "$work/app.log" >&2; fail "no window named Quillaran within 30 s"; }
info=$(xwininfo -display "$display" -id "$window")
grep -q 'Map State: IsViewable' <<<"$info" || fail "the window is not shown"

found="tray icon: $copy/share/quillaran/tray.png; driver archive: $copy/share/quillaran/Soundflower.zip; helper tools: $copy/libexec/quillaran"
grep -qF "$found" "$work/app.log" || { cat "$work/app.log" >&2; fail "the copy did not use its own files"; }
class=$(xprop -display "$display" -id "$window" WM_CLASS)
grep -qF "\"$wm_class\"" <<<"$class" || fail "the window's class is not $wm_class: $class"
icon=$(xprop -display "$display" -id "$window" -notype _NET_WM_ICON)
grep -q '^_NET_WM_ICON = ' <<<"$icon" || fail "the window has no icon"

kill -TERM "$app_pid"
for _ in $(seq 100); do
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$app_pid" 2>/dev/null && fail "the application did not end within 10 s of SIGTERM"
status=0
wait "$app_pid" || status=$?
app_pid=""
[ "$status" -eq 0 ] || { cat "$work/app.log" >&2; fail "the application ended with status $status"; }

quiet timeout 60 make -C "$root" uninstall DESTDIR="$dest" PREFIX="$prefix"
after=$(cd "$dest" && find . | sort)
[ "$before" = "$after" ] || fail "the uninstall left or took: $(diff <(echo "$before") <(echo "$after") || true)"
echo "install test: passed"
