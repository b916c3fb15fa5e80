#!/usr/bin/env bash
# orvanctl at building scale: 50 device simulators on one /24 behind a veth pair. A scan of
# the /24 (every device found; total time against the bound that the rate and the wait set),
# and a 50-device plan applied with --verify at --parallel 1 and --parallel 8 (every device
# verified; target: 8 at once at least 4 times faster). Then a scan of a /16 on one link with
# 200 simulators spread across it: every device found, the time against the bound that the
# rate and the wait set and against the one the kernel sets (a request to a silent address
# holds its neighbour entry, and about 832 bytes of the socket's send buffer, until the kernel
# gives up resolving it, about 3 s later), and orvanctl's peak memory.
# That scan fills this machine's neighbour table, which every network namespace shares, for
# its whole run: run it on a quiet machine.
#
# Usage: bench/orvanctl.sh BUILD_DIR
#   ORVAN_BENCH_DEVICES=50   simulated devices (at most 200)
#   ORVAN_BENCH_SCAN_RATE=500  requests per second for the scan
#   ORVAN_BENCH_WIDE_DEVICES=200  simulators spread across the /16 (0: no /16 scan)
#   ORVAN_BENCH_WIDE_RATE=10000   requests per second for the /16 scan
# Exits 1 when a target is missed.
set -euo pipefail

. "$(dirname "$0")/common.sh"
bench_start "$0" "$@"
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
    ip link del obench16-h 2>/dev/null || true
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
# Started by nsenter itself, not through a function, so that $! is the simulator to stop.
for i in $(seq "$N"); do
    host=$((i + 9))
    far ip addr add "$NET.$host/24" dev obench-d
    nsenter -t "$FAR" -n "$DEVSIM" --address "$NET.$host" --port 4000 --ip "$NET.$host" \
        >"$TMP/sim$host.log" 2>&1 &
    SIMS+=($!)
done
for i in $(seq "$N"); do
    host=$((i + 9))
    for _ in $(seq 100); do grep -q listening "$TMP/sim$host.log" && break; sleep 0.05; done
done

