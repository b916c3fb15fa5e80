#!/usr/bin/env bash
# orvan-exporter on a site as it is, against device simulators on the far side of a veth pair,
# one group of cases per run:
#   alerts:  Debian's prometheus with the packaged configuration and rules: a stopped device
#            and a drifted one fire, and stay firing while another program holds the device
#            port for several scrapes; each resolves on an answer that shows the device well
#   desired: the site's own files: a backup folder after a unit swap at start and on SIGHUP,
#            a file caught half-written, a folder the service cannot read
#   exporter_site_test.sh EXPORTER ORVANCTL DEVSIM SOURCE_DIR alerts|desired
# Skips (exit 77) unless run as root in a private namespace with ORVAN_NETNS=1.
set -u
exporter=$1 ctl=$2 devsim=$3 source=$4 group=$5
case $group in alerts) n=36 ;; desired) n=37 ;; *) echo "unknown group $group"; exit 2 ;; esac
. "$(dirname "$0")/exporter_support.sh"

# start_exporter LOG ARGS...: the exporter itself is $exporter_pid (SIGHUP goes to it); waits
# until it listens
start_exporter() {
    local log=$1 _
    shift
    "$exporter" --web.listen-address "$listen" "$@" </dev/null >"$log" 2>&1 &
    exporter_pid=$!
    pids+=("$exporter_pid")
    for _ in $(seq 100); do grep -q listening "$log" && return 0; sleep 0.05; done
    echo "the exporter did not start"; cat "$log"; exit 1
}
probe() { curl -s "http://$listen/probe?target=$1"; }
metric() { curl -s "http://$listen/metrics" | sed -n "s/^$1 //p"; }
# until_in FILE TEXT: waits up to 10 s for TEXT in FILE
until_in() {
    local _
    for _ in $(seq 200); do grep -qF -- "$2" "$1" && return 0; sleep 0.05; done
    fail "no '$2' in $1:"$'\n'"$(cat "$1")"
}

case $group in
alerts)
    command -v prometheus >/dev/null && command -v promtool >/dev/null ||
        skip "needs prometheus and promtool"
    for host in 2 3 4; do sim "$host"; done
    cat >"$work/plan.json" <<JSON
[{"address": "$net.2", "gateway": "172.16.5.1", "mac": "02-00-5E-10-00-01"},
 {"address": "$net.3", "gateway": "172.16.5.1"},
 {"address": "$net.4", "gateway": "172.16.5.1"}]
JSON
    start_exporter "$work/exporter.log" --desired "$work/plan.json" --probe.reply-timeout 0.2 \
        --probe.retries 0
    # The packaged configuration and rules, with this run's devices and exporter, one scrape
    # and one evaluation a second, and waits of seconds instead of minutes.
    printf -- '- targets: ["%s.2", "%s.3", "%s.4"]\n' "$net" "$net" "$net" >"$work/devices.yml"
    sed -e 's/for: 5m/for: 10s/' -e 's/for: 2m/for: 5s/' \
        "$source/dist/prometheus/orvan-rules.yml" >"$work/rules.yml"
    server=127.0.0.1:$((19800 + n))
    start_prometheus prometheus prometheus.yml "$work/rules.yml" "$listen" "$server" \
        -e 's|scrape_timeout: 1s|scrape_timeout: 1s\n  evaluation_interval: 1s|'
    firing='ALERTS{alertstate="firing",alertname=~"OrvanDeviceDown|OrvanSettingDrift"}'
    pending='ALERTS{alertstate="pending",alertname=~"OrvanDeviceDown|OrvanSettingDrift"}'

    case_name="every device answers"
    until_is "answered" orvan:device_answered:last "$net.2=1
$net.3=1
$net.4=1"
    until_is "no alert" ALERTS ""

    case_name="a device stopped and one drifted, then the port held: pending, firing, held"
    "$ctl" set "$net.3" --gateway 172.16.5.99 --port-wait 10 >/dev/null 2>"$work/err" ||
        fail "orvanctl set: $(cat "$work/err")"
    kill "${sims[0]}"
    until_is "pending" "$pending" "$net.2=1
