#!/usr/bin/env bash
# The host's own addresses on a Debian-style host, whose name resolves to 127.0.1.1 alone:
# with none, one and two interfaces up (and one with an address down all along), what the
# address labels show and what the history file holds, through the window (headless probe) and
# through the real program on a private X server, closed as the operator closes it.
#   own_addresses_test.sh <probe> <orvan> <xwin>
set -u
probe=$1 orvan=$2 xwin=$3
if [ "${OWN_ADDRESSES_INSIDE:-}" != 1 ]; then
    if ! OWN_ADDRESSES_INSIDE=1 unshare -n -m true 2>/dev/null; then
        echo "skipped: no private network and mount namespaces"
        exit 77
    fi
    exec env OWN_ADDRESSES_INSIDE=1 unshare -n -m "$0" "$@"
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '127.0.0.1 localhost\n127.0.1.1 %s\n' "$(hostname)" >"$work/hosts"
mount --bind "$work/hosts" /etc/hosts || exit 2
ip link set lo up

status=0
check() {  # check <what> <expected> <got>
    if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1: want '$2', got '$3'"; status=1; fi
}
history() { if [ -f "$1" ]; then od -An -c "$1" | tr -s ' \n' ' '; else echo none; fi; }
up() {  # up <link> <address>: a veth pair with both ends up, the address on the first
    ip link add "$1" type veth peer name "$1p" && ip addr add "$2/24" dev "$1" &&
        ip link set "$1" up && ip link set "$1p" up
}

# cases: links to bring up, the labels, the history file
run_case() {
    local name=$1 labels=$2 file=$3
    mkdir "$work/$name" && cd "$work/$name" || exit 2
    check "$name: labels" "$labels" "$(QT_QPA_PLATFORM=offscreen timeout -k 5 60 "$probe")"
    check "$name: history" "$(printf "$file" >../expected; history ../expected)" "$(history iphist.dat)"
}
# Created first, so that the system lists its address before the others.
ip link add d0 type veth peer name d0p && ip addr add 10.199.0.1/24 dev d0 || exit 2
run_case none "127.0.0.1|Destination address:" ""
up o0 10.200.0.1 || exit 2
run_case one "10.200.0.1|Destination address:" '10.200.0.1\r\n'
up o1 10.201.0.1 || exit 2
run_case two "10.200.0.1|10.201.0.1" '10.200.0.1\r\n'

# The real program, with two up, closed by its close box.
if command -v xvfb-run >/dev/null; then
    mkdir "$work/program" && cd "$work/program" || exit 2
    timeout -k 5 60 xvfb-run -a -n $((100 + $$ % 800)) -s "-screen 0 1024x900x24" bash -c '
        QT_QPA_PLATFORM=xcb "$1" & pid=$!
        id=$("$2" wait "Velmar Soft Orvan v1.9.1" 15000) || { kill $pid; exit 3; }
        sleep 1.5
        "$2" close "$id"
        wait $pid' _ "$orvan" "$xwin"
    check "program: exit code" 0 $?
    printf '10.200.0.1\r\n' >../expected
    check "program: history" "$(history ../expected)" "$(history iphist.dat)"
fi
exit $status
