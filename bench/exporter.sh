#!/usr/bin/env bash
# orvan-exporter at fleet scale: 500 device simulators behind a veth pair, each its own scrape
# target, all scraped at once as one round of Prometheus's would be at worst. Every probe must
# answer in full, and the round within 10 % above the bound that the devices' reply time and
# the pacing set: at most --probe.parallel devices waited for at once, each answering after
# --delay, so ceil(N / parallel) replies one after another. A round to warm up, then five: the
# exporter's memory after the last may not be above the first's by more than 10 %.
#
# Usage: bench/exporter.sh BUILD_DIR
#   ORVAN_BENCH_EXPORTER_DEVICES=500  simulated devices (at most 1000)
#   ORVAN_BENCH_EXPORTER_DELAY=400    each device's reply time, milliseconds
# Exits 1 when a target is missed.
set -euo pipefail

. "$(dirname "$0")/common.sh"
bench_start "$0" "$@"
EXPORTER=$BUILD/src/exporter/orvan-exporter
DEVSIM=$BUILD/tools/devsim/orvan-devsim
N=${ORVAN_BENCH_EXPORTER_DEVICES:-500}
DELAY=${ORVAN_BENCH_EXPORTER_DELAY:-400}
PARALLEL=64
ROUNDS=5
LISTEN=127.0.0.1:9871
for exe in "$EXPORTER" "$DEVSIM"; do
    [ -x "$exe" ] || { echo "$0: $exe not built" >&2; exit 2; }
done
command -v curl >/dev/null || { echo "$0: needs curl" >&2; exit 2; }
[ "$N" -ge 1 ] && [ "$N" -le 1000 ] ||
    { echo "$0: ORVAN_BENCH_EXPORTER_DEVICES must be 1 to 1000" >&2; exit 2; }

TMP=$(mktemp -d)
FAR=
SIMS=()
EXP=
cleanup() {
    local p
    [ -n "$EXP" ] && { kill "$EXP" 2>/dev/null || true; wait "$EXP" 2>/dev/null || true; }
    for p in "${SIMS[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${SIMS[@]}"; do wait "$p" 2>/dev/null || true; done
    ip link del oxbench-h 2>/dev/null || true
    if [ -n "$FAR" ]; then kill "$FAR" 2>/dev/null || true; wait "$FAR" 2>/dev/null || true; fi
    rm -rf "$TMP"
}
trap cleanup EXIT

address() { echo "172.28.$(($1 / 250)).$(($1 % 250 + 2))"; }  # device I, from 0

# The far segment: a namespace held by a sleeping process, one address per device.
unshare -n sleep 3600 &
FAR=$!
sleep 0.1
far() { nsenter -t "$FAR" -n "$@"; }
ip link add oxbench-h type veth peer name oxbench-d
ip link set oxbench-d netns "$FAR"
ip addr add 172.28.255.1/16 dev oxbench-h
ip link set oxbench-h up
far ip link set lo up
far ip link set oxbench-d up
mkdir "$TMP/locks"
for i in $(seq 0 $((N - 1))); do
    a=$(address "$i")
    far ip addr add "$a/16" dev oxbench-d
    # Started by nsenter itself, so that $! is the simulator to stop.
    nsenter -t "$FAR" -n "$DEVSIM" --address "$a" --port 4000 --ip "$a" --delay "$DELAY" \
        --log-rate 1 >"$TMP/sim$i.log" 2>&1 &
    SIMS+=($!)
done
for i in $(seq 0 $((N - 1))); do
    for _ in $(seq 200); do grep -q listening "$TMP/sim$i.log" && break; sleep 0.05; done
done
ORVANCTL_LOCK_DIR=$TMP/locks "$EXPORTER" --web.listen-address "$LISTEN" --allow 172.28.0.0/16 \
    --probe.parallel "$PARALLEL" --probe.max-concurrent $((N + 16)) \
    --web.max-connections $((N + 16)) >"$TMP/exporter.log" 2>&1 &
EXP=$!
for _ in $(seq 100); do grep -q listening "$TMP/exporter.log" && break; sleep 0.05; done

# The URLs of one round, in two halves: curl runs at most 300 transfers at once.
half=$(((N + 1) / 2))
for part in 0 1; do
    for i in $(seq $((part * half)) $(((part + 1) * half - 1))); do
        [ "$i" -lt "$N" ] || break
        printf 'url = "http://%s/probe?target=%s"\noutput = "%s/out/%s"\n' "$LISTEN" \
            "$(address "$i")" "$TMP" "$i"
    done >"$TMP/urls$part"
done
rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$EXP/status"; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }

# verdict CONDITION: PASS, or FAIL and a mark (it runs in a command substitution)
verdict() { if awk "BEGIN { exit !($1) }"; then echo PASS; else touch "$TMP/failed"; echo FAIL; fi; }
round() {  # round: one scrape of every device at once; sets took (ms) and up
    rm -rf "$TMP/out"
    mkdir "$TMP/out"
    local t0 c0 c1
    t0=$(now_ms)
    curl -s --no-progress-meter -Z --parallel-immediate --parallel-max 300 -K "$TMP/urls0" &
    c0=$!
    curl -s --no-progress-meter -Z --parallel-immediate --parallel-max 300 -K "$TMP/urls1" &
    c1=$!
    wait "$c0" "$c1" || true
    took=$(($(now_ms) - t0))
    up=$(grep -l '^orvan_up 1$' "$TMP"/out/* 2>/dev/null | wc -l)
}
# A first round, not counted, puts the neighbour entries and the server's threads in place.
round
bound_ms=$(((N + PARALLEL - 1) / PARALLEL * DELAY))
echo "orvan-exporter benchmark: $N simulated devices replying after $DELAY ms, $PARALLEL at" \
    "once, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
first_rss=
for round in $(seq "$ROUNDS"); do
    sleep 1  # rounds come a scrape interval apart: the port is let go in between
    round
    rss=$(rss_kb)
    [ -n "$first_rss" ] || first_rss=$rss
    printf '%-5s round %s: %s of %s devices up\n' "$(verdict "$up == $N")" "$round" "$up" "$N"
    printf '%-5s round %s took %s ms; bound by reply time and pacing %s ms (target: within 10 %%' \
        "$(verdict "$took <= $bound_ms * 1.1")" "$round" "$took" "$bound_ms"
    printf ' above); exporter %s KiB resident\n' "$rss"
done
printf '%-5s memory after %s rounds %s KiB, after the first %s KiB (target: within 10 %%)\n' \
    "$(verdict "$rss <= $first_rss * 1.1")" "$ROUNDS" "$rss" "$first_rss"
holds=$(curl -s "http://$LISTEN/metrics" | sed -n 's/^orvan_exporter_port_holds_total //p')
echo "      the device port was taken $holds times for $(((ROUNDS + 1) * N)) probes"
[ ! -e "$TMP/failed" ]
