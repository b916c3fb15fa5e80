# The start the exporter's namespace scripts share; sourced once $n names the run's segment.
. "$(dirname "${BASH_SOURCE[0]}")/../support/far_segment.sh"
command -v curl >/dev/null || skip "needs curl"

listen=127.0.0.1:$((19700 + n))
pids=()
stop_all() {  # ends what this script started besides the simulators
    local p
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
    pids=()
}
trap 'stop_all; cleanup' EXIT

state() { sed -n "s/^$2=//p" "$work/$1.state"; }  # state HOST KEY: from the simulator's file
