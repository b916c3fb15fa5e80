#!/usr/bin/env bash
# Launches the real program on a private X server, on a host whose name resolves to
# <address> alone, closes it the way an operator does, and checks the exit code, the exact
# window title and the address history file left in the working directory.
#   exit_test.sh <orvan> <xwin> button|closebox|unwritable|TERM|HUP|INT <address>
# TERM, HUP, INT: the signal a desktop session or a terminal sends, which closes it the same.
# unwritable: a directory stands where the history file goes, and closing ends in the fatal
# box, which the test dismisses.
set -u
orvan=$1 xwin=$2 how=$3 address=$4
if ! command -v xvfb-run >/dev/null || ! command -v xdotool >/dev/null; then
    echo "skipped: xvfb-run and xdotool are needed"
    exit 77
fi

# The host's own name must resolve to <address> and nothing else: a private /etc/hosts in a
# private mount namespace, so that the machine's own stays untouched.
if [ -z "${EXIT_TEST_HOSTS:-}" ]; then
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    printf '127.0.0.1 localhost\n%s %s\n' "$address" "$(hostname)" >"$work/hosts"
    if ! unshare -m true 2>/dev/null; then
        echo "skipped: no private mount namespace"
        exit 77
    fi
    # A network of its own too where it can be had: other tests add interfaces to the suite's.
    net=-n
    unshare -m -n true 2>/dev/null || net=
    EXIT_TEST_HOSTS=$work/hosts EXIT_TEST_NET=$net unshare -m $net "$0" "$@"
    exit $?
fi
mount --bind "$EXIT_TEST_HOSTS" /etc/hosts || exit 2
[ -n "${EXIT_TEST_NET:-}" ] && { ip link set lo up || exit 2; }
mkdir "${EXIT_TEST_HOSTS%/*}/run" && cd "${EXIT_TEST_HOSTS%/*}/run" || exit 2
[ "$how" = unwritable ] && mkdir iphist.dat

# Parallel runs that all start their search for a free display at the same number can take
# the same one; starting from this process's id keeps them apart.
xvfb-run -a -n $((100 + $$ % 800)) -s "-screen 0 1024x900x24" bash -c '
    orvan=$1 xwin=$2 how=$3
    QT_QPA_PLATFORM=xcb "$orvan" & pid=$!
    id=$("$xwin" wait "Velmar Soft Orvan v1.9.1" 15000) || { kill $pid; exit 3; }
    sleep 1.5  # the watcher checks the address about every 500 ms
    case $how in
        button) xdotool mousemove --window "$id" 461 738 click 1 ;;
        TERM | HUP | INT) kill -s "$how" $pid ;;
        *) "$xwin" close "$id" ;;
    esac
    if [ "$how" = unwritable ]; then
        box=$("$xwin" wait "Application Error" 15000) || { kill $pid; exit 5; }
        "$xwin" close "$box"
    fi
    for _ in $(seq 100); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
    if kill -0 $pid 2>/dev/null; then echo "still running"; kill $pid; exit 4; fi
    wait $pid
' _ "$orvan" "$xwin" "$how"
code=$?
echo "exit code $code"

if [ "$how" = unwritable ]; then
    [ "$code" -eq 1 ] && [ -d iphist.dat ]
    exit $?
fi
[ "$code" -eq 0 ] || exit "$code"
# A loopback address leaves the interfaces', and none is up here: offline all along, an empty
# file. Any other address stayed online to the end and is the one line.
case $address in
    127.*) : >../expected ;;
    *) printf '%s\r\n' "$address" >../expected ;;
esac
if ! cmp iphist.dat ../expected; then
    od -c iphist.dat
    exit 6
fi
