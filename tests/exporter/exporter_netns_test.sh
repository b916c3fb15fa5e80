#!/usr/bin/env bash
# orvan-exporter against device simulators on the far side of a veth pair, one group of cases
# per run:
#   probe:      the HTTP answers themselves (curl): refusals, reasons, the device port's turns
#   prometheus: Debian's prometheus, started with the packaged scrape configuration, scraping
#               every device through the exporter
#   exporter_netns_test.sh EXPORTER ORVANCTL DEVSIM SOURCE_DIR probe|prometheus
# Skips (exit 77) unless run as root in a private namespace with ORVAN_NETNS=1.
set -u
exporter=$1 ctl=$2 devsim=$3 source=$4 group=$5
case $group in probe) n=31 ;; prometheus) n=32 ;; *) echo "unknown group $group"; exit 2 ;; esac
. "$(dirname "$0")/exporter_support.sh"

start_exporter() {  # start_exporter ARGS...: waits until it listens
    timeout -k 5 300 "$exporter" --web.listen-address "$listen" "$@" </dev/null \
        >"$work/exporter.log" 2>&1 &
    pids+=($!)
    local _
    for _ in $(seq 100); do grep -q listening "$work/exporter.log" && return 0; sleep 0.05; done
    echo "the exporter did not start"; cat "$work/exporter.log"; exit 1
}
# probe QUERY [CURL ARGS...]: sets code, body, took (milliseconds)
probe() {
    local query=$1 t0
    shift
    t0=$(date +%s%N)
    body=$(curl -s -o - -w '\n%{http_code}' "$@" "http://$listen/probe?$query")
    took=$((($(date +%s%N) - t0) / 1000000))
    code=${body##*$'\n'}
    body=${body%$'\n'*}
    body=${body%$'\n'}
}

case $group in
probe)
    sim 2
    sim 3 --partial 20
    sim 5 --delay 600
    sim 4 --mac "$(printf '\xcf\xf3\xeb\xfc\xf2"x\\y')"  # code page 1251
    printf '[{"address": "%s.2", "gateway": "172.16.5.1"}, {"address": "10.9.9.9"}]\n' \
        "$net" >"$work/plan.json"
    start_exporter --allow "$net.2-$net.5" --allow "$net.9" --desired "$work/plan.json" \
        --probe.reply-timeout 1 --probe.retries 1 --device-port 4000 --device-port 4001

    case_name="a device in full"
    probe "target=$net.2"
    expect_eq "status" 200 "$code"
    expect_has "up" $'\norvan_up 1\n' "$body"
    expect_has "info" "orvan_device_info{mac=\"02-00-5E-10-00-01\",ip=\"$net.2\",gateway=\"172.16.5.1\",mask=\"255.255.240.0\",controller=\"172.16.5.9\"} 1" "$body"
    expect_has "telemetry port" $'\norvan_device_telemetry_port 7001\n' "$body"
    expect_has "h323 port" $'\norvan_device_h323_port 7002\n' "$body"
    expect_has "as desired" 'orvan_setting_as_desired{setting="gateway"} 1' "$body"

    case_name="device text escaped"
    probe "target=$net.4"
    # The device's own backslash doubled, so that it never reads as a \xNN of a control byte.
    expect_has "mac label" 'orvan_device_info{mac="Пульт\"x\\\\y",' "$body"

    case_name="partial reply"
    probe "target=$net.3"
    expect_has "up" $'\norvan_up 0\n' "$body"
    expect_has "reason" 'orvan_probe_failure_info{reason="partial_reply"} 1' "$body"
    expect_has "comment" "# the reply parsed only in part" "$body"

    case_name="no reply"
    probe "target=$net.9"
    expect_eq "status" 200 "$code"
    expect_has "reason" 'orvan_probe_failure_info{reason="no_reply"} 1' "$body"
    expect_has "comment" "# no reply from $net.9 port 4000 after 2 requests" "$body"

    case_name="refused targets"
    # A port not given with --device-port is never bound, privileged or not.
    for query in "target=$net.6" "target=$net.1" "target=8.8.8.8" "target=$net.2&port=0" \
        "target=224.0.0.1" "target=name" "port=4000" "target=$net.2&port=22" \
        "target=$net.2&port=4002" "target=$net.2&port=69536"; do
        probe "$query"
        expect_eq "status of $query" 400 "$code"
    done
    probe "target=$net.2&port=22"
    expect_eq "message" "port 22 is not a device port given with --device-port (4000, 4001)" "$body"
    probe "target=$net.6"
    expect_eq "message" "target $net.6 is outside --allow and not named in --desired" "$body"
    probe "target=10.9.9.9"
    expect_eq "named in --desired, no route: asked" 200 "$code"
    expect_has "no route" 'reason="send_failed"' "$body"

    case_name="another device port"
    probe "target=$net.2&port=4001"
    expect_has "reason" 'reason="no_reply"' "$body"
    expect_has "comment" "port 4001" "$body"

    case_name="port taken by another program"
    timeout -k 5 60 socat -u "UDP4-RECV:4000,bind=$near" /dev/null &
    pids+=($!)
    for _ in $(seq 200); do [ -n "$(ss -Hlun "sport = :4000")" ] && break; sleep 0.05; done
    # At once, not after the scrape's 30 s: a third of it is still far from a wait.
    probe "target=$net.2" -H 'X-Prometheus-Scrape-Timeout-Seconds: 30'
    expect_has "reason" 'orvan_probe_failure_info{reason="port_taken"} 1' "$body"
    [ "$took" -lt 10000 ] || fail "a port taken took $took ms to report"
    kill "${pids[-1]}"; wait "${pids[-1]}" 2>/dev/null

    case_name="an orvanctl run holds the port: bounded by the scrape's timeout"
    lock=$(ls "$work/locks/"*-4000.lock | head -n 1)
    [ -f "$lock" ] || fail "no lock file in $work/locks"
    # The run: one process holding the lock until it is ended.
    timeout -k 5 60 /usr/bin/python3 -c 'import fcntl, sys, time
