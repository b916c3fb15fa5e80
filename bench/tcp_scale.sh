#!/usr/bin/env bash
# The TCP scale benchmark: N per-destination clients of the real main window, on its own Xvfb
# display, against echo servers on 127.0.0.2 .. 127.0.0.(N+1). Prints the figures with
# PASS/FAIL against the targets: time per client within twice a single client's (linear in
# the number of clients), no interface stall over 100 ms, resident memory after all are
# disconnected within 5 % of the start.
#
# Usage: bench/tcp_scale.sh BUILD_DIR      ORVAN_BENCH_TCP_CLIENTS=200 (at most 253)
# Exits 1 when a target is missed.
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi

# Everything stays on loopback; a private namespace makes sure of it.
if [ "${ORVAN_NETNS:-}" != 1 ]; then
    inner='ip link set lo up && ORVAN_NETNS=1 exec "$0" "$@"'
    if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
        exec unshare -n sh -c "$inner" "$0" "$@"
    elif unshare -rn true 2>/dev/null; then
        exec unshare -rn sh -c "$inner" "$0" "$@"
    fi
    echo "$0: needs a private network namespace (unshare -n); not run" >&2
    exit 2
fi

BUILD=$(cd "$1" && pwd)
EXE=$BUILD/bench/bench-tcp-scale
N=${ORVAN_BENCH_TCP_CLIENTS:-200}
[ -x "$EXE" ] || { echo "$0: $EXE not built" >&2; exit 2; }

TMP=$(mktemp -d)
XVFB_PID=
cleanup() {
    if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null; wait "$XVFB_PID" 2>/dev/null; fi
    rm -rf "$TMP"
}
trap cleanup EXIT
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$TMP/display" \
    >"$TMP/xvfb.log" 2>&1 &
XVFB_PID=$!
for _ in $(seq 100); do [ -s "$TMP/display" ] && break; sleep 0.1; done
[ -s "$TMP/display" ] || { echo "$0: Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(head -n1 "$TMP/display") QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR=$TMP

result=$(cd "$TMP" && "$EXE" "$N" 20 | grep '^RESULT') || true
echo "$result"
kv() { grep -o "\b$1=[^ ]*" <<<"$result" | cut -d= -f2; }
[ -n "$result" ] || { echo "FAIL: no result"; exit 1; }

status=0
check() {  # check LABEL VALUE LIMIT UNIT
    if awk -v v="$2" -v l="$3" 'BEGIN { exit !(v <= l) }'; then
        printf 'PASS  %-52s %s %s (target <= %s)\n' "$1" "$2" "$4" "$3"
    else
        printf 'FAIL  %-52s %s %s (target <= %s)\n' "$1" "$2" "$4" "$3"
        status=1
    fi
}
[ "$(kv ok)" = 1 ] && echo "PASS  every echo shown by its own client, all disconnected, no box" ||
    { echo "FAIL  clients, echoes or boxes went wrong"; status=1; }
echo "      single client: $(kv single_ms) ms per round; $N clients: $(kv many_ms) ms," \
     "$(kv many_per_client_ms) ms per client"
check "time per client, $N at once vs one" "$(kv per_client_ratio)" 2 "x"
check "longest interface stall with $N clients" "$(kv many_stall_ms)" 100 ms
check "resident memory after all disconnected vs start" "$(kv rss_growth_pct)" 5 "%"
exit $status