$net.3=1"
    # An orvanctl run (or the window) holds the device port for a score of scrapes, starting
    # while both alerts wait: they fire in it, and not one evaluation drops them.
    lock=$(ls "$work/locks/"*-4000.lock | head -n 1)
    timeout -k 5 60 flock "$lock" sleep 20 &
    holder=$!
    pids+=("$holder")
    sleep 0.3
    # Prometheus's own scrapes queue at the prober too: one of these may end as a timeout.
    for _ in 1 2 3 4 5; do
        body=$(curl -s -H 'X-Prometheus-Scrape-Timeout-Seconds: 1' "http://$listen/probe?target=$net.4")
        [[ $body == *'reason="port_taken"'* ]] && break
    done
    expect_has "the comment names the exporter's own wait" "for longer than the probe's wait 0." \
        "$body"
    [[ $body == *--port-wait* ]] && fail "an option the exporter does not have: $body"
    since=$(date +%s)
    held_firing=0
    while kill -0 "$holder" 2>/dev/null; do
        got=$(query "$firing" | tr '\n' ' ')
        case $got in
        "$net.2=1 $net.3=1 ") held_firing=$((held_firing + 1)) ;;
        "") [ "$held_firing" -eq 0 ] || fail "an alert resolved while the port was held: '$got'" ;;
        *) [ "$held_firing" -eq 0 ] || fail "an alert resolved while the port was held: '$got'" ;;
        esac
        sleep 0.2
    done
    wait "$holder"
    [ "$held_firing" -ge 5 ] || fail "both firing at only $held_firing looks while the port was held"
    span=$(($(date +%s) - since + 2))
    blocked=$(query "count_over_time(orvan_probe_failure_info{reason=\"port_taken\"}[${span}s])")
    for host in 2 3; do
        count=$(sed -n "s/^$net.$host=//p" <<<"$blocked")
        [ "${count:-0}" -ge 5 ] || fail "$net.$host: ${count:-no} scrapes found the port taken"
    done
    # Each alert's wait began once: a blocked scrape that cleared it would start another.
    until_is "never restarted" \
        "changes(ALERTS_FOR_STATE{alertname=~\"OrvanDeviceDown|OrvanSettingDrift\"}[$((span + 8))s])" \
        "$net.2=0
$net.3=0"
    until_is "still firing" "$firing" "$net.2=1
$net.3=1"

    case_name="an answer that shows the device well resolves"
    "$ctl" set "$net.3" --gateway 172.16.5.1 --port-wait 10 >/dev/null 2>"$work/err" ||
        fail "orvanctl set: $(cat "$work/err")"
    until_is "drift resolved, down stays" "$firing" "$net.2=1"
    sim 2
    until_is "every alert resolved" "$firing" ""

    case_name="nothing but requests"
    stop_all
    expect_eq "commands at .3 (orvanctl's two)" 2 "$(state 3 commands)"
    expect_eq "commands at .4" 0 "$(state 4 commands)"
    ;;