status=0
verdict() {  # verdict CONDITION: PASS, or FAIL and a mark (it runs in a command substitution)
    if awk "BEGIN { exit !($1) }"; then echo PASS; else touch "$TMP/failed"; echo FAIL; fi
}
finish() {
    [ -e "$TMP/failed" ] && status=1
    exit $status
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

# ---- backup and restore (50 devices, 8 at once) ----------------------------------------------
backup_restore() {
    local t backup_ms restore_ms saved restored
    plan 7108 >"$TMP/targets.json"
    t=$(now_ms)
    "$CTL" backup "$TMP/targets.json" --dir "$TMP/backup" --parallel 8 >"$TMP/backup.out" \
        2>"$TMP/backup.err" || true
    backup_ms=$(($(now_ms) - t))
    saved=$(grep -c ' saved ' "$TMP/backup.out" || true)
    printf '%-5s backup --parallel 8: %s of %s devices saved in %s ms\n' \
        "$(verdict "$saved == $N")" "$saved" "$N" "$backup_ms"
    plan 7200 >"$TMP/drift.json"
    "$CTL" apply "$TMP/drift.json" --parallel 8 >/dev/null 2>&1 || true
    t=$(now_ms)
    "$CTL" restore "$TMP/backup" --verify --parallel 8 >"$TMP/restore.out" \
        2>"$TMP/restore.err" || true
    restore_ms=$(($(now_ms) - t))
    restored=$(grep -c 'changed telemetry_port 7200 -> 7108; verified at' "$TMP/restore.out" || true)
    printf '%-5s restore --verify --parallel 8: %s of %s devices restored and verified in %s ms\n' \
        "$(verdict "$restored == $N")" "$restored" "$N" "$restore_ms"
}
backup_restore

# ---- reading plans ---------------------------------------------------------------------------
# Plans of 16 MiB in the shapes that once took time or memory growing with the square of their
# size, each read whole and refused (nothing sent). Times are against a 1 MiB plan of valid
# entries read in the same run (its 16 MiB twin must stay within 32x: linear is 16x), memory
# against the file's size.
MIB=$((1 << 20))
valid_plan() {  # valid_plan BYTES: entries with long MAC texts, the last one's address twice
    awk -v bytes="$1" 'BEGIN {
        mac = sprintf("%0200d", 0); each = length("{\"address\":\"10.0.0.0\",\"mac\":\"" mac "\"},")
        n = int((bytes - 40) / (each + 4)); printf "["
        for (i = 0; i < n; i++)
            printf "{\"address\":\"10.%d.%d.%d\",\"mac\":\"%s\"},", int(i / 65536) % 256, int(i / 256) % 256, i % 256, mac
        printf "{\"address\":\"10.0.0.0\"}]" }'
}
shape() {  # shape NAME: a 16 MiB plan of that shape on stdout
    local bytes=$((16 * MIB))
    case $1 in
    objects) awk -v n=$(((bytes - 2) / 3)) 'BEGIN { printf "["; for (i = 0; i < n; i++) printf "%s{}", (i ? "," : ""); printf "]" }' ;;
    nested) awk -v n=$((bytes / 2)) 'BEGIN { s = "["; t = "]"; for (i = 1; i < n; i *= 2) { s = s s; t = t t }; printf "%s%s", s, t }' ;;
    keys) awk -v n=$(((bytes - 4) / 10)) 'BEGIN { printf "[{"; for (i = 0; i < n; i++) printf "%s\"k%06d\":0", (i ? "," : ""), i % 1000000; printf "}]" }' ;;
    string) awk -v n=$((bytes - 4)) 'BEGIN { s = "a"; while (length(s) < n) s = s s; printf "[\"%s\"]", substr(s, 1, n) }' ;;
    valid) valid_plan "$bytes" ;;
    esac
}
read_plan() {  # read_plan FILE: "SECONDS KIB" of orvanctl reading it
    /usr/bin/time -f '%e %M' -o "$TMP/read.time" "$CTL" apply "$1" --dry-run >/dev/null 2>&1 || true
    tail -n 1 "$TMP/read.time"
}
valid_plan "$MIB" >"$TMP/ref.json"
read -r ref_s ref_kb <<<"$(read_plan "$TMP/ref.json")"
printf '      reference: a 1 MiB plan of valid entries read in %s s, peak memory %s KiB\n' "$ref_s" "$ref_kb"
for name in objects nested keys string valid csv; do
    if [ "$name" = csv ]; then
        awk -v bytes=$((16 * MIB)) 'BEGIN { mac = sprintf("%0200d", 0); n = int((bytes - 40) / 220)
            print "address,mac"; for (i = 0; i < n; i++) printf "10.%d.%d.%d,%s\n", int(i / 65536) % 256, int(i / 256) % 256, i % 256, mac
            print "10.0.0.0," }' >"$TMP/shape.csv"
        file=$TMP/shape.csv
    else
        shape "$name" >"$TMP/shape.json"
        file=$TMP/shape.json
    fi
    size_kb=$(($(stat -c %s "$file") / 1024))
    is_valid=$([ "$name" = valid ] && echo 1 || echo 0)
    read -r s kb <<<"$(read_plan "$file")"
    ratio=$(awk -v a="$s" -v b="$ref_s" 'BEGIN { printf "%.1f", a / (b > 0.01 ? b : 0.01) }')
    mem=$(awk -v a="$kb" -v b="$size_kb" 'BEGIN { printf "%.1f", a / b }')
    printf '%-5s read a 16 MiB plan (%s): %s s, %sx the reference (target: <= 5 s%s); peak memory %s KiB, %sx the file (target: <= 8x)\n' \
        "$(verdict "$s <= 5 && $mem <= 8 && ($is_valid == 0 || $ratio <= 32)")" "$name" "$s" "$ratio" \
        "$([ "$name" = valid ] && echo ', <= 32x')" "$kb" "$mem"
done

