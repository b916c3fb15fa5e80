#!/usr/bin/env bash
# orvanctl against device simulators on the far side of a veth pair: the simulators live in a
# network namespace of their own, one address each, orvanctl on the near side, as on a
# building's segment. One group of cases per run:
#   orvanctl_netns_test.sh ORVANCTL DEVSIM get|set|scan|apply|port|plan|utf8|backup
# Skips (exit 77) unless run as root in a private namespace with ORVAN_NETNS=1.
set -u
ctl=$1 devsim=$2 group=$3

# One /24 per group, so that the groups can run at once in the same namespace.
case $group in get) n=1 ;; set) n=2 ;; scan) n=3 ;; apply) n=4 ;; port) n=5 ;; plan) n=6 ;;
backup) n=7 ;; utf8) n=8 ;;
*) echo "unknown group $group"; exit 2 ;; esac
. "$(dirname "$0")/../support/far_segment.sh"

# run ARGS...: orvanctl; sets out, err, rc.
run() {
    "$ctl" "$@" >"$work/out" 2>"$work/err"
    rc=$?
    out=$(cat "$work/out") err=$(cat "$work/err")
}
datagrams() { grep -c ' bytes: ' "$work/$1.log"; }  # datagrams the simulator at HOST got
commands() { grep -c 'bytes: "<' "$work/$1.log"; }
settings_of() {  # the simulator's settings from its state file, one line
    grep -E '^(telemetry|h323|gateway|ip|handset|mask|mac)=' "$work/$1.state" | tr '\n' ' '
}
# The simulator applies a command a moment after it takes it, and orvanctl may end first: the
# settings once they hold <text>, or as they are after 5 s.
settings_with() {  # settings_with <n> <text>
    for _ in $(seq 100); do [[ "$(settings_of "$1")" == *"$2"* ]] && break; sleep 0.05; done
    settings_of "$1"
}
quick=(--timeout 0.3 --retries 1)

case $group in
get)
    sim 2
    sim 3 --partial 20
    sim 4 --delay 500
    sim 5 --delay 1500

    case_name="full reply, text"
    run get "$net.2"
    expect_eq "exit" 0 "$rc"
    expect_eq "stdout" "telemetry_port  7001
h323_port       7002
gateway         172.16.5.1
ip              $net.2
controller      172.16.5.9
mask            255.255.240.0
mac             02-00-5E-10-00-01" "$out"
    expect_eq "stderr" "" "$err"

    case_name="full reply, JSON"
    run get "$net.2" --json
    expect_eq "exit" 0 "$rc"
    expect_eq "stdout" "{\"address\":\"$net.2\",\"port\":4000,\"telemetry_port\":7001,\"h323_port\":7002,\"gateway\":\"172.16.5.1\",\"ip\":\"$net.2\",\"controller\":\"172.16.5.9\",\"mask\":\"255.255.240.0\",\"mac\":\"02-00-5E-10-00-01\"}" "$out"

    case_name="partial reply"
    run get "$net.3"
    expect_eq "exit" 4 "$rc"
    expect_eq "stdout" "telemetry_port  7001
h323_port       7002
mac             1" "$out"
    expect_eq "stderr" "orvanctl: $net.3: the reply parsed only in part; not converted: gateway, ip, controller, mask" "$err"
    run get "$net.3" --json
    expect_eq "exit, JSON" 4 "$rc"
    expect_has "JSON" '"gateway":null' "$out"
    expect_has "JSON" '"partial":true,"missing":["gateway","ip","controller","mask"]}' "$out"

    case_name="no reply"
    run get "$net.9" "${quick[@]}"
    expect_eq "exit" 3 "$rc"
    expect_eq "stdout" "" "$out"
    expect_eq "stderr" "orvanctl: $net.9: no reply from $net.9 port 4000 after 2 requests (300 ms each)" "$err"

    case_name="wrong port"
    run get "$net.2" --port 4001 "${quick[@]}"
    expect_eq "exit" 3 "$rc"
    expect_has "stderr" "no reply from $net.2 port 4001" "$err"

    case_name="late reply within the retries"
    run get "$net.4" --timeout 0.3 --retries 2
    expect_eq "exit" 0 "$rc"
    expect_has "stdout" "telemetry_port  7001" "$out"

    case_name="late reply past the retries"
    run get "$net.5" --timeout 0.3 --retries 1
    expect_eq "exit" 3 "$rc"
    ;;

