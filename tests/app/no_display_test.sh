#!/usr/bin/env bash
# Without a display the program says so in one line and exits 1, before any window work
# (no abort, no capture file), and still answers --version.
#   no_display_test.sh <orvan>
set -u
orvan=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 2
status=0
# name, the environment, the exit code wanted, a word the one line must hold
while read -r name environment want word; do
    # shellcheck disable=SC2086
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM $environment \
        timeout -k 5 20 "$orvan" --capture "$name.pcapng" >out 2>err
    code=$?
    lines=$(wc -l <err)
    if [ "$code" != "$want" ] || [ "$lines" != 1 ] || ! grep -q "$word" err ||
        [ -e "$name.pcapng" ]; then
        echo "FAILED: $name: exit $code, $lines lines:"
        cat err
        status=1
    else
        echo "ok: $name: $(cat err)"
    fi
done <<'CASES'
unset X=1 1 DISPLAY
empty DISPLAY= 1 DISPLAY
xcb_asked QT_QPA_PLATFORM=xcb 1 DISPLAY
wayland_asked_without QT_QPA_PLATFORM=wayland 1 DISPLAY
nothing_answers DISPLAY=:87 1 :87
nothing_answers_screen DISPLAY=unix:87.0 1 unix:87.0
CASES
if ! env -u DISPLAY "$orvan" --version | grep -q '^orvan '; then
    echo "FAILED: --version needs no display"
    status=1
fi
exit $status
