#!/usr/bin/env bash
# orvanctl at building scale: 50 device simulators on one /24 behind a veth pair. A scan of
# the /24 (every device found; total time against the bound that the rate and the wait set),
# and a 50-device plan applied with --verify at --parallel 1 and --parallel 8 (every device
# verified; target: 8 at once at least 4 times faster).
#
# Usage: bench/orvanctl.sh BUILD_DIR
#   ORVAN_BENCH_DEVICES=50   simulated devices (at most 200)
#   ORVAN_BENCH_SCAN_RATE=500  requests per second for the scan
# Exits 1 when a target is missed.
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi

. "$(dirname "$0")/common.sh"
in_private_namespace "$0" "$@"

BUILD=$(cd "$1" && pwd)
CTL=$BUILD/src/orvanctl/orvanctl
DEVSIM=$BUILD/tools/devsim/orvan-devsim
N=${ORVAN_BENCH_DEVICES:-50}
RATE=${ORVAN_BENCH_SCAN_RATE:-500}
WAIT=1
NET=172.30.0
for exe in "$CTL" "$DEVSIM"; do
    [ -x "$exe" ] || { echo "$0: $exe not built" >&2; exit 2; }
done
[ "$N" -ge 1 ] && [ "$N" -le 200 ] || { echo "$0: ORVAN_BENCH_DEVICES must be 1 to 200" >&2; exit 2; }

TMP=$(mktemp -d)
FAR=
SIMS=()
cleanup() {
    local p
    for p in "${SIMS[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${SIMS[@]}"; do wait "$p" 2>/dev/null || true; done
    ip link del obench-h 2>/dev/null || true
    if [ -n "$FAR" ]; then kill "$FAR" 2>/dev/null || true; wait "$FAR" 2>/dev/null || true; fi
    rm -rf "$TMP"
}
trap cleanup EXIT

# The far segment: a namespace held by a sleeping process, one address per device.
unshare -n sleep 3600 &
FAR=$!
sleep 0.1
far() { nsenter -t "$FAR" -n "$@"; }
ip link add obench-h type veth peer name obench-d
ip link set obench-d netns "$FAR"
ip addr add "$NET.1/24" dev obench-h
ip link set obench-h up
far ip link set lo up
far ip link set obench-d up
for i in $(seq "$N"); do
    host=$((i + 9))
    far ip addr add "$NET.$host/24" dev obench-d
    far "$DEVSIM" --address "$NET.$host" --port 4000 --ip "$NET.$host" >"$TMP/sim$host.log" 2>&1 &
    SIMS+=($!)
done
for i in $(seq "$N"); do
    host=$((i + 9))
    for _ in $(seq 100); do grep -q listening "$TMP/sim$host.log" && break; sleep 0.05; done
done

status=0
verdict() {  # verdict CONDITION: PASS, or FAIL and the status set
    if awk "BEGIN { exit !($1) }"; then echo PASS; else status=1; echo FAIL; fi
}
now_ms() { echo $(($(date +%s%N) / 1000000)); }

echo "orvanctl benchmark: $N simulated devices on $NET.0/24, $(nproc) cores," \
    "load average $(cut -d' ' -f1-3 /proc/loadavg)"

# ---- scan ------------------------------------------------------------------------------------
t0=$(now_ms)
"$CTL" scan "$NET.0/24" --rate "$RATE" --wait "$WAIT" >"$TMP/scan.out" 2>"$TMP/scan.err" || true
scan_ms=$(($(now_ms) - t0))
found=$(wc -l <"$TMP/scan.out")
bound_ms=$(awk -v r="$RATE" -v w="$WAIT" 'BEGIN { printf "%d", 254 / r * 1000 + w * 1000 }')
printf '%-5s scan /24 at %s/s, wait %s s: found %s of %s\n' \
    "$(verdict "$found == $N")" "$RATE" "$WAIT" "$found" "$N"
printf '%-5s scan took %s ms; bound by rate and wait %s ms (target: within 10 %% above)\n' \
    "$(verdict "$scan_ms <= $bound_ms * 1.1")" "$scan_ms" "$bound_ms"

# ---- apply -----------------------------------------------------------------------------------
plan() {  # plan TELEMETRY_PORT: every device to that port, with its MAC made its own
    local i host sep=
    echo "["
    for i in $(seq "$N"); do
        host=$((i + 9))
        printf '%s{"address": "%s.%s", "telemetry_port": %s, "mac": "02-00-5E-00-00-%02X"}\n' \
            "$sep" "$NET" "$host" "$1" "$host"
        sep=,
    done
    echo "]"
}
apply_run() {  # apply_run PARALLEL TELEMETRY_PORT: prints the milliseconds it took
    plan "$2" >"$TMP/plan$1.json"
    local t
    t=$(now_ms)
    "$CTL" apply "$TMP/plan$1.json" --verify --parallel "$1" >"$TMP/apply$1.out" \
        2>"$TMP/apply$1.err" || true
    echo $(($(now_ms) - t))
}
p1_ms=$(apply_run 1 7101)
p8_ms=$(apply_run 8 7108)
for p in 1 8; do
    verified=$(grep -c 'changed .*; verified at' "$TMP/apply$p.out" || true)
    printf '%-5s apply --parallel %s: %s of %s devices changed and verified (%s)\n' \
        "$(verdict "$verified == $N")" "$p" "$verified" "$N" "$(tail -n1 "$TMP/apply$p.out")"
done
ratio=$(awk -v a="$p1_ms" -v b="$p8_ms" 'BEGIN { printf "%.2f", a / b }')
printf '%-5s apply took %s ms at --parallel 1, %s ms at --parallel 8: %sx (target >= 4x)\n' \
    "$(verdict "$ratio >= 4")" "$p1_ms" "$p8_ms" "$ratio"
exit $status
