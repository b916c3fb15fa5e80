#!/usr/bin/env bash
# The velmarsoft.orvan collection in playbooks (connection local, as on a site's jump host)
# against device simulators on the far side of a veth pair. One group of cases per run:
#   ansible_netns_test.sh ORVANCTL DEVSIM COLLECTIONS_DIR device|apply|forks|inventory|hostile
# Skips (exit 77) unless run as root in a private namespace with ORVAN_NETNS=1.
set -u
ctl=$(realpath "$1") devsim=$(realpath "$2") collections=$(realpath "$3") group=$4
here=$(cd "$(dirname "$0")" && pwd)

command -v ansible-playbook >/dev/null || { echo "skipped: needs ansible-playbook (ansible-core)"; exit 77; }
case $group in device) n=21 ;; apply) n=22 ;; forks) n=23 ;; inventory) n=24 ;; hostile) n=25 ;;
*) echo "unknown group $group"; exit 2 ;; esac
. "$here/../../support/far_segment.sh"

setting_of() {  # setting_of HOST KEY: a setting or a count from the simulator's state file
    local value
    value=$(sed -n "s/^$2=//p" "$work/$1.state" 2>/dev/null)
    echo "${value:-0}"
}
datagrams() { setting_of "$1" datagrams; }  # datagrams the simulator at HOST got
commands() { setting_of "$1" config_commands; }  # configuration commands among them

# Ansible writes nothing in the checkout or $HOME; orvanctl is found on PATH.
export HOME=$work/home ANSIBLE_HOME=$work/ansible ANSIBLE_LOCAL_TEMP=$work/tmp \
    ANSIBLE_REMOTE_TEMP=$work/tmp ANSIBLE_COLLECTIONS_PATH=$collections ANSIBLE_NOCOLOR=1 \
    ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_PYTHON_INTERPRETER=/usr/bin/python3 \
    ANSIBLE_DEPRECATION_WARNINGS=0 PYTHONDONTWRITEBYTECODE=1 PATH="$(dirname "$ctl"):$PATH"
mkdir -p "$HOME" "$work/results"
cd "$work" || exit 1
inventory=$work/inventory
# hosts HOST...: the inventory's group "devices", one host per simulator address.
hosts() {
    {
        echo "[devices]"
        local h
        for h in "$@"; do echo "dev$h address=$net.$h"; done
        echo "[devices:vars]"
        echo "ansible_connection=local"
    } >"$inventory"
}
# play PLAYBOOK ARGS...: ansible-playbook, every command recorded in $record; sets out (its
# output) and rc.
record=$work/orvanctl.log
play() {
    local book=$1
    shift
    rm -f "$work"/results/*.json
    ansible-playbook -i "$inventory" -e "results_dir=$work/results" -e "log=$record" \
        "$here/playbooks/$book" "$@" >"$work/play.out" 2>&1
    rc=$?
    out=$(cat "$work/play.out")
}
# field NAME PATH: a value from results/NAME.json, PATH as a.b.0.c; JSON except for text.
field() {
    python3 - "$work/results/$1.json" "$2" <<'EOF'
import json, sys
value = json.load(open(sys.argv[1]))
for key in sys.argv[2].split('.'):
    if isinstance(value, list):
        value = value[int(key)] if int(key) < len(value) else None
    elif isinstance(value, dict):
        value = value.get(key)
print(value if isinstance(value, str) else json.dumps(value))
EOF
}
fields() {  # fields NAME PATH...: several values of one result, space-separated
    local name=$1 path out=()
    shift
    for path in "$@"; do out+=("$(field "$name" "$path")"); done
    echo "${out[*]}"
}
lines() { [ -e "$record" ] && wc -l <"$record" || echo none; }  # lines in the record
recap() {  # recap HOST: "ok=.. changed=.. failed=.." of the last play's recap
    sed -nE "s/^$1 +: ok=([0-9]+) +changed=([0-9]+) +unreachable=[0-9]+ +failed=([0-9]+).*/ok=\1 changed=\2 failed=\3/p" \
        <<<"$out"
}