set)
    sim 2
    sim 3 --telemetry 9000 --h323 9001
    sim 4 --ignore-commands
    sim 5
    sim 6 --cut 57  # cut short in its MAC text
    sim 7 --swap-after 1 --swap-mac 02-00-5E-10-00-77

    case_name="one setting changed, the others kept byte for byte"
    before=$(settings_of 2)
    run set "$net.2" --telemetry-port 7100
    expect_eq "exit" 0 "$rc"
    expect_eq "stdout" "$net.2 changed telemetry_port 7001 -> 7100" "$out"
    expect_has "command bytes" \
        '"<1BBC#1B5A#AC.10.05.01#AC.1F.02.02#AC.10.05.09#FF.FF.F0.00#02-00-5E-10-00-01>"' \
        "$(cat "$work/2.log")"
    expect_eq "settings" "${before/telemetry=7001/telemetry=7100}" "$(settings_with 2 telemetry=7100)"

    case_name="--from a get --json file, round trip"
    run get "$net.2" --json
    echo "$out" >"$work/2.json"
    n2=$(commands 2)
    run set "$net.2" --from "$work/2.json"
    expect_eq "exit, same device" 0 "$rc"
    expect_eq "stdout, same device" "$net.2 unchanged" "$out"
    expect_eq "commands, same device" "$n2" "$(commands 2)"
    run set "$net.3" --from - --ip "$net.3" <"$work/2.json"
    expect_eq "exit, other device" 0 "$rc"
    expect_eq "stdout, other device" "$net.3 changed telemetry_port 9000 -> 7100, h323_port 9001 -> 7002; not taken from the file: mac (the file was read from $net.2, not from $net.3; --with-identity takes it)" "$out"
    run get "$net.3" --json
    expect_eq "read back" "$(sed "s/$net\.2/$net.3/g" "$work/2.json")" "$out"

    case_name="a clone keeps its own ip and mac"
    run get "$net.3" --json
    echo "$out" >"$work/3.json"
    "$ctl" set "$net.2" --mac M-2 >/dev/null 2>&1
    "$ctl" get "$net.2" --json | "$ctl" set "$net.3" --from - --json >"$work/out" 2>"$work/err"
    expect_eq "exit" 0 "$?"
    expect_has "skipped" "\"skipped\":[{\"setting\":\"ip\",\"reason\":\"the file was read from $net.2, not from $net.3; --with-identity takes it\"},{\"setting\":\"mac\",\"reason\":\"the file was read from $net.2, not from $net.3; --with-identity takes it\"}]" "$(cat "$work/out")"
    expect_has "identity kept" "ip=$net.3 handset=172.16.5.9 mask=255.255.240.0 mac=02-00-5E-10-00-01" "$(settings_of 3)"
    run set "$net.3" --from "$work/2.json" --with-identity --dry-run
    expect_eq "--with-identity takes them" "$net.3 dry-run ip $net.3 -> $net.2" "$(head -n1 <<<"$out")"
    run set "$net.3" --from "$work/3.json"
    expect_eq "its own file: ip and mac taken" "$net.3 unchanged" "$out"
    "$ctl" set "$net.2" --mac 02-00-5E-10-00-01 >/dev/null 2>&1

    case_name="a reply cut short is partial: nothing sent"
    run get "$net.6"
    expect_eq "get" "4 orvanctl: $net.6: the reply is cut short: no closing '>'; not converted: mac" "$rc $err"
    run set "$net.6" --telemetry-port 7100 --time
    expect_eq "set, commands" "4 0" "$rc $(commands 6)"

    case_name="--from its own file: only while the device there reports the file's MAC text"
    run get "$net.7" --json
    echo "$out" >"$work/7.json"
    run set "$net.7" --from "$work/7.json" --telemetry-port 7100
    expect_eq "exit, commands" "8 0" "$rc $(commands 7)"
    expect_eq "stdout" "$net.7 mismatch; not the device --from $work/7.json was read from: it reports the MAC text '02-00-5E-10-00-77', the file '02-00-5E-10-00-01'; nothing sent (--with-identity takes the file's ip and mac anyway)" "$out"

    case_name="invalid values refused, nothing sent"
    n=$(datagrams 5)
    while IFS='|' read -r option value message; do
        run set "$net.5" "$option" "$value"
        expect_eq "exit for $option $value" 2 "$rc"
        expect_eq "stderr for $option $value" "orvanctl: $message" "$err"
    done <<EOF
