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

. "$(dirname "$0")/common.sh"
bench_start "$0" "$@"
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
start_xvfb "$TMP" "$TMP/xvfb.log"

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
