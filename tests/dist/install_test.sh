#!/usr/bin/env bash
# Installs the build into a scratch prefix, as the package does, checks what lands there, and
# starts the installed program on a private X server far enough to see its window.
#   install_test.sh <build dir> <xwin>
set -u
build=$1 xwin=$2
for tool in desktop-file-validate xvfb-run readelf; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is needed"; exit 77; }
done
fail() { echo "FAIL: $*"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null || fail "cmake --install"

expected="bin/orvan
bin/orvan-devsim
share/applications/orvan.desktop
share/icons/hicolor/128x128/apps/orvan.png
share/icons/hicolor/16x16/apps/orvan.png
share/icons/hicolor/32x32/apps/orvan.png
share/icons/hicolor/48x48/apps/orvan.png
share/icons/hicolor/64x64/apps/orvan.png
share/icons/hicolor/scalable/apps/orvan.svg"
actual=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
[ "$actual" = "$expected" ] || fail "installed files differ:$(diff <(echo "$expected") <(echo "$actual"))"

entry=$prefix/share/applications/orvan.desktop
report=$(desktop-file-validate "$entry" 2>&1)
[ -z "$report" ] || fail "desktop-file-validate: $report"
for line in 'Name=[^ ].*' 'Name\[ru\]=.+' 'Categories=(.*;)?Network;.*' 'Exec=orvan' \
    'Icon=orvan'; do
    grep -Eqx "$line" "$entry" || fail "no line $line in the desktop entry"
done

for program in orvan orvan-devsim; do
    if readelf -d "$prefix/bin/$program" | grep -E 'R(UN)?PATH' | grep -qF "$build"; then
        fail "$program looks for libraries in the build tree"
    fi
done
"$prefix/bin/orvan-devsim" --help >/dev/null || fail "orvan-devsim --help"

cd "$work"
# Parallel runs that all start their search for a free display at the same number can take
# the same one; starting from this process's id keeps them apart.
xvfb-run -a -n $((100 + $$ % 800)) -s "-screen 0 1024x900x24" bash -c '
    QT_QPA_PLATFORM=xcb "$1" & pid=$!
    id=$("$2" wait "Velmar Soft Orvan v1.9.1" 15000) || { kill $pid; exit 3; }
    "$2" close "$id"
    for _ in $(seq 100); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
    if kill -0 $pid 2>/dev/null; then echo "still running"; kill $pid; exit 4; fi
    wait $pid
' _ "$prefix/bin/orvan" "$xwin" || fail "the installed orvan did not show its window and exit"
echo "installed and started"