--telemetry-port|0|--telemetry-port: '0' is not a port number (1 to 65535)
--h323-port|65536|--h323-port: '65536' is not a port number (1 to 65535)
--telemetry-port|0x10|--telemetry-port: '0x10' is not a port number (1 to 65535)
--gateway|10.0.0|--gateway: '10.0.0' is not an address of four parts 0 to 255
--ip|10.0.0.256|--ip: '10.0.0.256' is not an address of four parts 0 to 255
--mask|255.255.255.0.0|--mask: '255.255.255.0.0' is not an address of four parts 0 to 255
--mac|AA>BB|--mac: 'AA>BB' holds '>', which would end the command
EOF
    run set "$net.5" --mac $'AA\tBB'
    expect_eq "exit for a control byte" 2 "$rc"
    expect_eq "stderr for a control byte" "orvanctl: --mac: the MAC text holds a control character" "$err"
    echo '{"telemetry_port": 7000, "colour": "red"}' >"$work/bad.json"
    run set "$net.5" --from "$work/bad.json"
    expect_eq "exit for an unknown key" 2 "$rc"
    expect_eq "stderr for an unknown key" "orvanctl: --from $work/bad.json: unknown setting 'colour'; the valid names: address, port, telemetry_port, h323_port, gateway, ip, controller, mask, mac" "$err"
    run set 172.31.2.256 --mask 255.0.0.0
    expect_eq "exit for a bad address" 2 "$rc"
    expect_eq "datagrams to the device" "$n" "$(datagrams 5)"

    case_name="--time 500 ms after the command"
    run set "$net.5" --h323-port 7200 --time
    expect_eq "exit" 0 "$rc"
    expect_eq "stdout" "$net.5 changed h323_port 7002 -> 7200; time sent" "$out"
    stamp() { grep "bytes: \"$1" "$work/5.log" | tail -n1 | cut -d' ' -f1; }
    ms() { IFS=':.' read -r h m s f <<<"$1"; echo $(((10#$h * 3600 + 10#$m * 60 + 10#$s) * 1000 + 10#$f)); }
    gap=$(($(ms "$(stamp USTTIME)") - $(ms "$(stamp '<')")))
    # Not before the half second; the upper bound (ten times) only catches one never sent.
    [ "$gap" -ge 480 ] && [ "$gap" -le 5000 ] || fail "time command $gap ms after the command, not 500"
    expect_has "clock set" "time_commands=1" "$(cat "$work/5.state")"

    case_name="time"
    run time "$net.5"
    expect_eq "exit" 0 "$rc"
    expect_eq "stdout" "$net.5 time sent" "$out"
    expect_has "clock set again" "time_commands=2" "$(cat "$work/5.state")"
    expect_eq "the host's date and time" "clock=$(date +%y*%m*%d)" \
        "$(grep -o '^clock=.\{8\}' "$work/5.state")"

    case_name="time reads the device first: no reply, nothing sent"
    run time "$net.9" "${quick[@]}"
    expect_eq "exit" 3 "$rc"
    expect_eq "stdout" "$net.9 no-reply; no reply from $net.9 port 4000 after 2 requests (300 ms each)" "$out"
    expect_eq "stderr" "orvanctl: $net.9: no reply from $net.9 port 4000 after 2 requests (300 ms each)" "$err"

    case_name="--verify"
    run set "$net.5" --mask 255.255.0.0 --verify
    expect_eq "exit" 0 "$rc"
    expect_eq "stdout" "$net.5 changed mask 255.255.240.0 -> 255.255.0.0; verified at $net.5" "$out"
    run set "$net.4" --mask 255.255.0.0 --verify "${quick[@]}"
    expect_eq "exit, device ignoring commands" 6 "$rc"
    expect_eq "stdout, device ignoring commands" "$net.4 verify-failed mask 255.255.240.0 -> 255.255.0.0; verify: the device reports other settings: mask is 255.255.240.0, not 255.255.0.0" "$out"
    run set "$net.5" --ip 10.99.0.1 --verify "${quick[@]}"
    expect_eq "exit, new address unreachable" 6 "$rc"
    expect_has "stdout, new address unreachable" "cannot verify at the new address 10.99.0.1: no route to 10.99.0.1" "$out"

    case_name="--dry-run"
    n=$(commands 2)
    run set "$net.2" --mac AA-BB --dry-run
    expect_eq "exit" 0 "$rc"
    expect_eq "stdout" "$net.2 dry-run mac 02-00-5E-10-00-01 -> AA-BB
command <1BBC#1B5A#AC.10.05.01#AC.1F.02.02#AC.10.05.09#FF.FF.F0.00#AA-BB>" "$out"
    expect_eq "commands" "$n" "$(commands 2)"
    ;;

scan)
    for host in 9 10 100 250; do sim $host; done

    case_name="finds exactly the devices in a /24"
    run scan "$net.0/24" --rate 1000 --wait 0.5
    expect_eq "exit" 0 "$rc"
    expect_eq "stdout" "$net.9 mac=02-00-5E-10-00-01 ip=$net.9 telemetry_port=7001 h323_port=7002
$net.10 mac=02-00-5E-10-00-01 ip=$net.10 telemetry_port=7001 h323_port=7002
$net.100 mac=02-00-5E-10-00-01 ip=$net.100 telemetry_port=7001 h323_port=7002
$net.250 mac=02-00-5E-10-00-01 ip=$net.250 telemetry_port=7001 h323_port=7002" "$out"
    expect_has "summary" "scan: 4 of 254 addresses answered in" "$err"
    run scan "$net.0/24" --rate 1000 --wait 0.5 --json
    expect_eq "JSON lines" 4 "$(grep -c '^{"address":"' <<<"$out")"
    expect_has "JSON" "{\"address\":\"$net.100\",\"port\":4000,\"telemetry_port\":7001,\"h323_port\":7002,\"gateway\":\"172.16.5.1\",\"ip\":\"$net.100\",\"controller\":\"172.16.5.9\",\"mask\":\"255.255.240.0\",\"mac\":\"02-00-5E-10-00-01\"}" "$out"

    case_name="retries: a device that drops its first request is found in the second round"
    # The /24 scans' requests to these addresses may still wait in the kernel for their
    # neighbour: flushed, they cannot reach the new devices as a first request.
    ip neigh flush dev "${link}h"
    sim 20 --drop-requests 1
    sim 21 --drop-requests 1
    run scan "$net.20-$net.20" --rate 1000 --wait 0.3
    expect_eq "exit without retries" 7 "$rc"
    run scan "$net.21-$net.22" --rate 1000 --wait 0.3 --retries 1 --csv
    expect_eq "exit with a retry" 0 "$rc"
    expect_eq "CSV" "$(printf '%s\r\n' "address,port,telemetry_port,h323_port,gateway,ip,controller,mask,mac" "$net.21,4000,7001,7002,172.16.5.1,$net.21,172.16.5.9,255.255.240.0,02-00-5E-10-00-01")" "$out"
    sleep 0.2
    # Asked again (the kernel may hold both rounds until the neighbour answers: at least 2).
    requests=$(grep -o '^requests=[0-9]*' "$work/21.state" | cut -d= -f2)
    [ "${requests:-0}" -ge 2 ] || fail "requests to the device: ${requests:-none}, not 2 or more"

    case_name="none on an empty range"
    run scan "$net.200-$net.220" --rate 1000 --wait 0.3
    expect_eq "exit" 7 "$rc"
    expect_eq "stdout" "" "$out"
    expect_has "summary" "scan: 0 of 21 addresses answered" "$err"

    case_name="rate respected"
    start=$(date +%s%N)
    run scan "$net.0/24" --rate 100 --wait 0.2
    took=$((($(date +%s%N) - start) / 1000000))
    expect_eq "exit" 0 "$rc"
    # 254 requests at 100 per second: the last leaves 2.53 s after the first. A loaded machine
    # only slows it down: the upper bounds are ten times, for a scan that never ends.
    [ "$took" -ge 2500 ] && [ "$took" -le 27300 ] || fail "took $took ms, expected 2730 give or take"
    stamp() { grep 'bytes: "GO"' "$work/$1.log" | tail -n1 | cut -d' ' -f1; }
    ms() { IFS=':.' read -r h m s f <<<"$1"; echo $(((10#$h * 3600 + 10#$m * 60 + 10#$s) * 1000 + 10#$f)); }
    gap=$(($(ms "$(stamp 250)") - $(ms "$(stamp 10)")))
    # .10 is the 10th request and .250 the 250th: 240 intervals of 10 ms.
    [ "$gap" -ge 2300 ] && [ "$gap" -le 24000 ] || fail "$net.10 to $net.250: $gap ms, not 2400"

    case_name="broadcast only with --broadcast"
    run scan "$net.255-$net.255" --wait 0.2
    expect_eq "exit" 7 "$rc"
    expect_has "stderr" "scan: not asked: 1 (broadcast address without --broadcast: 1); the first: $net.255 is a broadcast address: sending to it needs --broadcast" "$err"
    run scan "$net.255-$net.255" --wait 0.2 --broadcast
    expect_eq "exit with --broadcast" 0 "$rc"
    [[ "$err" != *"not asked"* ]] || fail "with --broadcast: $err"
    # One request, and every device of the link answers from its own address.
    everyone=$(for host in 9 10 20 21 100 250; do
        echo "$net.$host mac=02-00-5E-10-00-01 ip=$net.$host telemetry_port=7001 h323_port=7002"
    done)
    expect_eq "stdout with --broadcast" "$everyone" "$out"
    run scan "$net.248/29" --wait 0.2 --broadcast --json
    expect_eq "exit, /29 and its broadcast" 0 "$rc"
    expect_has "summary, /29 and its broadcast" "scan: 6 devices answered 7 addresses asked" "$err"
    [[ "$err" != *"not asked"* ]] || fail "/29 with --broadcast: $err"

    case_name="a limited broadcast reaches the devices of its own link only"
    # A device on another link of the far side hears 255.255.255.255 there, not from this link.
    far ip link add "${link}x" type veth peer name "${link}y" || exit 1
    far ip addr add "172.30.$n.2/24" dev "${link}x" && far ip link set "${link}x" up || exit 1
    far ip link set "${link}y" up
    nsenter -t "$far_pid" -n "$devsim" --address "172.30.$n.2" --port 4000 \
        --state "$work/other.state" </dev/null >"$work/other.log" 2>&1 &
    sims+=($!)
    for _ in $(seq 100); do grep -q listening "$work/other.log" && break; sleep 0.05; done
    expect_has "the other link's device" "broadcasts of its link too: 172.30.$n.255:4000 and 255.255.255.255:4000" "$(cat "$work/other.log")"
    ip route add 255.255.255.255/32 dev "${link}h"
    run scan 255.255.255.255-255.255.255.255 --wait 0.2 --broadcast
    expect_eq "exit" 0 "$rc"
    expect_eq "stdout" "$everyone" "$out"
    expect_eq "datagrams at the other link's device" "0" "$(datagrams other)"
    # Three broadcast scans so far, each printed with where it went.
    expect_eq "broadcasts printed at $net.9" "$net.255 $net.255 255.255.255.255" \
        "$(grep -o ' to broadcast [0-9.]*, 2 bytes: "GO"' "$work/9.log" | cut -d' ' -f4 | tr -d , | xargs)"

    case_name="a broadcast address another program holds is told, and the device goes on"
    # A simulator on the broadcast address itself holds it the way a plain program would.
    nsenter -t "$far_pid" -n "$devsim" --address "$net.255" --port 4001 \
        --state "$work/held.state" </dev/null >"$work/held.log" 2>&1 &
    sims+=($!)
    for _ in $(seq 100); do grep -q listening "$work/held.log" && break; sleep 0.05; done
    sim 30 --port 4001
    expect_has "log" "broadcasts to $net.255:4001 not heard: Address already in use" "$(cat "$work/30.log")"
    expect_has "log" "hears the broadcasts of its link too: 255.255.255.255:4001" "$(cat "$work/30.log")"
    run get "$net.30" --port 4001
    expect_eq "exit" 0 "$rc"

    case_name="bad ranges"
    for range in "$net.0/15" "$net.0" "$net.9-$net.1" "$net.0/24x"; do
        run scan "$range"
        expect_eq "exit for $range" 2 "$rc"
    done
    ;;

apply)
    sim 2
    sim 3
    sim 4 --ignore-commands

    case_name="mixed plan: changed, already matching, unreachable, ignoring"
    cat >"$work/plan.json" <<EOF
[
  {"address": "$net.2", "telemetry_port": 7100, "mac": "AA-BB"},
  {"address": "$net.3", "telemetry_port": 7001, "mask": "255.255.240.0"},
  {"address": "$net.9", "gateway": "172.16.5.254"},
  {"address": "$net.4", "h323_port": 7300}
]
EOF
    n3=$(commands 3)
    run apply "$work/plan.json" --verify "${quick[@]}"
    expect_eq "exit" 1 "$rc"
    expect_eq "stdout" "$net.2 changed telemetry_port 7001 -> 7100, mac 02-00-5E-10-00-01 -> AA-BB; verified at $net.2
$net.3 unchanged
$net.9 no-reply; no reply from $net.9 port 4000 after 2 requests (300 ms each)
$net.4 verify-failed h323_port 7002 -> 7300; verify: the device reports other settings: h323_port is 7002, not 7300
summary: 4 devices, 1 changed, 1 unchanged, 2 failed: $net.9 $net.4" "$out"
    expect_eq "commands to the matching device" "$n3" "$(commands 3)"
    expect_has "settings" "telemetry=7100" "$(settings_with 2 telemetry=7100)"

    case_name="JSON lines"
    run apply "$work/plan.json" --json "${quick[@]}" --parallel 1
    expect_eq "exit" 1 "$rc"
    expect_eq "first line" "{\"address\":\"$net.2\",\"result\":\"unchanged\",\"changes\":[],\"before\":{\"telemetry_port\":7100,\"h323_port\":7002,\"gateway\":\"172.16.5.1\",\"ip\":\"$net.2\",\"controller\":\"172.16.5.9\",\"mask\":\"255.255.240.0\",\"mac\":\"AA-BB\"},\"command\":null,\"sent\":{\"request\":true,\"command\":false,\"time\":false},\"time_sent\":false,\"verified\":false,\"skipped\":[],\"message\":\"\"}" "$(head -n1 <<<"$out")"
    expect_eq "lines" 4 "$(wc -l <<<"$out")"
    # Without --verify the device that ignores commands counts as changed.
    expect_eq "summary on stderr" "orvanctl: summary: 4 devices, 1 changed, 2 unchanged, 1 failed: $net.9" "$err"

    case_name="invalid plan refused, nothing sent"
    n2=$(datagrams 2)
    while IFS= read -r plan; do
        echo "$plan" >"$work/bad.json"
        run apply "$work/bad.json"
        expect_eq "exit for $plan" 2 "$rc"
    done <<EOF
{"address": "$net.2"}
[{"address": "$net.2", "mask": "255.255.0"}]
[{"address": "$net.2", "telemetry_port": 7000}, {"address": "$net.2", "h323_port": 7001}]
[{"telemetry_port": 7000}]
[{"address": "$net.2", "port": 4001}]
[{"address": "$net.2"
EOF
    expect_eq "datagrams" "$n2" "$(datagrams 2)"

    case_name="Ctrl+C prints what was done"
    echo "[{\"address\": \"$net.2\", \"telemetry_port\": 7500}, {\"address\": \"$net.9\", \"mask\": \"255.0.0.0\"}]" >"$work/slow.json"
    "$ctl" apply "$work/slow.json" --parallel 1 --timeout 10 >"$work/out" 2>"$work/err" &
    pid=$!
    for _ in $(seq 100); do grep -q "$net.2 changed" "$work/out" && break; sleep 0.05; done
    sleep 0.2
    kill -INT $pid
    wait $pid
    rc=$?
    expect_eq "exit" 130 "$rc"
    expect_eq "stdout" "$net.2 changed telemetry_port 7100 -> 7500
$net.9 interrupted
summary: 2 devices, 1 changed, 0 unchanged, 1 failed: $net.9" "$(cat "$work/out")"
    ;;

port)
    sim 2

    case_name="port taken by another program"
    # Another program holds the device port on the near address: here, a simulator.
    "$devsim" --address "$near" --port 4000 </dev/null >"$work/holder.log" 2>&1 &
    sims+=($!)
    for _ in $(seq 100); do grep -q listening "$work/holder.log" && break; sleep 0.05; done
    for args in "get $net.2" "set $net.2 --mask 255.0.0.0" "time $net.2" "scan $net.0/28" \
        "apply $work/plan.json"; do
        echo "[{\"address\": \"$net.2\", \"mask\": \"255.0.0.0\"}]" >"$work/plan.json"
        # shellcheck disable=SC2086
        run $args
        expect_eq "exit for $args" 5 "$rc"
        expect_eq "stderr for $args" "orvanctl: port 4000 on $near is taken by another program (Orvan's listener or another orvanctl?)" "$err"
    done
    expect_eq "datagrams to the device" 0 "$(datagrams 2)"

    case_name="port held by another orvanctl: turns"
    kill "${sims[-1]}"
    wait "${sims[-1]}" 2>/dev/null
    # The other run holds the port for 1.5 s (one request to an address that never answers).
    "$ctl" get "$net.9" --timeout 1.5 --retries 0 </dev/null >/dev/null 2>&1 &
    other=$!
    sleep 0.3
    run get "$net.2" --port-wait 0.3
    expect_eq "exit past --port-wait" 5 "$rc"
    expect_eq "stderr past --port-wait" "orvanctl: port 4000 on $near is held by another orvanctl run for longer than --port-wait 0.3 s" "$err"
    start=$(date +%s%N)
    run get "$net.2"
    took=$((($(date +%s%N) - start) / 1000000))
    expect_eq "exit, waiting its turn" 0 "$rc"
    [ "$took" -ge 400 ] || fail "did not wait for the other run: $took ms"
    wait $other 2>/dev/null
    n=$(datagrams 2)
    "$ctl" set "$net.2" --telemetry-port 7301 </dev/null >"$work/a.out" 2>&1 &
    a=$!
    "$ctl" set "$net.2" --h323-port 7302 </dev/null >"$work/b.out" 2>&1 &
    b=$!
    wait $a; ra=$?
    wait $b; rb=$?
    expect_eq "two runs at once, exits" "0 0" "$ra $rb"
    # The simulator writes its state just after taking the command: give it a moment.
    for _ in $(seq 20); do [[ "$(settings_of 2)" == *"telemetry=7301 h323=7302"* ]] && break; sleep 0.05; done
    expect_has "two runs at once, both changes" "telemetry=7301 h323=7302" "$(settings_of 2)"
    ;;

plan)
    sim 2
    sim 3
    sim 4
    all_datagrams() { echo "$(datagrams 2) $(datagrams 3) $(datagrams 4)"; }

    case_name="plans that would give two devices one identity: refused whole, nothing sent"
    n=$(all_datagrams)
    echo "[{\"address\": \"$net.2\", \"ip\": \"$net.50\"}, {\"address\": \"$net.3\", \"ip\": \"$net.50\"}]" >"$work/bad.json"
    run apply "$work/bad.json"
    expect_eq "exit, stderr" "2 orvanctl: plan refused, nothing sent:
  one new ip $net.50 for several devices: plan entry 1 ($net.2), plan entry 2 ($net.3)" "$rc $err"
    expect_eq "datagrams to the devices" "$n" "$(all_datagrams)"

    case_name="values the library or the device cannot take, and unreadable files: exit 2"
    echo "[{\"address\": \"$net.2\", \"h323_port\": 1e400}]" >"$work/bad.json"
    run apply "$work/bad.json"
    expect_eq "exit for a library error" "2 1" "$rc $(wc -l <<<"$err")"
    run apply /dev/zero
    expect_eq "/dev/zero" "2 orvanctl: plan: /dev/zero is larger than 16 MiB" "$rc $err"
    run apply "$work/none.json"
    rc1=$rc
    run set "$net.2" --from "$work/none.json"
    expect_eq "exit for a missing plan, a missing --from" "2 2" "$rc1 $rc"
    for option in "scan $net.0/30 --rate nan" "scan $net.0/30 --wait inf" "get $net.2 --timeout nan"; do
        # shellcheck disable=SC2086
        run $option
        expect_eq "exit, lines for $option" "2 1" "$rc $(wc -l <<<"$err")"
    done
    run gte "$net.2"
    expect_eq "mistyped subcommand" "2 orvanctl: unknown subcommand 'gte'; did you mean 'get'? See orvanctl --help" "$rc $err"
    run apply "$work/bad.json" --verfy
    expect_eq "mistyped option" "2 orvanctl: unknown option '--verfy' for apply; did you mean '--verify'? See orvanctl apply --help" "$rc $err"
    expect_eq "datagrams to the devices" "$n" "$(all_datagrams)"

    case_name="dry run: the requests only"
    echo "[{\"address\": \"$net.2\", \"telemetry_port\": 7100}, {\"address\": \"$net.3\", \"telemetry_port\": 7001}]" >"$work/plan.json"
    c2=$(commands 2) d2=$(datagrams 2)
    run apply "$work/plan.json" --dry-run
    expect_eq "exit" 0 "$rc"
    expect_eq "stdout" "$net.2 dry-run telemetry_port 7001 -> 7100; command <1BBC#1B5A#AC.10.05.01#AC.1F.06.02#AC.10.05.09#FF.FF.F0.00#02-00-5E-10-00-01>
$net.3 unchanged
summary: 2 devices, 1 would change, 1 unchanged, 0 failed (dry run: nothing sent but the requests)" "$out"
    run apply "$work/plan.json" --dry-run --json
    expect_has "JSON" '"command":"<1BBC#1B5A#AC.10.05.01#AC.1F.06.02#AC.10.05.09#FF.FF.F0.00#02-00-5E-10-00-01>","sent":{"request":true,"command":false,"time":false}' "$out"
    expect_eq "commands, requests" "$c2 $((d2 + 2))" "$(commands 2) $(datagrams 2)"

    case_name="CSV plan, CSV results, and the audit log"
    printf '\xef\xbb\xbfaddress,telemetry_port,mac\r\n%s,7200,\r\n%s,,"Ж-3"\r\n' "$net.2" "$net.3" >"$work/plan.csv"
    run apply "$work/plan.csv" --csv --log "$work/site.log"
    expect_eq "exit" 0 "$rc"
    expect_eq "stdout" "$(printf '%s\r\n' "address,result,changes,command,request_sent,command_sent,time_sent,verified,message" \
        "$net.2,changed,telemetry_port 7001 -> 7200,<1C20#1B5A#AC.10.05.01#AC.1F.06.02#AC.10.05.09#FF.FF.F0.00#02-00-5E-10-00-01>,yes,yes,no,no," \
        "$net.3,changed,mac 02-00-5E-10-00-01 -> Ж-3,<1B59#1B5A#AC.10.05.01#AC.1F.06.03#AC.10.05.09#FF.FF.F0.00#Ж-3>,yes,yes,no,no,")" "$out"
    expect_has "settings" "telemetry=7200" "$(settings_with 2 telemetry=7200)"
    expect_eq "log lines" 2 "$(wc -l <"$work/site.log")"
    line=$(grep "\"address\":\"$net.3\"" "$work/site.log")
    expect_has "log line" "\"local\":\"$near\",\"address\":\"$net.3\",\"mac\":\"02-00-5E-10-00-01\",\"before\":{\"telemetry_port\":7001" "$line"
    expect_has "log line" '"mac":"Ж-3"},"command":"<1B59#1B5A#AC.10.05.01#AC.1F.06.03#AC.10.05.09#FF.FF.F0.00#Ж-3>","time_command":false,"result":"changed"}' "$line"
    [[ "$line" =~ ^\{\"time\":\"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}[+-][0-9]{2}:[0-9]{2}\" ]] || fail "log time: $line"
    run time "$net.4" --log "$work/site.log"
    expect_eq "log lines after time" 3 "$(wc -l <"$work/site.log")"
    expect_has "time line" "\"address\":\"$net.4\",\"mac\":\"02-00-5E-10-00-01\"" "$(tail -n1 "$work/site.log")"
    expect_has "time line" '"command":null,"time_command":true,"result":"changed"}' "$(tail -n1 "$work/site.log")"
    echo keep >"$work/target"
    ln -s "$work/target" "$work/link.log"
    run set "$net.2" --h323-port 7300 --log "$work/link.log"
    expect_eq "exit, a link planted at the log" 2 "$rc"
    expect_eq "link target untouched" keep "$(cat "$work/target")"
    expect_has "nothing sent with a bad log" "h323=7002" "$(settings_of 2)"

    case_name="SIGTERM (from timeout) prints every result and the summary"
    echo "[{\"address\": \"$net.2\", \"telemetry_port\": 7200}, {\"address\": \"$net.9\", \"mask\": \"255.0.0.0\"}, {\"address\": \"$net.3\", \"h323_port\": 7501}]" >"$work/slow.json"
    # Stopped between the command and the time command: the result says the command went out.
    echo "[{\"address\": \"$net.4\", \"h323_port\": 7600}]" >"$work/time.json"
    c4=$(commands 4)
    "$ctl" apply "$work/time.json" --time --json </dev/null >"$work/out" 2>"$work/err" &
    pid=$!
    for _ in $(seq 200); do [ "$(commands 4)" -gt "$c4" ] && break; sleep 0.01; done
    kill -TERM $pid
    wait $pid
    expect_eq "exit, stopped before the time command" 130 "$?"
    expect_has "what was sent" "\"result\":\"interrupted\"" "$(cat "$work/out")"
    expect_has "what was sent" '"sent":{"request":true,"command":true,"time":false}' "$(cat "$work/out")"
    expect_eq "the time command never went out" "$((c4 + 1))" "$(commands 4)"
    echo "[{\"address\": \"$net.4\", \"h323_port\": 7601}]" >"$work/time.json"
    c4=$(commands 4)
    "$ctl" apply "$work/time.json" --time </dev/null >"$work/out" 2>"$work/err" &
    pid=$!
    for _ in $(seq 200); do [ "$(commands 4)" -gt "$c4" ] && break; sleep 0.01; done
    kill -INT $pid
    wait $pid
    expect_eq "text, stopped before the time command" "$net.4 interrupted h323_port 7600 -> 7601; interrupted after the configuration command was sent; the time command was not sent" "$(head -n1 "$work/out")"
    start=$(date +%s%N)
    timeout --preserve-status 1.5 "$ctl" apply "$work/slow.json" --parallel 3 --timeout 10 --json </dev/null >"$work/out" 2>"$work/err"
    rc=$?
    took=$((($(date +%s%N) - start) / 1000000))
    expect_eq "exit under timeout" 130 "$rc"
    # The exit status shows the TERM was heeded; the clock only that it did not hang.
    [ "$took" -le 15000 ] || fail "timeout 1.5 took $took ms"
    expect_eq "every result" "unchanged interrupted changed" "$(grep -o '"result":"[a-z-]*"' "$work/out" | cut -d'"' -f4 | tr '\n' ' ' | sed 's/ $//')"
    expect_eq "summary" "orvanctl: summary: 3 devices, 1 changed, 1 unchanged, 1 failed: $net.9" "$(cat "$work/err")"
    ;;

utf8)
    # 21 devices; the one that ignores commands keeps its code page 1251 MAC text, so its
    # verify message carries it.
    for host in $(seq 10 30); do
        if [ "$host" = 20 ]; then sim $host --ignore-commands --mac "$(printf '\xc6\xc6-01')"; else sim $host; fi
    done
    case_name="code page 1251 in messages: every result, valid UTF-8"
    {
        echo '['
        for host in $(seq 10 30); do
            [ "$host" = 10 ] || echo ','
            echo "{\"address\": \"$net.$host\", \"mac\": \"ЖЖ-$host\"}"
        done
        echo ']'
    } >"$work/plan.json"
    run apply "$work/plan.json" --verify --json "${quick[@]}"
    expect_eq "exit" 1 "$rc"
    expect_eq "results" 21 "$(grep -c '^{"address":' <<<"$out")"
    iconv -f UTF-8 -t UTF-8 "$work/out" >/dev/null || fail "stdout is not UTF-8"
    expect_has "the device's text converted" "\"result\":\"verify-failed\"" "$(grep "\"$net.20\"" <<<"$out")"
    expect_has "the device's text converted" "mac is ЖЖ-01, not ЖЖ-20" "$(grep "\"$net.20\"" <<<"$out")"
    expect_eq "summary" "orvanctl: summary: 21 devices, 20 changed, 0 unchanged, 1 failed: $net.20" "$err"
    run get "$net.20"
    expect_eq "text output" "mac             ЖЖ-01" "$(tail -n1 <<<"$out")"
    ;;

backup)
    sim 2 --mac M-2
    sim 3 --mac M-3
    sim 4 --mac ''
    sim 10 --mac AB/CD
    sim 11 --mac AB:CD
    sim 12 --mac "$net.13"
    sim 13 --mac ''
    sim 14 --cut 57
    sim 15 --mac M-15 --swap-after 3 --swap-mac OTHER-15
    sim 16 --mac U.partial
    dir=$work/backups
    mkdir "$dir"

    case_name="backup: one file per device, named by MAC text, written over a planted link"
    echo keep >"$work/target"
    ln -s "$work/target" "$dir/M-2.json"
    run backup "$net.2" "$net.3" "$net.4-$net.6" --dir "$dir"
    expect_eq "exit" 0 "$rc"
    expect_eq "files" "$net.4.json M-2.json M-3.json" "$(cd "$dir" && ls | tr '\n' ' ' | sed 's/ $//')"
    [ -L "$dir/M-2.json" ] && fail "the link is still there"
    expect_eq "link target untouched" keep "$(cat "$work/target")"
    expect_has "file" "{\"address\":\"$net.2\",\"port\":4000,\"telemetry_port\":7001,\"h323_port\":7002,\"gateway\":\"172.16.5.1\",\"ip\":\"$net.2\",\"controller\":\"172.16.5.9\",\"mask\":\"255.255.240.0\",\"mac\":\"M-2\",\"read_at\":\"" "$(cat "$dir/M-2.json")"
    expect_has "summary" "backup: 3 of 5 addresses saved in $dir" "$err"
    run backup "$net.9" --dir "$dir" "${quick[@]}"
    expect_eq "exit, nothing answered" 7 "$rc"

    case_name="restore: the device's own settings back, identity kept"
    run set "$net.2" --telemetry-port 7400 --controller 172.16.5.77 --ip "$net.52" --mask 255.255.0.0
    expect_eq "changed" 0 "$rc"
    c3=$(commands 3)
    run restore "$dir/M-2.json" "$dir/M-3.json" --dry-run
    expect_eq "exit, dry run" 0 "$rc"
    expect_has "dry run" "$net.2 dry-run telemetry_port 7400 -> 7001, controller 172.16.5.77 -> 172.16.5.9" "$out"
    expect_has "settings after the dry run" "telemetry=7400" "$(settings_with 2 telemetry=7400)"
    run restore "$dir" --verify
    expect_eq "exit" 0 "$rc"
    expect_has "stdout" "$net.2 changed telemetry_port 7400 -> 7001, controller 172.16.5.77 -> 172.16.5.9; verified at $net.2" "$out"
    expect_has "ip kept without --network" "ip=$net.52 handset=172.16.5.9 mask=255.255.0.0" "$(settings_with 2 "ip=$net.52 handset=172.16.5.9 mask=255.255.0.0")"
    expect_eq "matching device untouched" "$c3" "$(commands 3)"
    run restore "$dir/M-2.json" --network --json
    expect_eq "exit, --network" 0 "$rc"
    expect_has "ip back with --network" "gateway=172.16.5.1 ip=$net.2 handset=172.16.5.9 mask=255.255.240.0 mac=M-2" "$(settings_with 2 "gateway=172.16.5.1 ip=$net.2 handset=172.16.5.9 mask=255.255.240.0 mac=M-2")"

    case_name="restore refuses a device whose MAC text differs"
    sed "s/\"$net.2\"/\"$net.3\"/; s/\"telemetry_port\":7001/\"telemetry_port\":7555/" "$dir/M-2.json" >"$work/moved.json"
    run restore "$work/moved.json" "$dir/$net.4.json"
    expect_eq "exit" 8 "$rc"
    expect_has "stdout" "$net.3 mismatch; not the device of $work/moved.json: it reports the MAC text 'M-3', the file 'M-2'; nothing sent" "$out"
    expect_has "the other file goes on" "$net.4 unchanged" "$out"
    expect_eq "commands to the other device" "$c3" "$(commands 3)"
    run restore "$work/moved.json" --json
    expect_has "JSON" "\"result\":\"mismatch\"" "$out"

    case_name="--source and -v"
    run get "$net.2" --source "$near" -v
    expect_eq "exit" 0 "$rc"
    [[ "$err" =~ ^[0-9:.]{12}\ sent\ $net.2:4000\ 2\ bytes\ GO$'\n'[0-9:.]{12}\ received\ $net.2:4000\ [0-9]+\ bytes\ \<1B59 ]] || fail "-v lines: $err"
    run get "$net.2" --source 10.99.0.1
    expect_eq "exit, not this host's" 2 "$rc"

    case_name="backup never replaces another device's file, in one run or across runs"
    d=$work/named
    run backup "$net.10" --dir "$d"
    run backup "$net.11" --dir "$d"
    expect_eq "a name taken in an earlier run" "0 $net.11 saved $d/AB_CD~2.json" "$rc $out"
    run backup "$net.11" "$net.12" "$net.13" "$net.14" --dir "$d"
    expect_eq "stdout" "$net.11 saved $d/AB_CD~2.json
$net.12 saved $d/$net.13.json
$net.13 saved $d/$net.13~2.json
$net.14 saved $d/$net.14.partial.json (partial)" "$out"
    expect_has "summary" "backup: 4 of 4 addresses saved" "$err"
    expect_eq "files" "$net.13.json $net.13~2.json $net.14.partial.json AB_CD.json AB_CD~2.json" "$(cd "$d" && LC_ALL=C ls | tr '\n' ' ' | sed 's/ $//')"
    expect_eq "each its own device" '"mac":"AB/CD" "mac":"AB:CD" "mac":"172.31.7.13" "mac":""' \
        "$(for f in AB_CD AB_CD~2 "$net.13" "$net.13~2"; do grep -o '"mac":"[^"]*"' "$d/$f.json"; done | tr '\n' ' ' | sed 's/ $//')"

    case_name="a complete backup is never named as a partial one, and is restored"
    run backup "$net.16" --dir "$work/up"
    expect_eq "name" "0 $net.16 saved $work/up/U.partial_.json" "$rc $out"
    run set "$net.16" --telemetry-port 7400
    run restore "$work/up"
    expect_eq "restored" "0 $net.16 changed telemetry_port 7400 -> 7001" "$rc $out"

    case_name="restore: a file named twice (its folder and itself) is read once"
    run restore "$work/up/" "$work/up/U.partial_.json" "$work/up/./U.partial_.json"
    expect_eq "exit" 0 "$rc"
    expect_eq "stdout" "$net.16 unchanged" "$out"
    expect_eq "stderr" "orvanctl: restore: 1 files, 0 restored, 1 unchanged, 0 not the device of their file, 0 failed, 0 skipped" "$err"

    case_name="restore skips the files it cannot use, names each, restores the others"
    r=$work/mixed
    mkdir "$r"
    run set "$net.11" --telemetry-port 7400
    cp "$d/AB_CD.json" "$d/AB_CD~2.json" "$d/$net.14.partial.json" "$r/"
    sed 's|AB/CD|OLD-10|' "$d/AB_CD.json" >"$r/old-10.json"
    echo '{"colour": "red"}' >"$r/junk.json"
    mkfifo "$r/fifo.json"
    timeout -k 5 20 "$ctl" restore "$r" >"$work/out" 2>"$work/err"
    expect_eq "exit" 10 "$?"
    expect_eq "stdout" "$net.11 changed telemetry_port 7400 -> 7001" "$(cat "$work/out")"
    expect_eq "stderr" "orvanctl: $r/$net.14.partial.json: a partial backup (the reply parsed only in part); skipped
orvanctl: $r/fifo.json: not a regular file; skipped
orvanctl: $r/junk.json: not a backup file (no \"address\" or \"mac\"); skipped
orvanctl: $r/AB_CD.json: $net.10 is the address in $r/old-10.json too; restore the device's own file by name; skipped
orvanctl: $r/old-10.json: $net.10 is the address in $r/AB_CD.json too; restore the device's own file by name; skipped
orvanctl: restore: 6 files, 1 restored, 0 unchanged, 0 not the device of their file, 0 failed, 5 skipped" "$(cat "$work/err")"
    expect_eq "commands to the device of two files" 0 "$(commands 10)"

    case_name="restore writes only the device whose reply carries the file's MAC text"
    # Its fourth reply on comes from another unit: after the backup, the set, the restore's read.
    run backup "$net.15" --dir "$work/swap"
    run set "$net.15" --telemetry-port 7400
    run restore "$work/swap" --verify
    expect_eq "exit, swapped once the command went out" 6 "$rc"
    expect_has "stdout" "verify: the device reports other settings: mac is OTHER-15, not M-15" "$out"
    expect_has "the command carries the file's MAC text" '#M-15>"' "$(grep 'bytes: "<' "$work/15.log" | tail -n1)"
    n=$(commands 15)
    run restore "$work/swap"
    expect_eq "exit, commands, the other unit" "8 $n" "$rc $(commands 15)"

    case_name="restore stopped by SIGTERM: every result said, 130"
    mkdir "$work/stop"
    cp "$dir/M-3.json" "$work/stop/"
    sed "s/$net.3/$net.9/g; s/M-3/M-9/" "$dir/M-3.json" >"$work/stop/M-9.json"
    run set "$net.3" --telemetry-port 7400
    n=$(commands 3)
    "$ctl" restore "$work/stop" --timeout 10 --json </dev/null >"$work/out" 2>"$work/err" &
    pid=$!
    for _ in $(seq 100); do [ "$(commands 3)" -gt "$n" ] && break; sleep 0.05; done
    kill -TERM $pid
    wait $pid
    expect_eq "exit" 130 "$?"
    expect_eq "results" "changed interrupted" "$(grep -o '"result":"[a-z-]*"' "$work/out" | cut -d'"' -f4 | tr '\n' ' ' | sed 's/ $//')"
    ;;
esac

if [ "$failures" -gt 0 ]; then
    echo "$failures failed"
    exit 1
fi
echo "$group: all cases passed"