case $group in
device)
    sim 2
    sim 3 --partial 20
    hosts 2 3 9
    want='{"wanted": {"telemetry_port": 7101, "gateway": "172.16.5.2"}}'

    case_name="check mode: change reported, nothing but the request sent"
    play device.yml -l dev2 -e "$want" --check --diff
    expect_eq "exit" 0 "$rc"
    expect_eq "recap" "ok=2 changed=1 failed=0" "$(recap dev2)"
    expect_eq "result, changed" "dry-run true" "$(fields dev2 result changed)"
    expect_has "command" "<1BBD#1B5A#AC.10.05.02#" "$(field dev2 command)"
    expect_eq "settings as read" "{\"telemetry_port\": 7001, \"h323_port\": 7002, \"gateway\": \"172.16.5.1\", \"ip\": \"$net.2\", \"controller\": \"172.16.5.9\", \"mask\": \"255.255.240.0\", \"mac\": \"02-00-5E-10-00-01\"}" \
        "$(field dev2 settings)"
    expect_eq "sent" '{"request": true, "command": false, "time": false}' "$(field dev2 sent)"
    expect_eq "commands the simulator got, telemetry port" "0 7001" "$(commands 2) $(setting_of 2 telemetry)"
    expect_eq "no record made" none "$(lines)"

    case_name="diff mode shows old and new"
    # Only what changes, both sides, under the device's address.
    expect_has "diff" "--- before: $net.2 (before)
+++ after: $net.2 (after)" "$out"
    expect_has "diff" '-    "gateway": "172.16.5.1",
