#!/usr/bin/env bash
# orvanctl where its files and its output fail it, against device simulators across a veth
# pair: an audit log on a full disk, stdout that cannot be written, device text made to look
# like a formula or like fields of a line, and a run stopped while it reads its plan.
#   orvanctl_io_test.sh ORVANCTL DEVSIM
# Skips (exit 77) unless run as root in a private namespace with ORVAN_NETNS=1.
set -u
ctl=$1 devsim=$2
n=19
. "$(dirname "$0")/../support/far_segment.sh"

run() {
    "$ctl" "$@" >"$work/out" 2>"$work/err"
    rc=$?
    out=$(cat "$work/out") err=$(cat "$work/err")
}
commands() { grep -c 'bytes: "<' "$work/$1.log"; }
times() { grep -c 'bytes: "USTTIME<' "$work/$1.log"; }

sim 2
sim 3 --mac '=HYPERLINK("x")+1'
sim 4 --mac 'X ip=6.6.6.6 telemetry_port=1'
for h in 5 6 7 8; do sim $h --mac "M-$h"; done
sim 9 --mac M-9 --ignore-commands
mkdir "$work/disk"

# on_full_disk SIZE FILL ARGS...: orvanctl ARGS --log FILE, FILE on a disk of SIZE that it
# fills but for FILL bytes; sets out, err, rc, and log (what the file then held).
on_full_disk() {
    unshare -m sh -c 'size=$1 disk=$2 fill=$3
        shift 3
        mount -t tmpfs -o "size=$size" orvan-full "$disk" || exit 99
        head -c "$fill" /dev/zero | tr "\0" x >"$disk/site.log"
        "$@" --log "$disk/site.log"
        rc=$?
        cat "$disk/site.log" >"$disk.copy"
        exit $rc' sh "$1" "$work/disk" "$2" "$ctl" "${@:3}" >"$work/out" 2>"$work/err"
    rc=$? out=$(cat "$work/out") err=$(cat "$work/err") log=$(cat "$work/disk.copy")
}

case_name="audit log on a full disk: the command is not sent"
# A disk of one page, its log filled to a few bytes short of it: the next line fits in part.
for args in "set $net.2 --telemetry-port 7100" "time $net.2"; do
    c2=$(commands 2) t2=$(times 2)
    # shellcheck disable=SC2086
    on_full_disk 4k 4090 $args
    expect_eq "exit, $args" 9 "$rc"
    expect_has "stderr names the file and the reason, $args" "--log: cannot write $work/disk/site.log: " "$err"
    expect_has "stderr says nothing went out, $args" "nothing sent to $net.2" "$err"
    expect_eq "commands to the device, $args" "$c2 $t2" "$(commands 2) $(times 2)"
done

case_name="apply on a disk that fills mid-run: every device that got its command is reported"
run set "$net.5" --h323-port 7301 --log "$work/one.log"
line=$(($(wc -c <"$work/one.log")))
printf '[{"address": "%s.5", "h323_port": %s}, {"address": "%s.6", "h323_port": %s},
  {"address": "%s.7", "h323_port": %s}, {"address": "%s.8", "h323_port": %s}]\n' \
    "$net" 7300 "$net" 7300 "$net" 7300 "$net" 7300 >"$work/fill.json"
for how in text json; do
    before=$(for h in 5 6 7 8; do commands $h; done)
    extra=(); [ $how = json ] && extra=(--json) && sed -i 's/7300/7302/g' "$work/fill.json"
    # Room for two lines and a half (and the line break the filling lacks).
    on_full_disk 8k $((8192 - 2 * line - line / 2 - 1)) apply "$work/fill.json" "${extra[@]}"
    expect_eq "exit, $how" 9 "$rc"
    got=0
    for h in 5 6 7 8; do
        sent=$(($(commands $h) - $(sed -n "$((h - 4))p" <<<"$before")))
        got=$((got + sent))
        if [ $how = text ]; then
            [ "$sent" = 1 ] && expect_has "result of $net.$h, $how" "$net.$h changed h323_port" "$out"
        else
            [ "$sent" = 1 ] && expect_has "result of $net.$h, $how" "{\"address\":\"$net.$h\",\"result\":\"changed\"" "$out"
        fi
    done
    expect_eq "commands, $how" 2 "$got"
    expect_eq "results that changed, $how" 2 "$(grep -c 'changed h323_port\|"result":"changed"' <<<"$out")"
    expect_eq "lines in the log, $how" 2 "$(grep -c '"result":"changed"}$' <<<"$log")"
    expect_has "summary, $how" "summary: 4 devices, 2 changed, 0 unchanged, 2 failed" "$out$err"
    expect_has "where it stopped, $how" "orvanctl: --log: cannot write $work/disk/site.log: " "$err"
done

case_name="restore on a disk that fills mid-run: every result, the summary, where it stopped"
"$ctl" backup "$net.5" "$net.6" "$net.7" "$net.8" --dir "$work/bk" >/dev/null 2>&1
sed -i 's/7302/7303/g' "$work/fill.json"
run apply "$work/fill.json"  # every device now differs from its backup
on_full_disk 8k $((8192 - 2 * line - line / 2 - 1)) restore "$work/bk"
expect_eq "exit" 9 "$rc"
expect_eq "results, of which changed" "4 2" "$(wc -l <<<"$out") $(grep -c ' changed h323_port' <<<"$out")"
expect_has "summary, then where it stopped" "restore: 4 files, 2 restored, 0 unchanged, 0 not the device of their file, 2 failed, 0 skipped
orvanctl: --log: cannot write $work/disk/site.log: " "$err"

