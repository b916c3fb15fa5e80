#!/usr/bin/env bash
# Every option of every module and of the inventory plugin reaches orvanctl: the command line
# each row of options gives a stand-in orvanctl (fake_orvanctl.py, which records it), whole;
# every documented option comes in some row; every flag given is one the real orvanctl takes.
# Then the inventory the plugin makes from the stand-in's scans. Sends nothing.
#   ansible_options_test.sh ORVANCTL COLLECTIONS_DIR
set -u
ctl=$(realpath "$1") collections=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
fake=$here/fake_orvanctl.py
command -v ansible-inventory >/dev/null || { echo "skipped: needs ansible-core"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work ANSIBLE_HOME=$work/ansible ANSIBLE_LOCAL_TEMP=$work/tmp \
    ANSIBLE_COLLECTIONS_PATH=$collections PYTHONDONTWRITEBYTECODE=1 ANSIBLE_NOCOLOR=1 \
    FAKE_ORVANCTL_RECORD=$work/record PYTHONPATH=$collections
python=$(sed -n '1s/^#! *//p' "$(command -v ansible-doc)")
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# module|its options (JSON)|the orvanctl command line it runs, after the program
rows=$(cat <<'EOF'
device|{"address": "10.0.0.2", "settings": {"telemetry_port": 7001, "h323_port": 7002, "gateway": "10.0.0.1", "ip": "10.0.0.3", "controller": "10.0.0.9", "mask": "255.255.255.0", "mac": "00-AA"}}|set 10.0.0.2 --json --telemetry-port 7001 --h323-port 7002 --gateway 10.0.0.1 --ip 10.0.0.3 --controller 10.0.0.9 --mask 255.255.255.0 --mac 00-AA --port-wait 30
device|{"address": "10.0.0.2", "settings": {"mask": "255.0.0.0"}, "time": true, "verify": true, "log": "/var/log/site.log", "port": 4001, "timeout": 0.5, "retries": 1, "source": "10.0.0.1", "port_wait": 5}|set 10.0.0.2 --json --mask 255.0.0.0 --time --verify --log /var/log/site.log --port 4001 --timeout 0.5 --retries 1 --source 10.0.0.1 --port-wait 5
device|{"address": "10.0.0.2", "settings": {"mask": "255.0.0.0"}, "log": "/var/log/site.log", "_ansible_check_mode": true}|set 10.0.0.2 --json --mask 255.0.0.0 --dry-run --port-wait 30
device_info|{"address": "10.0.0.2", "port": 4001, "timeout": 2, "retries": 0, "source": "10.0.0.1", "port_wait": 0}|get 10.0.0.2 --json --port 4001 --timeout 2 --retries 0 --source 10.0.0.1 --port-wait 0
apply|{"devices": [{"address": "10.0.0.2", "settings": {"mask": "255.0.0.0"}}], "parallel": 4, "time": true, "verify": true, "log": "/var/log/site.log", "port": 4001, "timeout": 0.5, "retries": 0, "source": "10.0.0.1", "port_wait": 2.5}|apply - --json --quiet --parallel 4 --time --verify --log /var/log/site.log --port 4001 --timeout 0.5 --retries 0 --source 10.0.0.1 --port-wait 2.5 <[{"address": "10.0.0.2", "mask": "255.0.0.0"}]
apply|{"devices": [{"address": "10.0.0.2", "mask": "255.0.0.0"}], "log": "/var/log/site.log", "_ansible_check_mode": true}|apply - --json --quiet --dry-run --port-wait 30 <[{"address": "10.0.0.2", "mask": "255.0.0.0"}]
scan|{"range": "10.0.0.0/24", "rate": 500, "wait": 0.5, "broadcast": true, "port": 4001, "retries": 1, "timeout": 0.2, "source": "10.0.0.1"}|scan 10.0.0.0/24 --json --quiet --rate 500 --wait 0.5 --broadcast --port 4001 --timeout 0.2 --retries 1 --source 10.0.0.1 --port-wait 30
scan|{"range": "10.0.0.0/24", "port_wait": 0}|scan 10.0.0.0/24 --json --quiet --port-wait 0
inventory|{"ranges": ["10.0.0.0/24", "10.0.0.3-10.0.0.10"], "port": 4001, "rate": 500, "wait": 0.5, "timeout": 0.2, "retries": 1, "source": "10.0.0.1", "port_wait": 5, "broadcast": true, "hostname": "mac"}|scan 10.0.0.0/24 --json --port 4001 --rate 500 --wait 0.5 --timeout 0.2 --retries 1 --source 10.0.0.1 --port-wait 5 --broadcast --quiet
inventory|{"ranges": ["10.0.0.0/24"]}|scan 10.0.0.0/24 --json --quiet
EOF
)

# inventory OPTIONS NAME: the plugin's source file with these options, as NAME.orvan.yml.
inventory() {
    "$python" -c 'import json, sys; o = json.loads(sys.argv[1]); o["plugin"] = "velmarsoft.orvan.scan"; o["orvanctl_path"] = sys.argv[2]; print(json.dumps(o))' \
        "$1" "$fake" >"$work/$2.orvan.yml"
}

n=0
while IFS='|' read -r module options expected; do
    n=$((n + 1))
    : >"$work/record"
    if [ "$module" = inventory ]; then
        inventory "$options" "row$n"
        ansible-inventory -i "$work/row$n.orvan.yml" --list >"$work/out" 2>&1 ||
            fail "row $n: ansible-inventory: $(cat "$work/out")"
    else
        "$python" -c 'import json, sys; o = json.loads(sys.argv[1]); o["orvanctl_path"] = sys.argv[2]; print(json.dumps({"ANSIBLE_MODULE_ARGS": o}))' \
            "$options" "$fake" >"$work/args.json"
        "$python" -m "ansible_collections.velmarsoft.orvan.plugins.modules.$module" "$work/args.json" \
            >"$work/out" 2>&1 || fail "row $n: $module failed: $(cat "$work/out")"
    fi
    actual=$(head -n 1 "$work/record")
    [ "$actual" = "$expected" ] || fail "row $n ($module):"$'\n'"expected: $expected"$'\n'"actual:   $actual"
    # The real orvanctl takes every flag given.
    for word in $actual; do
        [[ $word == --* ]] || continue
        "$ctl" "${actual%% *}" --help | grep -q -- "$word[ ,=]" ||
            fail "row $n: orvanctl ${actual%% *} does not take $word"
    done
done <<<"$rows"

# Every documented option is in some row (the constructed and cache options are Ansible's own).
ansible-doc -t module --json velmarsoft.orvan.{device,device_info,apply,scan} >"$work/modules.json" &&
    ansible-doc -t inventory --json velmarsoft.orvan.scan >"$work/inventory.json" ||
    fail "ansible-doc --json"
echo "$rows" >"$work/rows"
"$python" - "$work" <<'PY' || failures=$((failures + 1))
import json, sys
work = sys.argv[1]
given = {}
for line in open(work + '/rows'):
    module, options, _ = line.rstrip('\n').split('|')
    o = json.loads(options)
    names = given.setdefault(module, set(o))
    names |= set(o) | set('settings.' + s for s in o.get('settings', {}))
docs = json.load(open(work + '/modules.json'))
docs['inventory'] = json.load(open(work + '/inventory.json'))['velmarsoft.orvan.scan']
ansible_own = {'plugin', 'orvanctl_path', 'strict', 'compose', 'groups', 'keyed_groups',
               'use_extra_vars', 'leading_separator', 'cache', 'cache_plugin', 'cache_timeout',
               'cache_connection', 'cache_prefix'}
problems = 0
for name, doc in sorted(docs.items()):
    module = name.split('.')[-1] if name != 'inventory' else name
    options = doc['doc']['options']
    documented = set(options) | set('%s.%s' % (o, s) for o in set(options) - ansible_own
                                     for s in options[o].get('suboptions', {}))
    for option in sorted(documented - ansible_own - given.get(module, set())):
        print('FAIL: %s: option %s is in no row' % (module, option))
        problems += 1
sys.exit(1 if problems else 0)
PY

# The inventory from the last-but-one row: hosts named by MAC text made safe, or by address
# where the text is empty; one host per device across ranges; the settings as variables.
inventory '{"ranges": ["10.0.0.0/24", "10.0.0.3-10.0.0.10"], "hostname": "mac",
    "keyed_groups": [{"key": "orvan_gateway", "prefix": "gateway"}],
    "groups": {"far": "orvan_gateway == \"10.0.0.254\""},
    "compose": {"site": "\"north\""}}' site
