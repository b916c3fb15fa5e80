# Sourced by the benchmark scripts.

# Runs the calling script again inside a private network namespace with only loopback up,
# unless it already is in one: the programs measured bind all interfaces.
#   in_private_namespace "$0" "$@"
in_private_namespace() {
    [ "${ORVAN_NETNS:-}" = 1 ] && return 0
    local inner='ip link set lo up && ORVAN_NETNS=1 exec "$0" "$@"'
    if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
        exec unshare -n sh -c "$inner" "$@"
    elif unshare -rn true 2>/dev/null; then
        exec unshare -rn sh -c "$inner" "$@"
    fi
    echo "$1: needs a private network namespace (unshare -n); not run" >&2
    exit 2
}

# The start every script shares: one argument, the build folder; then the private network
# namespace; BUILD is the build folder's absolute path.
#   bench_start "$0" "$@"
bench_start() {
    if [ $# -ne 2 ]; then
        echo "usage: $1 BUILD_DIR" >&2
        exit 2
    fi
    in_private_namespace "$@"
    BUILD=$(cd "$2" && pwd)
}

# Starts an X server of its own (-displayfd picks a free number), sets XVFB_PID and exports
# DISPLAY for the real xcb platform, so that painting is paid for.
#   start_xvfb TMP_DIR LOG
start_xvfb() {
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$1/display" >"$2" 2>&1 &
    XVFB_PID=$!
    for _ in $(seq 100); do [ -s "$1/display" ] && break; sleep 0.1; done
    [ -s "$1/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
    export DISPLAY=:$(head -n1 "$1/display") QT_QPA_PLATFORM=xcb XDG_RUNTIME_DIR=$1
}
