#!/usr/bin/env bash
# Start-up against a name server that never answers, as on a technician's laptop plugged into
# a device network: launch of the real program to its window being mapped with this host's
# name missing from /etc/hosts and the name server silent, against the same with the name in
# /etc/hosts. Target: at most twice the time. Runs in private network and mount namespaces of
# its own, where it puts its own /etc/hosts and /etc/resolv.conf in place.
#
# Usage: bench/startup.sh BUILD_DIR     (./build.sh bench builds Release and runs this)
#   ORVAN_BENCH_MAP_RUNS=9   launches per configuration (default 15)
# Raw output goes to BUILD_DIR/bench-results/startup-*. Exits 1 when the target is missed.
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi

if [ "${ORVAN_STARTUP_NS:-}" != 1 ]; then
    inner='ip link set lo up && ORVAN_STARTUP_NS=1 ORVAN_NETNS=1 exec "$0" "$@"'
    if [ "$(id -u)" -eq 0 ] && unshare -n -m true 2>/dev/null; then
        exec unshare -n -m sh -c "$inner" "$0" "$@"
    elif unshare -r -n -m true 2>/dev/null; then
        exec unshare -r -n -m sh -c "$inner" "$0" "$@"
    fi
    echo "$0: needs private network and mount namespaces (unshare -n -m); not run" >&2
    exit 2
fi

. "$(dirname "$0")/common.sh"

BUILD=$(cd "$1" && pwd)
BIN=$BUILD/bench
ORVAN=$BUILD/src/orvan
RUNS=${ORVAN_BENCH_MAP_RUNS:-15}
TITLE="Velmar Soft Orvan v1.9.1"
NAMESERVER=127.0.0.53
OUT=$BUILD/bench-results
for exe in "$BIN"/bench-{mapwait,silent-dns} "$ORVAN"; do
    [ -x "$exe" ] || { echo "$0: $exe not built" >&2; exit 2; }
done
mkdir -p "$OUT"

TMP=$(mktemp -d)
XVFB_PID=
DNS_PID=
cleanup() {
    if [ -n "$DNS_PID" ]; then kill "$DNS_PID" 2>/dev/null; wait "$DNS_PID" 2>/dev/null; fi
    if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null; wait "$XVFB_PID" 2>/dev/null; fi
    rm -rf "$TMP"
}
trap cleanup EXIT

"$BIN/bench-silent-dns" "$NAMESERVER" 53 >"$TMP/dns" 2>&1 &
DNS_PID=$!
for _ in $(seq 50); do grep -q READY "$TMP/dns" && break; sleep 0.1; done
grep -q READY "$TMP/dns" || { echo "$0: the silent name server did not start:" >&2; cat "$TMP/dns" >&2; exit 1; }

HOST=$(hostname)
printf 'nameserver %s\n' "$NAMESERVER" >"$TMP/resolv.conf"
printf '127.0.0.1 localhost\n' >"$TMP/hosts-silent"
printf '127.0.0.1 localhost %s\n' "$HOST" >"$TMP/hosts-listed"
cp "$TMP/hosts-listed" "$TMP/hosts"
mount --bind "$TMP/resolv.conf" /etc/resolv.conf
mount --bind "$TMP/hosts" /etc/hosts
use_hosts() { cat "$TMP/hosts-$1" >"$TMP/hosts"; }  # the bind mount shows the new content

# The two set-ups are what they claim: the name resolves at once, or the lookup hangs.
use_hosts listed
timeout 2 "$BIN/bench-silent-dns" --lookup "$HOST" ||
    { echo "$0: $HOST does not resolve from the private /etc/hosts" >&2; exit 1; }
use_hosts silent
if timeout 1 "$BIN/bench-silent-dns" --lookup "$HOST"; then
    echo "$0: $HOST resolves without the name server; the figure would mean nothing" >&2
    exit 1
elif [ $? -ne 124 ]; then
    echo "$0: the lookup of $HOST failed at once instead of waiting for the name server" >&2
    exit 1
fi

start_xvfb "$TMP" "$OUT/startup-xvfb.log"
cd "$TMP"  # the program writes its history file here

map_once() {  # map_once HOSTS: milliseconds to the window being mapped, or nothing
    use_hosts "$1"
    "$BIN/bench-mapwait" "$TITLE" "$ORVAN" 2>>"$OUT/startup-mapwait.err" | cut -d= -f2
}
median() {
    sort -g | awk '{ v[NR] = $1 } END {
        if (NR == 0) print "nan"; else if (NR % 2) print v[(NR + 1) / 2];
        else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

echo "start-up with a silent name server: $RUNS launches each, alternating" >&2
: >"$OUT/startup-mapwait.err"
map_once listed >/dev/null || true  # the first launch reads the program and the fonts from disk
: >"$OUT/startup-listed"
: >"$OUT/startup-silent"
for _ in $(seq "$RUNS"); do
    map_once listed >>"$OUT/startup-listed" || true
    map_once silent >>"$OUT/startup-silent" || true
done

listed=$(median <"$OUT/startup-listed")
silent=$(median <"$OUT/startup-silent")
n_listed=$(grep -c . "$OUT/startup-listed" || true)
n_silent=$(grep -c . "$OUT/startup-silent" || true)
verdict=FAIL
if [ "$n_listed" -eq "$RUNS" ] && [ "$n_silent" -eq "$RUNS" ] &&
    awk "BEGIN { exit !($silent <= 2 * $listed) }"; then
    verdict=PASS
fi
printf '%-34s %s\n' "start-up, name in /etc/hosts" "mapped after $listed ms (median of $n_listed)"
printf '%-34s %s\n' "start-up, name server silent" "mapped after $silent ms (median of $n_silent)"
printf '%-34s %s   target <= 2.00   %s\n' "" \
    "ratio $(awk "BEGIN { printf \"%.2f\", $silent / $listed }" 2>/dev/null || echo nan)" "$verdict"
if [ -s "$OUT/startup-mapwait.err" ]; then
    echo "launch problems (see $OUT/startup-mapwait.err):" >&2
    sort "$OUT/startup-mapwait.err" | uniq -c >&2
fi
[ "$verdict" = PASS ]
