#!/usr/bin/env bash
# Every module of the velmarsoft.orvan collection documents itself: ansible-doc shows its
# options, examples and return values, and every option its code takes is documented with the
# same type, default and required flag (what ansible-test's validate-modules checks, which
# cannot run without fetching its own Python packages).
#   ansible_doc_test.sh COLLECTIONS_DIR
set -u
collections=$(realpath "$1")
command -v ansible-doc >/dev/null || { echo "skipped: needs ansible-doc (ansible-core)"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work ANSIBLE_HOME=$work/ansible ANSIBLE_LOCAL_TEMP=$work/tmp \
    ANSIBLE_COLLECTIONS_PATH=$collections PYTHONDONTWRITEBYTECODE=1 ANSIBLE_NOCOLOR=1
modules_dir=$collections/ansible_collections/velmarsoft/orvan/plugins/modules
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

modules=()
for file in "$modules_dir"/*.py; do
    file=${file##*/}
    modules+=("${file%.py}")
done
[ "${modules[*]}" = "apply device device_info scan" ] || fail "modules: ${modules[*]}"
listed=$(ansible-doc -t module -l velmarsoft.orvan 2>&1)
for module in "${modules[@]}"; do
    grep -q "^velmarsoft\.orvan\.$module " <<<"$listed" || fail "ansible-doc -l does not list $module: $listed"
    ansible-doc -t module --json "velmarsoft.orvan.$module" >"$work/$module.json" 2>"$work/err" ||
        fail "ansible-doc --json $module: $(cat "$work/err")"
done
# The inventory plugin, listed and documented with its examples.
grep -q "^velmarsoft\.orvan\.scan " <<<"$(ansible-doc -t inventory -l velmarsoft.orvan 2>&1)" ||
    fail "ansible-doc -t inventory -l does not list velmarsoft.orvan.scan"
ansible-doc -t inventory velmarsoft.orvan.scan 2>&1 | grep -q "^EXAMPLES:" ||
    fail "ansible-doc -t inventory velmarsoft.orvan.scan shows no examples"

# The options each module hands to AnsibleModule against its documentation.
# Ansible's own Python, which may not be the first python3 on PATH.
python=$(sed -n '1s/^#! *//p' "$(command -v ansible-doc)")
"$python" - "$collections" "$work" "${modules[@]}" <<'PY' || failures=$((failures + 1))
import importlib, json, sys
sys.path.insert(0, sys.argv[1])
work, modules = sys.argv[2], sys.argv[3:]
import ansible.module_utils.basic as basic

class Captured(Exception):
    pass

def capture(options, **kwargs):
    raise Captured(options, kwargs)

# Every module builds its AnsibleModule through the collection's shared code.
importlib.import_module('ansible_collections.velmarsoft.orvan.plugins.module_utils.orvanctl').AnsibleModule = capture
problems = []

def compare(where, options, docs):
    for name in sorted(set(options) | set(docs)):
        if name not in docs:
            problems.append('%s: option %s is not documented' % (where, name))
            continue
        if name not in options:
            problems.append('%s: documented option %s is not taken' % (where, name))
            continue
        s, d = options[name], docs[name]
        for key, fallback in (('type', 'str'), ('default', None), ('required', False),
                              ('elements', None)):
            if s.get(key, fallback) != d.get(key, fallback):
                problems.append('%s: %s: %s is %r in the code, %r in the documentation'
                                % (where, name, key, s.get(key, fallback), d.get(key, fallback)))
        if 'options' in s or 'suboptions' in d:
            compare(where + ': ' + name, s.get('options', {}), d.get('suboptions', {}))

for module in modules:
    doc = json.load(open('%s/%s.json' % (work, module)))['velmarsoft.orvan.' + module]
    code = importlib.import_module('ansible_collections.velmarsoft.orvan.plugins.modules.' + module)
    try:
        code.main()
        problems.append('%s: main() did not build an AnsibleModule' % module)
        continue
    except Captured as e:
        options, kwargs = e.args
    compare(module, options, doc['doc']['options'])
    if kwargs.get('supports_check_mode') != (doc['doc']['attributes']['check_mode']['support'] == 'full'):
        problems.append('%s: check mode support differs from the documentation' % module)
    for part in ('examples', 'return'):
        if not doc.get(part):
            problems.append('%s: no %s' % (module, part))
for problem in problems:
    print('FAIL: ' + problem)
sys.exit(1 if problems else 0)
PY

[ $failures -eq 0 ] || exit 1
echo "every module documents itself"