desired)
    # A unit swapped between two backup runs: the first reply is the old unit, the rest the
    # new one, whose MAC text sorts first (the names alone would pick the old one).
    sim 2 --swap-after 1 --swap-mac 00-00-5E-00-00-0B
    sim 3 --mac 02-00-5E-10-00-03
    mkdir "$work/b"
    "$ctl" backup "$net.2" "$net.3" --dir "$work/b" --quiet >/dev/null 2>"$work/err" ||
        fail "backup: $(cat "$work/err")"
    sleep 1.1  # backups tell time by the second
    "$ctl" backup "$net.2" --dir "$work/b" --quiet >/dev/null 2>"$work/err" ||
        fail "backup: $(cat "$work/err")"

    case_name="a backup folder after a unit swap"
    expect_eq "files" "00-00-5E-00-00-0B.json 02-00-5E-10-00-01.json 02-00-5E-10-00-03.json" \
        "$(cd "$work/b" && echo *)"
    start_exporter "$work/exporter.log" --desired "$work/b"
    expect_has "says which file wins" \
        "$net.2: $work/b/00-00-5E-00-00-0B.json (read " "$(cat "$work/exporter.log")"
    expect_has "and over which" "is the newest backup of this address and wins over $work/b/02-00-5E-10-00-01.json (read " \
        "$(cat "$work/exporter.log")"
    body=$(probe "$net.2")
    expect_has "probed" $'\norvan_up 1\n' "$body"
    expect_has "the new unit is the desired one" $'\norvan_mac_as_desired 1' "$body"
    expect_has "the other device" $'\norvan_mac_as_desired 1' "$(probe "$net.3")"
    expect_eq "devices" 2 "$(metric orvan_exporter_desired_devices)"
    expect_eq "read" 1 "$(metric orvan_exporter_desired_last_reload_successful)"
    stop_all

    case_name="the swap taken on SIGHUP"
    mkdir "$work/c"
    cp "$work/b/02-00-5E-10-00-01.json" "$work/c/"
    start_exporter "$work/exporter2.log" --desired "$work/c"
    expect_has "the old unit's file: another unit" $'\norvan_mac_as_desired 0' "$(probe "$net.2")"
    cp "$work/b/00-00-5E-00-00-0B.json" "$work/c/"
    kill -HUP "$exporter_pid"
    until_in "$work/exporter2.log" "read again: 1 devices"
    expect_has "named" "is the newest backup of this address" "$(cat "$work/exporter2.log")"
    expect_has "the new unit now" $'\norvan_mac_as_desired 1' "$(probe "$net.2")"

    case_name="a backup caught half-written on SIGHUP"
    printf '{"address": "%s.3", "port": 4000, "mac": "02-00' "$net" >"$work/c/new.json"
    kill -HUP "$exporter_pid"
    until_in "$work/exporter2.log" "the last desired file stays"
    expect_eq "reload failed" 0 "$(metric orvan_exporter_desired_last_reload_successful)"
    expect_has "the last set kept" $'\norvan_mac_as_desired 1' "$(probe "$net.2")"
    expect_eq "devices kept" 1 "$(metric orvan_exporter_desired_devices)"
    stop_all

    case_name="a CSV plan caught half-written on SIGHUP"
    printf 'address,gateway\n%s.2,172.16.5.1\n%s.3,172.16.5.1\n' "$net" "$net" >"$work/plan.csv"
    start_exporter "$work/exporter3.log" --desired "$work/plan.csv"
    printf 'address,gateway\n%s.2,172.16.5.7\n%s.3,172.16' "$net" "$net" >"$work/plan.csv"
    kill -HUP "$exporter_pid"
    until_in "$work/exporter3.log" "does not end in a line break"
    expect_eq "reload failed" 0 "$(metric orvan_exporter_desired_last_reload_successful)"
    expect_has "the last plan kept" 'orvan_setting_as_desired{setting="gateway"} 1' \
        "$(probe "$net.2")"
    expect_has "both devices kept" 'orvan_setting_as_desired{setting="gateway"} 1' \
        "$(probe "$net.3")"
    before=$(metric orvan_exporter_desired_last_reload_success_timestamp_seconds)
    printf 'address,gateway\n%s.2,172.16.5.7\n%s.3,172.16.5.1\n' "$net" "$net" >"$work/plan.csv"
    kill -HUP "$exporter_pid"
    until_in "$work/exporter3.log" "read again: 2 devices"
    expect_eq "read again" 1 "$(metric orvan_exporter_desired_last_reload_successful)"
    after=$(metric orvan_exporter_desired_last_reload_success_timestamp_seconds)
    awk "BEGIN { exit !($after > $before) }" || fail "success time $before, then $after"
    expect_has "the whole file taken" 'orvan_setting_as_desired{setting="gateway"} 0' \
        "$(probe "$net.2")"
    stop_all

    case_name="a folder the service cannot read"
    command -v setpriv >/dev/null || skip "needs setpriv"
    chmod 0700 "$work/b"
    chmod 0755 "$work"
    setpriv --reuid=65534 --regid=65534 --clear-groups "$exporter" --desired "$work/b" \
        --web.listen-address "$listen" </dev/null >"$work/denied.log" 2>&1
    expect_eq "exit" 2 "$?"
    expect_eq "message" "orvan-exporter: $work/b: cannot read the folder: Permission denied" \
        "$(cat "$work/denied.log")"

    case_name="nothing but requests"
    stop_all
    expect_eq "commands at .2" 0 "$(state 2 commands)"
    expect_eq "commands at .3" 0 "$(state 3 commands)"
    ;;
esac
[ "$failures" -eq 0 ] && echo "all passed"
[ "$failures" -eq 0 ]