f = open(sys.argv[1]); fcntl.flock(f, fcntl.LOCK_EX); print("held", flush=True); time.sleep(60)' \
        "$lock" >"$work/run.out" &
    pids+=($!)
    for _ in $(seq 200); do grep -q held "$work/run.out" && break; sleep 0.05; done
    probe "target=$net.2" -H 'X-Prometheus-Scrape-Timeout-Seconds: 1.5'
    expect_has "reason" 'reason="port_taken"' "$body"
    # Waited for its turn, and ended within ten times the scrape's timeout.
    [ "$took" -ge 800 ] && [ "$took" -lt 15000 ] ||
        fail "took $took ms against a scrape timeout of 1.5 s less 0.5"
    kill "${pids[-1]}"; wait "${pids[-1]}" 2>/dev/null
    probe "target=$net.2"
    expect_has "up after the run" $'\norvan_up 1\n' "$body"
    # The port was let go after the probe: an orvanctl run gets it at once.
    "$ctl" get "$net.2" --port-wait 0 >/dev/null 2>"$work/err"
    expect_eq "orvanctl right after a probe" "" "$(cat "$work/err")"

    case_name="concurrent probes in one hold"
    before=$(curl -s "http://$listen/metrics" | sed -n 's/^orvan_exporter_port_holds_total //p')
    # Three probes of a slow device, and while they wait three more: all in the same hold.
    urls=()
    for i in 1 2 3 4 5 6; do
        urls+=("http://$listen/probe?target=$net.$((2 + (i < 4 || i == 5) * 3))" -o "$work/c$i")
    done
    requests() { grep -c 'bytes: "GO"' "$work/5.log"; }
    asked=$(requests)
    timeout -k 5 20 curl -s -Z --parallel-immediate "${urls[@]:0:6}" &
    first=$!
    # The rest once the first have reached the slow device, within the hold's 600 ms.
    for _ in $(seq 200); do [ "$(requests)" -ge $((asked + 1)) ] && break; sleep 0.01; done
    timeout -k 5 20 curl -s -Z --parallel-immediate "${urls[@]:6}"
    wait "$first"
    grep -l '^orvan_up 1' "$work"/c* | wc -l >"$work/ups"
    expect_eq "answered in full" 6 "$(cat "$work/ups")"
    after=$(curl -s "http://$listen/metrics" | sed -n 's/^orvan_exporter_port_holds_total //p')
    expect_eq "holds for 6 probes" 1 "$((after - before))"

    case_name="the exporter's own metrics"
    metrics=$(curl -s "http://$listen/metrics")
    expect_has "build info" "orvan_exporter_build_info{version=\"$("$ctl" --version | cut -d' ' -f2)\"} 1" "$metrics"
    expect_has "refused" 'orvan_exporter_probes_total{result="refused"} 12' "$metrics"
    expect_has "no reply" 'orvan_exporter_probes_total{result="no_reply"} 2' "$metrics"
    waited=$(sed -n 's/^orvan_exporter_port_wait_seconds_total //p' <<<"$metrics")
    awk "BEGIN { exit !($waited >= 0.9 && $waited < 15) }" ||
        fail "port wait $waited s, not the second the run held it"

    case_name="the desired file read again on SIGHUP"
    exporter_pid=$(pgrep -P "${pids[0]}")  # timeout would take a HUP for the end
    printf '[{"address": "%s.2", "gateway": "172.16.5.7"}]\n' "$net" >"$work/plan.json"
    kill -HUP "$exporter_pid"
    for _ in $(seq 50); do grep -q "read again" "$work/exporter.log" && break; sleep 0.05; done
    probe "target=$net.2"
    expect_has "drift" 'orvan_setting_as_desired{setting="gateway"} 0' "$body"
    echo '[{"address": ' >"$work/plan.json"
    kill -HUP "$exporter_pid"
    for _ in $(seq 50); do grep -q "last desired file stays" "$work/exporter.log" && break; sleep 0.05; done
    probe "target=$net.2"
    expect_has "a broken file keeps the last" 'orvan_setting_as_desired{setting="gateway"} 0' "$body"
    probe "target=10.9.9.9"
    expect_eq "dropped from the file, refused" 400 "$code"

    case_name="probes past the bound are refused, not queued"
    # Nothing answers at .7: two probes wait 3 s for it, five times what three requests take.
    timeout -k 5 60 "$exporter" --web.listen-address 127.0.0.1:19739 --allow "$net.7" \
        --probe.max-concurrent 2 </dev/null >"$work/bounded.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do grep -q listening "$work/bounded.log" && break; sleep 0.05; done
    codes=$(timeout -k 5 20 curl -s -Z --parallel-immediate -o /dev/null -o /dev/null -o /dev/null \
        -w '%{http_code}\n' "http://127.0.0.1:19739/probe?target=$net.7" \
        "http://127.0.0.1:19739/probe?target=$net.7" "http://127.0.0.1:19739/probe?target=$net.7" |
        sort | tr '\n' ' ')
    expect_eq "answers" "200 200 503 " "$codes"
    expect_has "counted" 'orvan_exporter_probes_total{result="overloaded"} 1' \
        "$(curl -s http://127.0.0.1:19739/metrics)"

    case_name="slow clients: 320 connections sending a header line every 3 s"
    slow=$(dirname "$0")/slow_clients.py
    timeout -k 5 90 /usr/bin/python3 "$slow" "$listen" 320 3 320 50 >"$work/slow.out" 2>&1 &
    slow_pid=$!
    pids+=($slow_pid)
    for _ in $(seq 400); do grep -q "^open" "$work/slow.out" && break; sleep 0.05; done
    expect_eq "all open" "open 320" "$(head -n 1 "$work/slow.out")"
    expect_eq "/metrics answers" 200 \
        "$(curl -s -o /dev/null -w '%{http_code}' --max-time 30 "http://$listen/metrics")"
    probe "target=$net.2" --max-time 30
    expect_has "/probe answers" $'\norvan_up 1\n' "$body"
    # Each is closed once its request has taken the 5 s it may: all of them, within ten times.
    wait "$slow_pid"
    expect_eq "closed by the exporter" "closed 320" "$(tail -n 1 "$work/slow.out")"

    case_name="connections past the bound: the ones still waiting for a request are closed"
    timeout -k 5 60 "$exporter" --web.listen-address 127.0.0.1:19737 --allow "$net.2" \
        --web.max-connections 16 --web.request-timeout 60 </dev/null >"$work/held.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do grep -q listening "$work/held.log" && break; sleep 0.05; done
    timeout -k 5 60 /usr/bin/python3 "$slow" 127.0.0.1:19737 40 0 24 50 >"$work/held.out" 2>&1 &
    slow_pid=$!
    pids+=($slow_pid)
    for _ in $(seq 400); do grep -q "^closed" "$work/held.out" && break; sleep 0.05; done
    closed=$(sed -n 's/^closed //p' "$work/held.out")
    [ "${closed:-0}" -ge 24 ] || fail "held more than 16: $(cat "$work/held.out")"
    # With 16 held, a scrape still gets in: the connection waiting longest makes room.
    expect_eq "/metrics answers" 200 \
        "$(curl -s -o /dev/null -w '%{http_code}' --max-time 30 http://127.0.0.1:19737/metrics)"
    kill "$slow_pid"; wait "$slow_pid" 2>/dev/null

    case_name="nothing but requests"
    for host in 2 3 4 5; do
        expect_eq "commands at $host" 0 "$(state $host commands)"
    done
    ;;