# ---- a /16 on one link -----------------------------------------------------------------------
WIDE=${ORVAN_BENCH_WIDE_DEVICES:-200}
WIDE_RATE=${ORVAN_BENCH_WIDE_RATE:-10000}
[ "$WIDE" -ge 0 ] && [ "$WIDE" -le 200 ] ||
    { echo "$0: ORVAN_BENCH_WIDE_DEVICES must be 0 to 200" >&2; exit 2; }
[ "$WIDE" -eq 0 ] && finish
WIDE_NET=10.213
ip link add obench16-h type veth peer name obench16-d
ip link set obench16-d netns "$FAR"
ip addr add "$WIDE_NET.0.1/16" dev obench16-h
ip link set obench16-h up
far ip link set obench16-d up
wide_hosts=()
for i in $(seq 0 $((WIDE - 1))); do
    h=$((2 + i * 327))  # 2 to 65075: every part of the range
    wide_hosts+=("$WIDE_NET.$((h / 256)).$((h % 256))")
done
for a in "${wide_hosts[@]}"; do
    far ip addr add "$a/16" dev obench16-d
    nsenter -t "$FAR" -n "$DEVSIM" --address "$a" --port 4000 --ip "$a" >"$TMP/wide-$a.log" 2>&1 &
    SIMS+=($!)
done
for a in "${wide_hosts[@]}"; do
    for _ in $(seq 100); do grep -q listening "$TMP/wide-$a.log" && break; sleep 0.05; done
done
# Requests in flight to silent addresses: as many as the neighbour table and the send buffer
# hold; each for as long as the kernel tries to resolve its address.
table=$(cat /proc/sys/net/ipv4/neigh/default/gc_thresh3 2>/dev/null || echo 1024)
sndbuf=$(cat /proc/sys/net/core/wmem_default 2>/dev/null || echo 212992)
inflight=$((sndbuf / 832 < table ? sndbuf / 832 : table))
solicit=$(cat /proc/sys/net/ipv4/neigh/obench16-h/mcast_solicit)
retrans=$(cat /proc/sys/net/ipv4/neigh/obench16-h/retrans_time_ms)
/usr/bin/time -f '%e %M' -o "$TMP/wide.time" \
    "$CTL" scan "$WIDE_NET.0.0/16" --rate "$WIDE_RATE" --wait "$WAIT" --retries 0 --json \
    >"$TMP/wide.out" 2>"$TMP/wide.err" || true
read -r wide_s wide_kb <"$TMP/wide.time"
wide_found=$(grep -c '"address"' "$TMP/wide.out" || true)
wide_ms=$(awk -v s="$wide_s" 'BEGIN { printf "%d", s * 1000 }')
rate_bound_ms=$(awk -v r="$WIDE_RATE" -v w="$WAIT" 'BEGIN { printf "%d", 65534 / r * 1000 + w * 1000 }')
# Each batch in flight but the last waits out the hold, and at most one of the scan's 100 ms
# pauses, before the next can go.
table_bound_ms=$(awk -v t="$inflight" -v s="$solicit" -v m="$retrans" -v w="$WAIT" \
    'BEGIN { b = int((65534 + t - 1) / t); printf "%d", (b - 1) * (s * m + 100) + w * 1000 }')
bound_ms=$((rate_bound_ms > table_bound_ms ? rate_bound_ms : table_bound_ms))
printf '%-5s scan /16 on one link at %s/s: found %s of %s\n' \
    "$(verdict "$wide_found == $WIDE")" "$WIDE_RATE" "$wide_found" "$WIDE"
printf '%-5s scan took %s ms; bound by rate and wait %s ms, by the kernel %s ms (%s requests in flight, %s x %s ms to give up on each; target: within 10 %% above the larger)\n' \
    "$(verdict "$wide_ms <= $bound_ms * 1.1")" "$wide_ms" "$rate_bound_ms" "$table_bound_ms" \
    "$inflight" "$solicit" "$retrans"
printf '      orvanctl peak memory %s KiB; its summary: %s\n' "$wide_kb" \
    "$(grep -v '^orvanctl: scan: [0-9]* of [0-9]* asked' "$TMP/wide.err" | tail -n 2 | tr '\n' ' ')"
finish