inventory '{"ranges": ["10.0.0.0/24"], "compose": {"ansible_connection": "\"ssh\""}}' jump
for name in site jump; do
    ansible-inventory -i "$work/$name.orvan.yml" --list >"$work/$name.json" 2>"$work/err" ||
        fail "ansible-inventory --list $name: $(cat "$work/err")"
done
"$python" - "$work" <<'PY' || failures=$((failures + 1))
import json, sys
inv = json.load(open(sys.argv[1] + '/site.json'))
jump = json.load(open(sys.argv[1] + '/jump.json'))
hostvars = inv['_meta']['hostvars']
def unsafe(text):
    return {'__ansible_unsafe': text}
want = {
    'hosts': ['02-00-5E-10-00-02', '10.0.0.10', 'AB_CD__'],
    'gateway_10_0_0_1': ['02-00-5E-10-00-02', '10.0.0.10'],
    'gateway_10_0_0_254': ['AB_CD__'],
    'far': ['AB_CD__'],
    # What the device said, marked unsafe; what the source itself says, not.
    'AB_CD__': {'orvan_address': unsafe('10.0.0.3'), 'orvan_port': 4000, 'orvan_telemetry_port': 7001,
                'orvan_h323_port': 7002, 'orvan_gateway': unsafe('10.0.0.254'), 'orvan_ip': unsafe('10.0.0.3'),
                'orvan_controller': unsafe('10.0.0.9'), 'orvan_mask': unsafe('255.255.255.0'),
                'orvan_mac': unsafe('AB CD/\u0436'), 'site': 'north', 'ansible_connection': 'local'},
    'connection, set by compose': 'ssh',
}
got = {
    'hosts': sorted(hostvars),
    'gateway_10_0_0_1': sorted(inv.get('gateway_10_0_0_1', {}).get('hosts', [])),
    'gateway_10_0_0_254': sorted(inv.get('gateway_10_0_0_254', {}).get('hosts', [])),
    'far': sorted(inv.get('far', {}).get('hosts', [])),
    'AB_CD__': hostvars.get('AB_CD__'),
    'connection, set by compose': jump['_meta']['hostvars'].get('10.0.0.2', {}).get('ansible_connection'),
}
bad = [k for k in want if want[k] != got[k]]
for k in bad:
    print('FAIL: inventory: %s:\nexpected: %r\nactual:   %r' % (k, want[k], got[k]))