prometheus)
    command -v prometheus >/dev/null && command -v promtool >/dev/null ||
        skip "needs prometheus and promtool"
    command -v openssl >/dev/null || skip "needs openssl"
    for host in 2 3 4; do sim "$host"; done
    cat >"$work/plan.json" <<JSON
[{"address": "$net.2", "gateway": "172.16.5.1", "mac": "02-00-5E-10-00-01"},
 {"address": "$net.3", "gateway": "172.16.5.1", "controller": "172.16.5.9"},
 {"address": "$net.4", "telemetry_port": 7001}]
JSON
    start_exporter --desired "$work/plan.json" --probe.reply-timeout 0.3 --probe.retries 1
    # A second exporter on HTTPS with a password, from the packaged examples.
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
        -subj /CN=orvan-exporter -addext subjectAltName=IP:127.0.0.1 \
        -keyout "$work/tls.key" -out "$work/tls.crt" 2>"$work/openssl.log" || fail "openssl req"
    hash=$(/usr/bin/python3 -W ignore -c 'import crypt
print(crypt.crypt("scrape-secret", crypt.mksalt(crypt.METHOD_BLOWFISH, rounds=16)))')
    printf 'scrape-secret' >"$work/password"
    sed -e "s|/etc/orvan/exporter|$work/tls|" -e "s|prometheus: .*|prometheus: $hash|" \
        "$source/dist/prometheus/orvan-web-config.yml" >"$work/web.yml"
    tls_listen=127.0.0.1:$((19750 + n))
    timeout -k 5 300 "$exporter" --web.listen-address "$tls_listen" --web.config.file \
        "$work/web.yml" --desired "$work/plan.json" --probe.reply-timeout 0.3 \
        --probe.retries 1 </dev/null >"$work/tls-exporter.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do grep -q listening "$work/tls-exporter.log" && break; sleep 0.05; done
    # The packaged configuration, with this run's devices, exporter, rules and a quick pace.
    printf -- '- targets: ["%s.2", "%s.3", "%s.4"]\n' "$net" "$net" "$net" >"$work/devices.yml"
    api=127.0.0.1:$((19800 + n)) https_api=127.0.0.1:$((19850 + n))
    start_prometheus prometheus prometheus.yml "$source/dist/prometheus/orvan-rules.yml" \
        "$listen" "$api"
    start_prometheus prometheus-https prometheus-https.yml \
        "$source/dist/prometheus/orvan-rules.yml" "$tls_listen" "$https_api" \
        -e "s|/etc/prometheus/orvan-exporter.crt|$work/tls.crt|" \
        -e "s|/etc/prometheus/orvan-exporter.password|$work/password|"
    server=$api

    case_name="every device up"
    until_is "up" orvan_up "$net.2=1
$net.3=1
$net.4=1"
    until_is "as desired" 'min by (instance) (orvan_setting_as_desired)' "$net.2=1
$net.3=1
$net.4=1"
    until_is "the unit" orvan_mac_as_desired "$net.2=1"
    until_is "the exporter itself" 'up{job="orvan-exporter"}' "$listen=1"

    case_name="HTTPS with a password"
    server=$https_api
    until_is "up" orvan_up "$net.2=1
$net.3=1
$net.4=1"
    until_is "the exporter itself" 'up{job="orvan-exporter"}' "$tls_listen=1"
    server=$api
    # code ARGS...: the HTTP status of the exporter's /metrics over HTTPS
    code() { curl -s -o /dev/null -w '%{http_code}' --max-time 30 --cacert "$work/tls.crt" "$@"; }
    expect_eq "no password" 401 "$(code "https://$tls_listen/metrics")"
    expect_eq "a wrong password" 401 "$(code -u prometheus:scrape-secreT "https://$tls_listen/metrics")"
    expect_eq "another user" 401 "$(code -u alice:scrape-secret "https://$tls_listen/metrics")"
    expect_eq "the password" 200 "$(code -u prometheus:scrape-secret "https://$tls_listen/metrics")"
    plain=$(curl -s --max-time 30 -u prometheus:scrape-secret "http://$tls_listen/metrics")
    expect_eq "plain HTTP to the HTTPS port: no data" "" "$plain"

    case_name="a setting changed"
    "$ctl" set "$net.3" --gateway 172.16.5.99 --port-wait 10 >/dev/null 2>"$work/err" ||
        fail "orvanctl set: $(cat "$work/err")"
    until_is "drift" 'orvan_setting_as_desired{setting="gateway"}' "$net.2=1
$net.3=0"
    until_is "the rest still" 'orvan_setting_as_desired{setting="controller"}' "$net.3=1"

    case_name="a device stopped"
    kill "${sims[2]}"
    until_is "down" orvan_up "$net.2=1
$net.3=1
$net.4=0"
    until_is "reason" 'orvan_probe_failure_info' "$net.4=1"

    case_name="the configuration and its rules"
    promtool check config "$work/prometheus.yml" >/dev/null 2>"$work/err" ||
        fail "promtool check config: $(cat "$work/err")"

    case_name="nothing but requests"
    stop_all
    for host in 2 3 4; do
        [ "$(state $host requests)" -gt 0 ] || fail "no request reached $host"
    done
    expect_eq "commands at .2" 0 "$(state 2 commands)"
    expect_eq "commands at .3 (orvanctl's one)" 1 "$(state 3 commands)"
    expect_eq "commands at .4" 0 "$(state 4 commands)"
    ;;
esac
[ "$failures" -eq 0 ] && echo "all passed"
[ "$failures" -eq 0 ]
