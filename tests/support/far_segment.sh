# Sourced by the tests that run device simulators on the far side of a veth pair: the
# simulators live in a network namespace of their own, one address each, the caller on the near
# side, as on a building's segment. The caller sets devsim (the simulator program) and n (its
# own /24, 172.31.n.0, so that runs can share a namespace); this sets net, near, work, far,
# sim, the case helpers and the clean-up.
# Skips (exit 77) unless run as root in a private namespace with ORVAN_NETNS=1.

skip() { echo "skipped: $*"; exit 77; }
[ "${ORVAN_NETNS:-}" = 1 ] || skip "needs a private network namespace (ORVAN_NETNS=1 under unshare -n)"
[ "$(id -u)" -eq 0 ] || skip "needs root to make network namespaces"
command -v ip >/dev/null && command -v nsenter >/dev/null || skip "needs ip and nsenter"
# Addresses go onto this namespace's links: never next to real interfaces.
while IFS=: read -r link _; do
    link=${link// /}
    case $link in lo | oc*) ;; *) skip "interface $link present: not a private namespace" ;; esac
done < <(tail -n +3 /proc/self/net/dev)

net=172.31.$n
near=$net.1
work=$(mktemp -d)
# Runs take turns on the device port through lock files: this run's own, apart from other
# namespaces that use the same addresses at the same time.
mkdir "$work/locks"
export ORVANCTL_LOCK_DIR=$work/locks
far_pid=
sims=()
failures=0
link=oc$$$n

cleanup() {
    local p
    for p in "${sims[@]}"; do kill "$p" 2>/dev/null; done
    for p in "${sims[@]}"; do wait "$p" 2>/dev/null; done
    ip link del "${link}h" 2>/dev/null
    [ -n "$far_pid" ] && kill "$far_pid" 2>/dev/null && wait "$far_pid" 2>/dev/null
    if [ "$failures" -gt 0 ]; then
        for f in "$work"/*.log; do [ -e "$f" ] && { echo "--- $f"; cat "$f"; }; done
    fi
    # Every process the run starts names its folder on its command line: none may outlive it.
    local left
    left=$(pgrep -f -- "$work/")
    for p in "${sims[@]}"; do kill -0 "$p" 2>/dev/null && left+=" $p"; done
    rm -rf "$work"
    if [ -n "$left" ]; then
        echo "FAIL: processes left running: $(echo $left)"
        for p in $left; do kill "$p" 2>/dev/null; done
        exit 1
    fi
}
trap cleanup EXIT

fail() { echo "FAIL [$case_name]: $*"; failures=$((failures + 1)); }
expect_eq() {  # expect_eq WHAT EXPECTED ACTUAL
    [ "$2" = "$3" ] || fail "$1:"$'\n'"expected: $2"$'\n'"actual:   $3"
}
expect_has() {  # expect_has WHAT NEEDLE HAYSTACK
    [[ "$3" == *"$2"* ]] || fail "$1: no '$2' in:"$'\n'"$3"
}

# The far host: a namespace held by a sleeping process, joined by a veth pair.
unshare -n sleep 600 </dev/null >/dev/null 2>&1 &
far_pid=$!
sleep 0.1
far() { nsenter -t "$far_pid" -n "$@"; }
ip link add "${link}h" type veth peer name "${link}d" || exit 1
ip link set "${link}d" netns "$far_pid" || exit 1
ip addr add "$near/24" dev "${link}h" && ip link set "${link}h" up || exit 1
far ip link set lo up && far ip link set "${link}d" up || exit 1

# sim HOST ARGS...: a simulator at $net.HOST, port 4000, logging to $work/HOST.log, with
# settings unlike the defaults (and its own address as its IP setting). nsenter runs it in
# place, so $! is the simulator itself (a function in the background would be a subshell that
# a kill leaves the simulator behind), and it holds none of the caller's descriptors.
sim() {
    local host=$1
    shift
    far ip addr add "$net.$host/24" dev "${link}d" 2>/dev/null
    nsenter -t "$far_pid" -n "$devsim" --address "$net.$host" --port 4000 \
        --state "$work/$host.state" --millis --telemetry 7001 --h323 7002 --gateway 172.16.5.1 \
        --ip "$net.$host" --handset 172.16.5.9 --mask 255.255.240.0 --mac 02-00-5E-10-00-01 \
        "$@" </dev/null >"$work/$host.log" 2>&1 &
    sims+=($!)
    local _
    for _ in $(seq 100); do grep -q listening "$work/$host.log" && return 0; sleep 0.05; done
    echo "simulator at $net.$host did not start"; cat "$work/$host.log"; exit 1
}
