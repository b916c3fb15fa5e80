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

# start_prometheus NAME CONFIG RULES TARGET API [SED...]: Debian's prometheus on the packaged
# CONFIG, with this run's devices.yml, RULES and the exporter at TARGET, one scrape a second,
# answering at API; further sed expressions adapt the rest of the file.
start_prometheus() {
    local name=$1 config=$2 rules=$3 target=$4 at=$5
    shift 5
    sed -e "s|/etc/prometheus/orvan-devices.yml|$work/devices.yml|" \
        -e "s|/usr/share/orvan-exporter/orvan-rules.yml|$rules|" \
        -e "s|127.0.0.1:9871|$target|" -e 's|scrape_interval: .*|scrape_interval: 1s|' \
        -e 's|scrape_timeout: .*|scrape_timeout: 1s|' "$@" \
        "$source/dist/prometheus/$config" >"$work/$name.yml"
    timeout -k 5 300 prometheus --config.file "$work/$name.yml" --storage.tsdb.path "$work/$name.tsdb" \
        --web.listen-address "$at" </dev/null >"$work/$name.log" 2>&1 &
    pids+=($!)
}

# query EXPR: the value of each series, "instance=value" lines, sorted, from the prometheus
# at $server.
query() {
    promtool query instant "http://$server" "$1" 2>/dev/null |
        sed -nE 's/.*instance="([^"]*)".* => ([0-9.e+-]+) @.*/\1=\2/p' | sort
}
# until_is WHAT EXPR EXPECTED: waits up to 30 s for the query to give EXPECTED.
until_is() {
    local _ got=
    for _ in $(seq 120); do
        got=$(query "$2")
        [ "$got" = "$3" ] && return 0
        sleep 0.25
    done
    fail "$1: $2 gave:"$'\n'"$got"$'\n'"expected:"$'\n'"$3"
}