-    "telemetry_port": 7001
+    "gateway": "172.16.5.2",
+    "telemetry_port": 7101' "$out"
    [[ "$out" == *'"h323_port"'* ]] && fail "a setting that does not change is in the diff"

    case_name="first run changes"
    play device.yml -l dev2 -e "$want" -e verify=true --diff
    expect_eq "exit" 0 "$rc"
    expect_eq "recap" "ok=2 changed=1 failed=0" "$(recap dev2)"
    expect_eq "changes" '[{"setting": "telemetry_port", "from": 7001, "to": 7101}, {"setting": "gateway", "from": "172.16.5.1", "to": "172.16.5.2"}]' \
        "$(field dev2 changes)"
    expect_eq "result, verified, read again" "changed true 7101 172.16.5.2" \
        "$(fields dev2 result verified after.telemetry_port after.gateway)"
    expect_eq "sent" '{"request": true, "command": true, "time": false}' "$(field dev2 sent)"
    expect_eq "commands the simulator got, its settings" "1 7101 172.16.5.2" \
        "$(commands 2) $(setting_of 2 telemetry) $(setting_of 2 gateway)"
    expect_eq "lines recorded" 1 "$(lines)"
    expect_has "the record" "\"address\":\"$net.2\",\"mac\":\"02-00-5E-10-00-01\"" "$(cat "$record")"
    expect_has "the record" '"time_command":false,"result":"changed"}' "$(cat "$record")"
    expect_has "diff" '+    "telemetry_port": 7101' "$out"

    case_name="second run: nothing to change"
    play device.yml -l dev2 -e "$want" --diff
    expect_eq "exit" 0 "$rc"
    expect_eq "recap" "ok=2 changed=0 failed=0" "$(recap dev2)"
    expect_eq "result, changes, settings as read" "unchanged [] 7101" \
        "$(fields dev2 result changes settings.telemetry_port)"
    expect_eq "commands the simulator got" 1 "$(commands 2)"
    [[ "$out" == *"--- before"* ]] && fail "a diff where nothing changes"

    case_name="check mode when nothing would change"
    play device.yml -l dev2 -e "$want" --check
    expect_eq "recap" "ok=2 changed=0 failed=0" "$(recap dev2)"
    expect_eq "result" unchanged "$(field dev2 result)"

    case_name="orvanctl_path"
    play device.yml -l dev2 -e '{"wanted": {"h323_port": 7102}}' -e "{\"orvanctl_path\": \"$ctl\"}"
    expect_eq "recap" "ok=2 changed=1 failed=0" "$(recap dev2)"
    expect_eq "h323 port" 7102 "$(setting_of 2 h323)"
    play device.yml -l dev2 -e '{"wanted": {"h323_port": 7102}}' \
        -e "{\"orvanctl_path\": \"$work/no-orvanctl\"}"
    expect_eq "failed, no such program" true "$(field dev2 failed)"

    case_name="source address"
    play device.yml -l dev2 -e '{"wanted": {"h323_port": 7103}}' -e "{\"source\": \"$near\"}" \
        -e time=true
    expect_eq "from the near address, time sent" "false 7103 true 1" \
        "$(field dev2 failed) $(setting_of 2 h323) $(field dev2 time_sent) $(setting_of 2 time_commands)"
    play device.yml -l dev2 -e '{"wanted": {"h323_port": 7102}}' -e '{"source": "10.9.9.9"}'
    expect_eq "not this host's: rc" 2 "$(field dev2 rc)"
    expect_has "not this host's: msg" "--source 10.9.9.9 is not an address of this host" "$(field dev2 msg)"
    play device.yml -l dev2 -e '{"wanted": {"h323_port": 7102}}'
    expect_eq "h323 port back" 7102 "$(setting_of 2 h323)"

    case_name="device_info returns the settings"
    play device_info.yml -l dev2,dev3 --check
    expect_eq "exit" 0 "$rc"
    expect_eq "recap" "ok=2 changed=0 failed=0" "$(recap dev2)"
    expect_eq "settings" "{\"telemetry_port\": 7101, \"h323_port\": 7102, \"gateway\": \"172.16.5.2\", \"ip\": \"$net.2\", \"controller\": \"172.16.5.9\", \"mask\": \"255.255.240.0\", \"mac\": \"02-00-5E-10-00-01\"}" \
        "$(field dev2 settings)"
    expect_eq "partial, changed" "false false" "$(fields dev2 partial changed)"
    # A partial reply: what parsed, the rest null and named; neither a failure nor a change.
    expect_eq "partial reply" 'true ["gateway", "ip", "controller", "mask"] 7001 null false null false' \
        "$(fields dev3 partial missing settings.telemetry_port settings.gateway failed rc changed)"

    case_name="failures carry orvanctl's message and exit status"
    # HOST|settings|rc|message
    while IFS='|' read -r host settings code message; do
        [ -n "$host" ] || continue
        play device.yml -l "dev$host" -e "{\"wanted\": $settings}" -e timeout=0.3 -e retries=1
        expect_eq "$host $settings: failed, rc" "true $code" "$(fields "dev$host" failed rc)"
        expect_has "$host $settings: msg" "$message" "$(field "dev$host" msg)"
        expect_has "$host $settings: shown" "fatal: [dev$host]: FAILED!" "$out"
    done <<EOF
9|{"mask": "255.255.255.0"}|3|$net.9: no reply from $net.9 port 4000 after 2 requests (300 ms each)
3|{"mask": "255.255.255.0"}|4|$net.3: the reply parsed only in part; not converted: gateway, ip, controller, mask
2|{"telemetry_port": 70000}|2|--telemetry-port
2|{"gateway": "172.16.5"}|2|--gateway
2|{}|null|settings: name at least one of
EOF
    expect_eq "commands the simulators got" "4 0" "$(commands 2) $(commands 3)"
    # Every command sent by any case, the time commands with theirs, and nothing else.
    expect_eq "lines recorded, against the commands and the time commands" "4 1 4" \
        "$(lines) $(grep -c '"time_command":true' "$record") $(commands 2)"
    ;;

