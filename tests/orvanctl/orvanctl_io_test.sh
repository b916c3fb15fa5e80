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

sim 2
sim 3 --mac '=HYPERLINK("x")+1'
sim 4 --mac 'X ip=6.6.6.6 telemetry_port=1'

case_name="audit log on a full disk: the command is not sent"
mkdir "$work/disk"
# A disk of one page, its log filled to a few bytes short of it: the next line fits in part.
unshare -m sh -c 'mount -t tmpfs -o size=4k orvan-full "$1" && head -c 4090 /dev/zero | tr "\0" x >"$1/site.log" &&
    exec "$2" set "$3" --telemetry-port 7100 --log "$1/site.log"' sh "$work/disk" "$ctl" "$net.2" \
    >"$work/out" 2>"$work/err"
rc=$? err=$(cat "$work/err")
expect_eq "exit" 9 "$rc"
expect_has "stderr names the file and the reason" "--log: cannot write $work/disk/site.log: " "$err"
expect_has "stderr says nothing went out" "nothing sent to $net.2" "$err"
expect_eq "commands to the device" 0 "$(commands 2)"

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