case_name="audit log after a verify failure: a second line with its result"
run set "$net.9" --telemetry-port 7100 --verify --timeout 0.3 --retries 1 --log "$work/verify.log"
expect_eq "exit" 6 "$rc"
expect_eq "results in the log" "changed verify-failed" \
    "$(grep -o '"result":"[a-z-]*"' "$work/verify.log" | cut -d'"' -f4 | tr '\n' ' ' | sed 's/ $//')"

case_name="audit log locked by another program: a bounded wait, the holder named, nothing sent"
: >"$work/locked.log"
python3 -c 'import fcntl, sys, time
f = open(sys.argv[1])
fcntl.flock(f, fcntl.LOCK_SH)
print("held", flush=True)
time.sleep(60)' "$work/locked.log" >"$work/holder.out" &
holder=$!
for _ in $(seq 100); do grep -q held "$work/holder.out" && break; sleep 0.05; done
c2=$(commands 2)
run set "$net.2" --telemetry-port 7500 --log "$work/locked.log" --port-wait 0.5
expect_eq "exit" 9 "$rc"
expect_eq "stderr" "orvanctl: --log: $work/locked.log is locked by another program (python3, process $holder) for longer than --port-wait 0.5 s; nothing sent" "$err"
"$ctl" set "$net.2" --telemetry-port 7500 --log "$work/locked.log" >"$work/out" 2>"$work/err" &
waiting=$!
sleep 0.5
"$ctl" get "$net.2" --port-wait 0 >/dev/null 2>"$work/err2"
expect_eq "the device port is free while a run waits for the log" "0:" "$?:$(cat "$work/err2")"
kill -TERM $waiting
wait $waiting
expect_eq "exit, SIGTERM while waiting" 130 "$?"
expect_eq "stderr, SIGTERM while waiting" "orvanctl: interrupted while another program (python3, process $holder) held the lock on $work/locked.log; nothing sent" "$(cat "$work/err")"
expect_eq "commands" "$c2" "$(commands 2)"
kill $holder
wait $holder 2>/dev/null

case_name="get interrupted: 130 and the message"
"$ctl" get "$net.99" --timeout 10 >"$work/out" 2>"$work/err" &
pid=$!
sleep 0.3
kill -INT $pid
wait $pid
expect_eq "exit" 130 "$?"
expect_eq "stderr" "orvanctl: $net.99: interrupted; nothing sent" "$(cat "$work/err")"

case_name="audit log without its last line break: the next line starts a line"
printf '{"cut":' >"$work/cut.log"
run set "$net.2" --h323-port 7200 --log "$work/cut.log"
expect_eq "exit" 0 "$rc"
expect_eq "first line kept" '{"cut":' "$(head -n 1 "$work/cut.log")"
expect_has "second line whole" "\"result\":\"changed\"}" "$(sed -n 2p "$work/cut.log")"
expect_eq "lines" 2 "$(wc -l <"$work/cut.log")"

case_name="output that cannot be written is an error, a closed pipe is quiet"
echo "[{\"address\": \"$net.2\", \"h323_port\": 7201}]" >"$work/plan.json"
for args in "get $net.2 --json" "scan $net.0/29 --csv" "apply $work/plan.json --json"; do
    # shellcheck disable=SC2086
    "$ctl" $args >/dev/full 2>"$work/err"
    expect_eq "exit for $args > /dev/full" 1 "$?"
    expect_eq "stderr for $args > /dev/full" "orvanctl: cannot write the output: No space left on device" "$(cat "$work/err")"
done
"$ctl" get "$net.2" --json 2>"$work/err" | true
expect_eq "exit into a closed pipe" 141 "${PIPESTATUS[0]}"
expect_eq "stderr into a closed pipe" "" "$(cat "$work/err")"

case_name="CSV: no formulas, read back to the same bytes"
run scan "$net.0/29" --csv
expect_eq "exit" 0 "$rc"
line=$(grep "^$net.3," "$work/out")
expect_has "formula guarded" ",\"'=HYPERLINK(\"\"x\"\")+1\"" "$line"
grep -v "^$net.4," "$work/out" >"$work/scan.csv"
c3=$(commands 3)
run apply "$work/scan.csv"
expect_eq "exit, apply of the scan" 0 "$rc"
expect_has "read back unchanged" "$net.3 unchanged" "$out"
expect_eq "commands, apply of the scan" "$c3" "$(commands 3)"

case_name="text lines: device text cannot pass for fields"
run scan "$net.4/32"
expect_eq "scan line" "$net.4 mac=\"X ip=6.6.6.6 telemetry_port=1\" ip=$net.4 telemetry_port=7001 h323_port=7002" "$out"
run set "$net.2" --mac 'M1; verified at 10.0.0.1' --verify
expect_has "set line" "-> \"M1; verified at 10.0.0.1\"; verified at $net.2" "$out"
printf 'address,telemetry_port\n%s,70\r06\n' "$net.2" >"$work/cr.csv"
run apply "$work/cr.csv"
expect_eq "exit, a CR in a plan" 2 "$rc"
expect_eq "stderr, a CR in a plan" "orvanctl: plan entry 1 ($net.2): telemetry_port: '70\\x0D06' is not a port number (1 to 65535)" "$err"

case_name="Ctrl+C while the plan is read: 130, nothing sent"
mkfifo "$work/fifo"
c2=$(commands 2)
"$ctl" apply - <"$work/fifo" >"$work/out" 2>"$work/err" &
pid=$!
exec 3>"$work/fifo"
printf '[{"address": "%s", "h323_port": 7300}' "$net.2" >&3
sleep 0.3
kill -INT $pid
wait $pid
expect_eq "exit" 130 "$?"
exec 3>&-
expect_eq "commands" "$c2" "$(commands 2)"

[ "$failures" -eq 0 ] || exit 1
echo "all cases passed"
