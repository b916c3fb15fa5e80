#!/usr/bin/env bash
# Launches the real program on a private X server, closes it the way an operator does, and
# checks the exit code and the exact window title.
#   exit_test.sh <orvan> <xwin> button|closebox
set -u
orvan=$1 xwin=$2 how=$3
if ! command -v xvfb-run >/dev/null || ! command -v xdotool >/dev/null; then
    echo "skipped: xvfb-run and xdotool are needed"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
xvfb-run -a -s "-screen 0 1024x900x24" bash -c '
    orvan=$1 xwin=$2 how=$3
    QT_QPA_PLATFORM=xcb "$orvan" & pid=$!
    id=$("$xwin" wait "Velmar Soft Orvan v1.9.1" 15000) || { kill $pid; exit 3; }
    case $how in
        button) xdotool mousemove --window "$id" 461 738 click 1 ;;
        closebox) "$xwin" close "$id" ;;
    esac
    for _ in $(seq 100); do kill -0 $pid 2>/dev/null || break; sleep 0.1; done
    if kill -0 $pid 2>/dev/null; then echo "still running"; kill $pid; exit 4; fi
    wait $pid; code=$?
    echo "exit code $code"
    exit $code
' _ "$orvan" "$xwin" "$how"
