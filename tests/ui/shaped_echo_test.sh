#!/usr/bin/env bash
# Runs the window's echo test in a network namespace of its own, where the listener's replies
# leave loopback at 8 kbit/s, so that its send buffer fills up.
#   shaped_echo_test.sh <form1_udp_test> <port>
set -u
test_bin=$1 port=$2
inner='
    ip link set lo up &&
    tc qdisc add dev lo root handle 1: htb default 10 2>/dev/null &&
    tc class add dev lo parent 1: classid 1:10 htb rate 10gbit 2>/dev/null &&
    tc class add dev lo parent 1: classid 1:20 htb rate 8kbit burst 2k 2>/dev/null &&
    tc filter add dev lo parent 1: protocol ip u32 match ip sport "$2" 0xffff flowid 1:20 ||
    { echo "skipped: traffic control is not available"; exit 77; }
    QT_QPA_PLATFORM=offscreen ORVAN_SHAPED_ECHO_PORT=$2 exec "$1" echoNeverWaitsForRoom
'
if ! command -v tc >/dev/null; then
    echo "skipped: tc (iproute2) is needed"
    exit 77
fi
if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
    exec unshare -n sh -c "$inner" sh "$test_bin" "$port"
elif unshare -rn true 2>/dev/null; then
    exec unshare -rn sh -c "$inner" sh "$test_bin" "$port"
fi
echo "skipped: no private network namespace here"
exit 77