apply)
    sim 2
    sim 3
    sim 4 --ignore-commands
    sim 5 --port 4001
    hosts
    plan="{\"plan\": [{\"address\": \"$net.2\", \"mask\": \"255.255.255.0\"},
        {\"address\": \"$net.3\", \"settings\": {\"mask\": \"255.255.255.0\", \"telemetry_port\": 7201}},
        {\"address\": \"$net.4\", \"mask\": \"255.255.240.0\"}]}"

    case_name="apply, check mode"
    play apply.yml -e "$plan" --check --diff
    expect_eq "exit" 0 "$rc"
    expect_eq "recap" "ok=2 changed=1 failed=0" "$(recap localhost)"
    expect_eq "results" "dry-run dry-run unchanged true true false" \
        "$(fields apply results.{0,1,2}.result results.{0,1,2}.changed)"
    expect_eq "commands the simulators got" "0 0 0" "$(commands 2) $(commands 3) $(commands 4)"
    expect_has "diff of the first" "+++ after: $net.2 (after)" "$out"
    expect_has "diff of the second" '+    "mask": "255.255.255.0",
+    "telemetry_port": 7201' "$out"
    [[ "$out" == *"after: $net.4"* ]] && fail "a diff for a device that matches"

    case_name="apply, several devices"
    play apply.yml -e "$plan" -e parallel=2 --diff
    expect_eq "exit" 0 "$rc"
    expect_eq "recap" "ok=2 changed=1 failed=0" "$(recap localhost)"
    expect_eq "results, settings as read" "changed changed unchanged $net.3 7001" \
        "$(fields apply results.{0,1,2}.result results.1.settings.ip results.1.settings.telemetry_port)"
    expect_eq "commands the simulators got" "1 1 0" "$(commands 2) $(commands 3) $(commands 4)"
    expect_eq "masks, telemetry port" "255.255.255.0 255.255.255.0 7201" \
        "$(setting_of 2 mask) $(setting_of 3 mask) $(setting_of 3 telemetry)"
    expect_eq "failed devices" "[]" "$(field apply failed_devices)"

    case_name="apply again: nothing to change"
    play apply.yml -e "$plan"
    expect_eq "recap" "ok=2 changed=0 failed=0" "$(recap localhost)"
    expect_eq "results" "unchanged unchanged unchanged" "$(fields apply results.{0,1,2}.result)"

    case_name="apply: a silent device and one that ignores the command"
    play apply.yml -e "{\"plan\": [{\"address\": \"$net.9\", \"mask\": \"255.255.0.0\"},
        {\"address\": \"$net.4\", \"mask\": \"255.255.0.0\"}, {\"address\": \"$net.2\", \"mask\": \"255.255.255.0\"}]}" \
        -e verify=true -e timeout=0.3 -e retries=1
    expect_eq "failed, rc, results" "true 1 no-reply verify-failed unchanged" \
        "$(fields apply failed rc results.{0,1,2}.result)"
    expect_eq "failed devices" "[\"$net.9\", \"$net.4\"]" "$(field apply failed_devices)"
    expect_has "msg" "$net.9: no reply from $net.9 port 4000" "$(field apply msg)"
    expect_has "msg" "$net.4: " "$(field apply msg)"
    # The device was written though it did not take the command.
    expect_eq "changed" true "$(field apply changed)"

    case_name="apply: an invalid entry sends nothing"
    before="$(datagrams 2) $(datagrams 3)"
    play apply.yml -e "{\"plan\": [{\"address\": \"$net.2\", \"mask\": \"255.255.255.0\"},
        {\"address\": \"$net.3\", \"telemetry\": 1}]}"
    expect_eq "rc" 2 "$(field apply rc)"
    expect_has "msg" "unknown setting 'telemetry'" "$(field apply msg)"
    expect_eq "datagrams" "$before" "$(datagrams 2) $(datagrams 3)"

    case_name="scan"
    play apply.yml -e "scan_range=$net.2-$net.12"
    expect_eq "exit" 0 "$rc"
    expect_eq "addresses" "[\"$net.2\", \"$net.3\", \"$net.4\"]" \
        "$(python3 -c 'import json,sys; print(json.dumps([d["address"] for d in json.load(open(sys.argv[1]))["devices"]]))' "$work/results/scan.json")"
    expect_eq "settings, changed" "255.255.255.0 7201 $net.4 false" \
        "$(fields scan devices.0.mask devices.1.telemetry_port devices.2.ip changed)"
    play apply.yml -e "scan_range=$net.2-$net.12" -e port=4001 -e rate=1000
    expect_eq "on another port, at another rate" "$net.5 4001 null" "$(fields scan devices.0.address devices.0.port devices.1)"
    play apply.yml -e "scan_range=$net.20-$net.22"
    expect_eq "nothing found" "[] false" "$(fields scan devices failed)"

    case_name="the record of apply"
    # Written, and written to but not taken (the one that ignores commands), never the others.
    # The one that ignores commands counts none, and has two lines: the one ahead of its
    # command and its verify-failed result.
    expect_eq "lines recorded, against the commands" "4 4 0" \
        "$(lines) $(($(commands 2) + $(commands 3) + 2)) $(commands 4)"
    expect_has "the record of the command not taken" "\"address\":\"$net.4\"" "$(grep verify-failed "$record")"
    ;;

forks)
    # Each simulator answers 1.5 s late, so that four runs at once surely meet on the port.
    for h in 2 3 4 5; do sim "$h" --delay 1500; done
    hosts 2 3 4 5
    want='{"wanted": {"controller": "172.16.5.10"}}'

    case_name="four hosts at once take turns on the port"
    play device.yml -f 4 -e "$want" -e timeout=3
    expect_eq "exit" 0 "$rc"
    for h in 2 3 4 5; do
        expect_eq "dev$h recap, failed, controller" "ok=2 changed=1 failed=0 false 172.16.5.10" \
            "$(recap "dev$h") $(field "dev$h" failed) $(setting_of "$h" handset)"
    done

    case_name="without waiting, runs that meet on the port fail with 5"
    play device.yml -f 4 -e '{"wanted": {"controller": "172.16.5.11"}}' -e timeout=3 -e port_wait=0
    codes=$(for h in 2 3 4 5; do field "dev$h" rc; done | sort | uniq -c | awk '{print $2 "x" $1}' | tr '\n' ' ')
    expect_has "exit statuses" "5x" "$codes"
    ;;
inventory)
    sim 2 --mac 02-00-5E-10-00-02
    sim 3 --mac "00 AC/6E" --gateway 172.16.6.1
    sim 4 --mac 02-00-5E-10-00-04 --gateway 172.16.6.1
    # Every device as a host of "devices", with the "address" the device playbook takes.
    cat >"$work/site.orvan.yml" <<EOF
plugin: velmarsoft.orvan.scan
ranges: [$net.2-$net.6]
wait: 0.5
keyed_groups: [{key: orvan_gateway, prefix: gateway}]
groups: {devices: true}
compose: {address: orvan_address}
cache: true
cache_plugin: jsonfile
cache_connection: $work/cache
EOF
    listing() {  # listing NAME ARGS...: ansible-inventory ARGS... on NAME.orvan.yml
        local name=$1
        shift
        ansible-inventory -i "$work/$name.orvan.yml" "$@" 2>"$work/inventory.err" ||
            fail "ansible-inventory $*: $(cat "$work/inventory.err")"
    }
    # inventory_field JSON PATH: a value of `ansible-inventory --list` output, as field does.
    inventory_field() {
        echo "$1" >"$work/results/list.json"
        field list "$2"
    }

    case_name="one host per device that answered, its settings as variables"
    list=$(listing site --list)
    expect_eq "hosts" "[\"$net.2\", \"$net.3\", \"$net.4\"]" "$(inventory_field "$list" devices.hosts)"
    # The device's text marked unsafe, as --list shows it; what compose made of it too.
    expect_eq "variables of $net.3" "{\"address\": {\"__ansible_unsafe\": \"$net.3\"}, \"ansible_connection\": \"local\", \"orvan_address\": {\"__ansible_unsafe\": \"$net.3\"}, \"orvan_controller\": {\"__ansible_unsafe\": \"172.16.5.9\"}, \"orvan_gateway\": {\"__ansible_unsafe\": \"172.16.6.1\"}, \"orvan_h323_port\": 7002, \"orvan_ip\": {\"__ansible_unsafe\": \"$net.3\"}, \"orvan_mac\": {\"__ansible_unsafe\": \"00 AC/6E\"}, \"orvan_mask\": {\"__ansible_unsafe\": \"255.255.240.0\"}, \"orvan_port\": 4000, \"orvan_telemetry_port\": 7001}" \
        "$(echo "$list" | python3 -c 'import json, sys; print(json.dumps(json.load(sys.stdin)["_meta"]["hostvars"][sys.argv[1]], sort_keys=True))' "$net.3")"
    expect_eq "a group by gateway" "[\"$net.3\", \"$net.4\"]" \
        "$(inventory_field "$list" gateway_172_16_6_1.hosts)"
    graph=$(listing site --graph)
    expect_has "graph" "@gateway_172_16_5_1:
  |  |--$net.2" "$graph"

    case_name="the cache read back without a scan"
    asked="$(datagrams 2) $(datagrams 3) $(datagrams 4)"
    expect_eq "the same inventory" "$list" "$(listing site --list)"
    expect_eq "nothing asked" "$asked" "$(datagrams 2) $(datagrams 3) $(datagrams 4)"

    case_name="a playbook over it changes every device it lists"
    inventory=$work/site.orvan.yml
    play device.yml -e '{"wanted": {"controller": "172.16.5.20"}}' --flush-cache
    expect_eq "exit" 0 "$rc"
    # The cache flushed: a scan, then the device's request and command.
    expect_eq "datagrams" "$((${asked%% *} + 3))" "$(datagrams 2)"
    for h in 2 3 4; do
        expect_eq "$net.$h: recap, controller" "ok=2 changed=1 failed=0 172.16.5.20" \
            "$(recap "$net.$h") $(setting_of "$h" handset)"
    done
    expect_eq "lines recorded, against the commands" "3 3" \
        "$(lines) $(($(commands 2) + $(commands 3) + $(commands 4)))"

    case_name="the cache is read back for a minute unless set, and goes with its folder"
    asked=$(datagrams 2)
    touch -d '-2 minutes' "$work"/cache/*
    listing site --list >/dev/null
    listing site --list >/dev/null
    expect_eq "scans: one for the stale cache, none for the one it stored" "$((asked + 1))" "$(datagrams 2)"
    rm -r "$work/cache"
    listing site --list >/dev/null
    expect_eq "scans after the cache's folder went" "$((asked + 2))" "$(datagrams 2)"
    ;;
hostile)
    # Devices whose MAC texts are templates, or names that stand for something else.
    pwned=$work/pwned
    sim 2 --mac "{{ lookup('pipe','touch $pwned') }}"
    sim 3 --mac "{{ 7*7 }}"
    sim 5 --mac ""
    sim 6 --mac "$net.5"
    sim 7 --mac twin
    sim 8 --mac twin
    sim 9 --mac all
    sim 10 --mac ungrouped
    sim 11 --mac devices
    sim 12 --mac gateway_172_16_5_1
    sim 13 --mac tower_b
    sim 14 --mac localhost
    sim 15 --mac "$(printf '0x%02X%02X%02X%02X' ${net//./ } 5)"  # $net.5 as the C library reads it
    sim 16 --mac north-door
    # A second range where nothing answers.
    cat >"$work/site.orvan.yml" <<EOF
plugin: velmarsoft.orvan.scan
ranges: [$net.2-$net.16, $net.30-$net.31]
hostname: mac
wait: 0.5
keyed_groups: [{key: orvan_gateway, prefix: gateway}, {key: orvan_mac, prefix: mac}]
groups: {devices: true, fortynine: "orvan_mac == '49'"}
compose: {address: orvan_address, shown: "orvan_mac ~ '!'"}
EOF
    ansible-inventory -i "$work/site.orvan.yml" --list >"$work/list.json" 2>"$work/inventory.err"
    status=$?
    # NAME ADDRESS [MAC] [SHOWN] for every host, unsafe values as their text; then a group.
    seen=$(python3 - "$work/list.json" <<'PY'
import json, sys
inv = json.load(open(sys.argv[1]))
def text(v):
    return v.get('__ansible_unsafe') if isinstance(v, dict) else v
hostvars = inv['_meta']['hostvars']
for name in sorted(hostvars, key=lambda n: [int(p) for p in text(hostvars[n]['orvan_address']).split('.')]):
    v = hostvars[name]
    print('%s %s [%s] [%s]' % (name, text(v['orvan_address']), text(v['orvan_mac']), text(v.get('shown'))))
print('fortynine: ' + ' '.join(sorted(inv.get('fortynine', {}).get('hosts', []))))
PY
)
    lookup="{{ lookup('pipe','touch $pwned') }}"
    lookup_name=$(sed 's/[^A-Za-z0-9_.-]/_/g' <<<"$lookup")

    case_name="device text stays literal in the inventory"
    expect_eq "ansible-inventory --list exit" 0 "$status"
    expect_eq "no command ran" absent "$([ -e "$pwned" ] && echo present || echo absent)"
    expect_has "the lookup's text" "$lookup_name $net.2 [$lookup] [$lookup!]" "$seen"
    expect_has "{{ 7*7 }}" "___7_7___ $net.3 [{{ 7*7 }}] [{{ 7*7 }}!]" "$seen"
    expect_eq "a group of MAC text 49" "fortynine: " "$(grep '^fortynine:' <<<"$seen")"

    case_name="a host name never stands for another device"
    # Every device once, by its address where its MAC text would stand for something else.
    expect_eq "hosts" "$lookup_name ___7_7___ $net.5 $net.6 $net.7 $net.8 $net.9 $net.10 $net.11 $net.12 tower_b $net.14 $net.15 north-door" \
        "$(grep -v ':' <<<"$seen" | awk '{print $1}' | tr '\n' ' ' | sed 's/ $//')"
    expect_eq "addresses" "$net.2 $net.3 $net.5 $net.6 $net.7 $net.8 $net.9 $net.10 $net.11 $net.12 $net.13 $net.14 $net.15 $net.16" \
        "$(grep -v ':' <<<"$seen" | awk '{print $2}' | tr '\n' ' ' | sed 's/ $//')"
    expect_has "-v says why" "$net.6 is named by its address: \"$net.5\", from its MAC text, looks like an address" \
        "$(ansible-inventory -i "$work/site.orvan.yml" --graph -v 2>&1)"
    # A group and a host another source lists first keep their names.
    printf '[tower_b]\nnorth-door ansible_host=jump-north.example.net\n' >"$work/north.ini"
    graph=$(ansible-inventory -i "$work/north.ini" -i "$work/site.orvan.yml" --graph 2>&1)
    expect_has "another source's group and host" "@tower_b:
  |  |--north-door" "$graph"
    expect_has "the devices of those MAC texts" "  |  |--$net.13
  |  |--$net.14
  |  |--$net.15
  |  |--$net.16" "$graph"
    inventory=$work/site.orvan.yml
    play device.yml -l "$net.5" -e '{"wanted": {"controller": "172.16.5.30"}}'
    expect_eq "a play limited to $net.5: exit, that device's controller, the other's" \
        "0 172.16.5.30 172.16.5.9" "$rc $(setting_of 5 handset) $(setting_of 6 handset)"

    case_name="a play prints device text as it is"
    play mac.yml
    expect_eq "exit" 0 "$rc"
    expect_has "the lookup's text" "\"msg\": \"$lookup_name $net.2 [$lookup] [$lookup!]\"" "$out"
    expect_has "{{ 7*7 }}" "\"msg\": \"___7_7___ $net.3 [{{ 7*7 }}] [{{ 7*7 }}!]\"" "$out"
    expect_eq "no command ran" absent "$([ -e "$pwned" ] && echo present || echo absent)"
    ;;
esac

[ $failures -eq 0 ] || exit 1
echo "all $group cases passed"
