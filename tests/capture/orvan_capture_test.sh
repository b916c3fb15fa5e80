#!/usr/bin/env bash
# orvan's capture options: listed, checked before any window, an existing file
# refused, and a window started with --capture writes the file's header at once.
#   orvan_capture_test.sh ORVAN
set -u
ORVAN=$1
TMP=$(mktemp -d)
PID=
cleanup() {
    if [ -n "$PID" ]; then kill "$PID" 2>/dev/null; wait "$PID" 2>/dev/null; fi
    rm -rf "$TMP"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

help=$("$ORVAN" --help)
for option in --capture --capture-limit --capture-overwrite; do
    grep -q -- "^ *$option " <<<"$help" || fail "--help does not list $option"
done

# args | exit status | stderr. No display: nothing here may reach the window.
echo old >"$TMP/existing"
while IFS='|' read -r args status message; do
    out=$(cd "$TMP" && env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb \
        "$ORVAN" $args 2>&1 >/dev/null)
    got=$?
    [ "$got" = "$status" ] || fail "orvan $args: exit $got, expected $status ($out)"
    [ "$out" = "$message" ] || fail "orvan $args: said '$out', expected '$message'"
done <<'ROWS'
--capture|2|orvan: missing value after '--capture' (see orvan --help)
--capture-limit 5|2|orvan: needs --capture: '--capture-limit' (see orvan --help)
--capture-overwrite|2|orvan: needs --capture: '--capture-overwrite' (see orvan --help)
--capture x --capture-limit 0|2|orvan: not a number of megabytes above 0: '0' (see orvan --help)
--capture x --capture-limit ten|2|orvan: not a number of megabytes above 0: 'ten' (see orvan --help)
--capture existing|1|orvan: Cannot create capture file existing: it exists (--capture-overwrite replaces it)
ROWS
[ "$(cat "$TMP/existing")" = old ] || fail "the existing file was written"
[ ! -e "$TMP/x" ] || fail "a refused argument list still made a file"

# The window with a capture: the header (program, version, host) is in the file at once.
(cd "$TMP" && QT_QPA_PLATFORM=offscreen exec "$ORVAN" --capture session.pcapng) &
PID=$!
for _ in $(seq 100); do
    [ -s "$TMP/session.pcapng" ] && break
    sleep 0.1
done
info=$(capinfos "$TMP/session.pcapng" 2>/dev/null)
version=$("$ORVAN" --version)
grep -q "Capture application: $version\$" <<<"$info" || fail "no application in the header: $info"
grep -q "Capture comment: *$version on $(hostname), capture started " <<<"$info" ||
    fail "no comment in the header: $info"
kill "$PID"
wait "$PID" 2>/dev/null
PID=

[ "$failures" -eq 0 ] && echo "all capture option checks passed"
[ "$failures" -eq 0 ]