sys.exit(1 if bad else 0)
PY

# A scan that fails fails the source with orvanctl's message.
inventory '{"ranges": ["10.0.0.0/33"]}' bad
ANSIBLE_INVENTORY_UNPARSED_FAILED=1 ansible-inventory -i "$work/bad.orvan.yml" --list >"$work/out" 2>&1 &&
    fail "a failed scan gave an inventory"
tr -s '\n ' '  ' <"$work/out" | grep -q "RANGE: '10.0.0.0/33' is not a range (rc 2)" ||
    fail "a failed scan's message: $(cat "$work/out")"
# What orvanctl gives as an address is one before it names a host.
inventory '{"ranges": ["10.0.9.0/24"]}' odd
ANSIBLE_INVENTORY_UNPARSED_FAILED=1 ansible-inventory -i "$work/odd.orvan.yml" --list >"$work/out" 2>&1 &&
    fail "a host named by something that is not an address"
grep -q '"10.0.9.1 x" as an address' "$work/out" || fail "a non-address's message: $(cat "$work/out")"
# A cache changed by hand (two devices at one address) is scanned again, not believed.
inventory "{\"ranges\": [\"10.0.0.0/24\"], \"cache\": true, \"cache_plugin\": \"jsonfile\", \"cache_connection\": \"$work/cache\"}" cached
ansible-inventory -i "$work/cached.orvan.yml" --list >/dev/null 2>&1
"$python" -c 'import json, sys; d = json.load(open(sys.argv[1])); d[0]["address"] = d[1]["address"]; json.dump(d, open(sys.argv[1], "w"))' "$work"/cache/* ||
    fail "no cache file"
: >"$work/record"
ansible-inventory -i "$work/cached.orvan.yml" --list >"$work/out" 2>"$work/err"
[ "$(wc -l <"$work/record")" = 1 ] && grep -q '"10.0.0.2"' "$work/out" && grep -q "scanning again" "$work/err" ||
    fail "a cache changed by hand: $(cat "$work/record" "$work/err")"
# Files of other names are not the plugin's.
cp "$work/bad.orvan.yml" "$work/bad.yml"
ansible-inventory -i "$work/bad.yml" --list >"$work/out" 2>&1
grep -q "not a range" "$work/out" && fail "a source named bad.yml was scanned"

[ $failures -eq 0 ] || exit 1
echo "every option reaches orvanctl ($n rows); the inventory from the scans"
