#!/usr/bin/env bash
# ansible-test sanity on a copy of the velmarsoft.orvan collection (ansible-test writes its
# output inside the collection), with the tests that run offline on Debian's ansible-core.
# ansible-doc, import, pep8, pylint, runtime-metadata, validate-modules and yamllint each want
# a virtual environment with packages fetched by pip: ansible_doc_test.sh covers the
# documentation instead.
#   ansible_sanity_test.sh COLLECTIONS_DIR
set -u
collections=$(realpath "$1")
command -v ansible-test >/dev/null || { echo "skipped: needs ansible-test (ansible-core)"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/ansible_collections/velmarsoft"
cp -r "$collections/ansible_collections/velmarsoft/orvan" "$work/ansible_collections/velmarsoft/"
cd "$work/ansible_collections/velmarsoft/orvan" || exit 1
find . -name __pycache__ -prune -exec rm -rf {} +
tests=(action-plugin-docs changelog compile empty-init future-import-boilerplate ignores
    line-endings metaclass-boilerplate no-assert no-basestring no-dict-iteritems no-dict-iterkeys
    no-dict-itervalues no-get-exception no-illegal-filenames no-main-display no-smart-quotes
    no-unicode-literals replace-urlopen shebang shellcheck symlinks use-argspec-type-path
    use-compat-six)
# The Python that ansible-core runs on (3.11 on Debian 12).
python=$(sed -n '1s/^#! *//p' "$(command -v ansible-test)")
version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
HOME=$work PYTHONDONTWRITEBYTECODE=1 ansible-test sanity --python "$version" "${tests[@]/#/--test=}" \
    >"$work/out" 2>&1
status=$?
grep -v 'locale' "$work/out"
# ansible-test exits 0 even when a test fails.
if [ $status -ne 0 ] || grep -qE '^(ERROR|FATAL):' "$work/out"; then exit 1; fi
[ "$(grep -c '^Running sanity test' "$work/out")" -eq ${#tests[@]} ] ||
    { echo "FAIL: not every sanity test ran"; exit 1; }
echo "sanity: ${#tests[@]} tests passed"
