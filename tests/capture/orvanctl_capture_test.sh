#!/usr/bin/env bash
# orvanctl --capture against the device simulator on loopback: the request "GO" and the
# device's reply in the file with their addresses, ports and exact bytes, in time order; the
# option on every subcommand; an existing file refused before anything is sent.
#   orvanctl_capture_test.sh ORVANCTL DEVSIM
set -u
CTL=$1 DEVSIM=$2
PORT=4731  # not the device's default, so that nothing else on loopback is disturbed
TMP=$(mktemp -d)
SIM=
cleanup() {
    if [ -n "$SIM" ]; then kill "$SIM" 2>/dev/null; wait "$SIM" 2>/dev/null; fi
    rm -rf "$TMP"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
fields() { tshark -n -r "$1" -T fields "${@:2}" 2>/dev/null; }
hex() { od -An -v -tx1 | tr -d ' \n'; }
cd "$TMP" || exit 1

for sub in get set time scan apply backup restore; do
    help=$("$CTL" "$sub" --help 2>&1)
    for option in --capture --capture-limit --capture-overwrite; do
        grep -q -- "$option" <<<"$help" || fail "orvanctl $sub --help does not list $option"
    done
done

"$DEVSIM" --address 127.0.0.2 --port "$PORT" >sim.log 2>&1 &
SIM=$!
for _ in $(seq 50); do
    grep -q . sim.log 2>/dev/null && break
    sleep 0.1
done

# The device's reply as a plain socket receives it: the bytes the capture must hold.
reply=$(printf GO | timeout 5 socat -t 2 - "UDP-DATAGRAM:127.0.0.2:$PORT,bind=127.0.0.3:$PORT" |
    hex)
[ -n "$reply" ] || fail "the simulator did not answer socat"

"$CTL" get 127.0.0.2 --port "$PORT" --capture get.pcapng >get.out 2>get.err ||
    fail "orvanctl get failed: $(cat get.err)"
got=$(fields get.pcapng -e frame.packet_flags_direction -e ip.src -e udp.srcport -e ip.dst \
    -e udp.dstport -e udp.payload)
expected="0x00000002	127.0.0.1	$PORT	127.0.0.2	$PORT	474f
0x00000001	127.0.0.2	$PORT	127.0.0.1	$PORT	$reply"
[ "$got" = "$expected" ] || fail "get's capture:
$got
expected:
$expected"
times=$(fields get.pcapng -e frame.time_epoch)
sort -g -c <<<"$times" 2>/dev/null || fail "packets out of time order: $times"
now=$(date +%s)
for t in $times; do  # dated when sent or received, in seconds since 1970
    [ $((${t%.*} - now)) -le 5 ] && [ $((now - ${t%.*})) -le 5 ] || fail "a packet dated $t at $now"
done
grep -q "^mac  *00-AC-6E-24-18-02" get.out || fail "get printed: $(cat get.out)"

# With -v too: both taps see every datagram.
"$CTL" get 127.0.0.2 --port "$PORT" -v --capture verbose.pcapng >/dev/null 2>verbose.err ||
    fail "orvanctl get -v failed: $(cat verbose.err)"
[ "$(fields verbose.pcapng -e udp.payload | wc -l)" = 2 ] || fail "get -v captured no exchange"
[ "$(grep -c '127.0.0.2' verbose.err)" -ge 2 ] || fail "get -v printed: $(cat verbose.err)"

"$CTL" time 127.0.0.2 --port "$PORT" --capture time.pcapng >/dev/null 2>time.err ||
    fail "orvanctl time failed: $(cat time.err)"
# time reads the device first, then sends the clock.
payload=$(fields time.pcapng -e frame.packet_flags_direction -e udp.payload)
[ "$(head -n 2 <<<"$payload")" = "0x00000002	474f
0x00000001	$reply" ] || fail "time's capture does not begin with the read: $payload"
[[ "$(sed -n 3p <<<"$payload")" == "0x00000002	$(printf USTTIME | hex)"* ]] ||
    fail "time's capture has no clock command third: $payload"
[ "$(wc -l <<<"$payload")" = 3 ] || fail "time's capture: $payload"

# An existing file: refused before anything is sent, the file left as it was.
echo old >old.pcapng
"$CTL" get 127.0.0.2 --port "$PORT" --timeout 0.2 --retries 0 --capture old.pcapng \
    >/dev/null 2>old.err
status=$?
[ "$status" = 2 ] || fail "an existing capture file: exit $status, expected 2"
[ "$(cat old.err)" = "orvanctl: Cannot create capture file old.pcapng: it exists (--capture-overwrite replaces it)" ] ||
    fail "an existing capture file: said $(cat old.err)"
[ "$(cat old.pcapng)" = old ] || fail "the existing file was written"
"$CTL" get 127.0.0.2 --port "$PORT" --capture-limit 5 >/dev/null 2>&1
status=$?
[ "$status" = 2 ] || fail "--capture-limit without --capture: exit $status, expected 2"

[ "$failures" -eq 0 ] && echo "all orvanctl capture checks passed"
[ "$failures" -eq 0 ]
