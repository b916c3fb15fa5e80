#!/usr/bin/env bash
# The packaged Prometheus files and service: the example configuration and the alert rules
# as promtool checks them, the rules against series as the exporter gives them, and the
# service's hardening as systemd-analyze rates it.
#   exporter_dist_test.sh SOURCE_DIR
set -u
source=$1
command -v promtool >/dev/null || { echo "skipped: needs promtool"; exit 77; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dist=$source/dist

# The configuration as installed, its rule file and device list where the package puts them.
sed -e "s|/usr/share/orvan-exporter/|$dist/prometheus/|" \
    -e "s|/etc/prometheus/orvan-devices.yml|$dist/prometheus/orvan-devices.yml|" \
    "$dist/prometheus/prometheus.yml" >"$work/prometheus.yml"
out=$(promtool check config "$work/prometheus.yml" 2>&1) || fail "promtool check config: $out"
grep -q "SUCCESS: 1 rule files found" <<<"$out" || fail "the rule file was not checked: $out"
out=$(promtool check rules "$dist/prometheus/orvan-rules.yml" 2>&1) || fail "check rules: $out"
out=$(promtool test rules "$source/tests/exporter/rules_test.yml" 2>&1) || fail "test rules: $out"
# The device list is valid file_sd: Prometheus would take it as the configuration's targets.
/usr/bin/python3 - "$dist/prometheus/orvan-devices.yml" <<'PY' || fail "orvan-devices.yml is no target list"
import sys, yaml
groups = yaml.safe_load(open(sys.argv[1]))
assert isinstance(groups, list) and all(isinstance(g["targets"], list) for g in groups)
PY
# As installed nothing is probed: the service's options name no address and the device list
# none, so that a copy made before the site is filled in sends nothing anywhere.
args=$(sh -c ". '$dist/systemd/orvan-exporter.default'; printf %s \"\$ARGS\"")
[ -z "$args" ] || fail "the packaged options probe something: ARGS=\"$args\""
/usr/bin/python3 - "$dist/prometheus/orvan-devices.yml" <<'PY' || fail "the packaged device list names devices"
import sys, yaml
assert not any(g["targets"] for g in yaml.safe_load(open(sys.argv[1])))
PY

if command -v systemd-analyze >/dev/null; then
    unit=$dist/systemd/orvan-exporter.service
    report=$(systemd-analyze security --offline=yes "$unit" 2>&1)
    level=$(sed -nE 's/.*Overall exposure level for [^:]*: ([0-9.]+) .*/\1/p' <<<"$report")
    [ -n "$level" ] || fail "systemd-analyze security gave no level: $report"
    # 2.0 and below is what systemd-analyze calls OK or SAFE.
    [ -n "$level" ] && awk "BEGIN { exit !($level <= 2.0) }" ||
        fail "exposure level $level above 2.0:"$'\n'"$(grep '✗' <<<"$report")"
    out=$(systemd-analyze verify --man=no "$unit" 2>&1 | grep -v '/usr/bin/orvan-exporter')
    grep -q 'orvan-exporter.service' <<<"$out" && fail "systemd-analyze verify: $out"
else
    echo "note: no systemd-analyze; the service's hardening is not rated"
fi
[ "$failures" -eq 0 ] && echo "all passed"
[ "$failures" -eq 0 ]
