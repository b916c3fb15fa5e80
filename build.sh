#!/usr/bin/env bash
# Orvan developer entry point: installs what is missing, builds, and runs, tests,
# benchmarks, fuzzes or packages. Usage: ./build.sh run | test | bench | fuzz | shots | package
set -euo pipefail
cd "$(dirname "$0")"
SELF="$PWD/$(basename "$0")"

# What building and running the program needs; the tests and benchmarks need the rest.
RUN_PACKAGES=(g++ cmake ninja-build qt6-base-dev libfontconfig-dev fonts-dejavu-core libcli11-dev
              nlohmann-json3-dev fonts-liberation libcpp-httplib-dev libssl-dev libyaml-cpp-dev)
PACKAGES=("${RUN_PACKAGES[@]}" libgtest-dev libgmock-dev clang-format xvfb xauth xdotool
          x11-utils imagemagick libx11-dev iproute2 util-linux procps desktop-file-utils
          librsvg2-bin lintian appstream man-db dpkg-dev socat tshark ansible-core prometheus
          curl openssl)
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
# cpack's Debian generator: dpkg-shlibdeps for the dependencies, file to find the programs.
PACKAGE_PACKAGES=(dpkg-dev file)
JOBS=$(nproc 2>/dev/null || echo 2)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

install_missing() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        as_root apt-get update
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
            "${missing[@]}"
    fi
}

build() {  # build <dir> "<target...>|all" [cmake options...]
    local dir=$1 targets=$2; shift 2
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    # shellcheck disable=SC2086  # one word per target
    cmake --build "$dir" -j "$JOBS" --target $targets
}

# Runs a command in a fresh network namespace with only loopback up, so that no test
# datagram can leave the machine; tests that need the isolation see ORVAN_NETNS=1.
isolated() {
    local inner='ip link set lo up && ORVAN_NETNS=1 "$@"'
    if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
        unshare -n sh -c "$inner" sh "$@"
    elif unshare -rn true 2>/dev/null; then
        unshare -rn sh -c "$inner" sh "$@"
    else
        echo "note: no private network namespace here; tests that need one will skip" >&2
        "$@"
    fi
}

format_check() {
    { git ls-files '*.cpp' '*.h' 2>/dev/null ||
        find src tests tools bench -name '*.cpp' -o -name '*.h'; } |
        xargs clang-format --dry-run -Werror
}

# Runs a command and then fails if anything it started is still running (those are ended).
# In a PID namespace of its own (ORVAN_PIDNS=1) that is every process but the namespace's
# first and this one's; elsewhere, every process carrying the mark put in the environment.
contained() {
    local mark="orvan-suite-$$-$RANDOM$RANDOM" status=0 pid p tries left
    ORVAN_SUITE_MARK=$mark "$@" || status=$?
    for tries in 1 2 3 4 5 6 7 8 9 10; do  # a process being ended gets a moment to go
        left=()
        for p in /proc/[0-9]*; do
            pid=${p#/proc/}
            [ "$pid" = 1 ] || [ "$pid" = $$ ] && continue
            if [ "${ORVAN_PIDNS:-}" = 1 ]; then
                grep -q "^PPid:[[:space:]]*$$\$" "$p/status" 2>/dev/null && continue  # ours
            else
                grep -qz "^ORVAN_SUITE_MARK=$mark\$" "$p/environ" 2>/dev/null || continue
            fi
            grep -q '^State:[[:space:]]*Z' "$p/status" 2>/dev/null && continue  # already ended
            left+=("$pid")
        done
        [ ${#left[@]} -eq 0 ] && return "$status"
        sleep 0.3
    done
    echo "FAILED: ${#left[@]} process(es) that the tests started still run; ending them:" >&2
    for pid in "${left[@]}"; do
        echo "  $pid $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)" >&2
        kill -KILL "$pid" 2>/dev/null || true
    done
    return 1
}

# The suite runs in its own PID namespace too where the machine allows it, so nothing it starts
# can outlive it; either way it fails when something it started is still running at its end.
run_suite() {  # run_suite <dir> [ctest options...]
    local suite=("$SELF" contained ctest --test-dir "$1" --output-on-failure -j "$JOBS" "${@:2}")
    # orvanctl keeps its port-turn lock files in /run/lock: the suite's own stay in its namespace.
    local inner='ip link set lo up && { mount -t tmpfs -o mode=1777 orvan-locks /run/lock || true; } &&
        ORVAN_NETNS=1 ORVAN_PIDNS=1 "$@"' pidns=(-n -p -f --mount-proc)
    if [ "$(id -u)" -eq 0 ] && unshare "${pidns[@]}" true 2>/dev/null; then
        unshare "${pidns[@]}" sh -c "$inner" sh "${suite[@]}"
    elif unshare -r "${pidns[@]}" true 2>/dev/null; then
        unshare -r "${pidns[@]}" sh -c "$inner" sh "${suite[@]}"
    else
        echo "note: no private PID namespace here; leftover processes are still looked for" >&2
        isolated "${suite[@]}"
    fi
}

case "${1:-}" in
run)
    # Told before the build, which takes minutes: the window needs a display.
    display=yes
    if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
        display=no
        echo "No display here (DISPLAY and WAYLAND_DISPLAY are not set): building only." >&2
    fi
    install_missing "${RUN_PACKAGES[@]}"
    build build "orvan orvanctl orvan-devsim" -DORVAN_TESTS=OFF -DORVAN_BENCH=OFF
    echo "Built: $PWD/build/src/orvan (the window), $PWD/build/src/orvanctl/orvanctl," \
        "$PWD/build/tools/devsim/orvan-devsim"
    echo "Start the window in a desktop session with: $PWD/build/src/orvan"
    [ "$display" = yes ] || exit 1
    exec ./build/src/orvan
    ;;
contained)  # contained <command...>: how the suite runs, see run_suite
    shift
    contained "$@"
    ;;
test)
    install_missing "${PACKAGES[@]}"
    format_check
    build build-test all -DORVAN_WERROR=ON -DORVAN_BENCH=ON  # benchmarks compiled, not run
    run_suite build-test
    # The UDP listener hands datagrams from a thread of its own to the window: its tests again
    # under ThreadSanitizer, in a build of just those (a few minutes).
    build build-tsan "udp_server_test udp_server_reply_test form1_udp_test" -DORVAN_WERROR=ON \
        -DORVAN_BENCH=OFF "-DCMAKE_CXX_FLAGS=-fsanitize=thread -fno-omit-frame-pointer" \
        -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread
    TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp" \
        run_suite build-tsan -R '^(Listener|Reply|Answer|Table/(Listener|Reply)|form1_udp_test$)'
    build build-asan all -DORVAN_WERROR=ON -DORVAN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
    ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" \
        run_suite build-asan
    ;;
bench)
    install_missing "${PACKAGES[@]}"
    build build-bench all -DCMAKE_BUILD_TYPE=Release -DORVAN_TESTS=OFF -DORVAN_BENCH=ON
    # All run, and the command fails when any misses a target.
    status=0
    isolated ./bench/run.sh build-bench || status=1
    isolated ./bench/tcp_scale.sh build-bench || status=1
    isolated ./bench/orvanctl.sh build-bench || status=1
    ./bench/startup.sh build-bench || status=1  # makes its own network and mount namespaces
    isolated ./bench/exporter.sh build-bench || status=1
    exit $status
    ;;
fuzz)
    install_missing "${PACKAGES[@]}" "${FUZZ_PACKAGES[@]}"
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DORVAN_FUZZ=ON -DORVAN_TESTS=OFF \
        >/dev/null
    cmake --build build-fuzz --target config_codec_fuzz
    mkdir -p build-fuzz/corpus
    ./build-fuzz/tests/fuzz/config_codec_fuzz -max_total_time="${FUZZ_SECONDS:-60}" \
        -artifact_prefix=build-fuzz/ build-fuzz/corpus tests/fuzz/seeds
    ;;
shots)
    install_missing "${PACKAGES[@]}"
    build build orvan-shots -DORVAN_TESTS=OFF -DORVAN_BENCH=OFF
    out=${2:-out}
    again=$(mktemp -d)
    trap 'rm -rf "$again"' EXIT
    ./tools/shots/neutral_host.sh ./build/tools/orvan-shots "$out"
    ./tools/shots/neutral_host.sh ./build/tools/orvan-shots "$again" >/dev/null
    # A second run gives the same pictures, pixel for pixel, or these are not to be trusted.
    status=0
    for picture in "$out"/tab*.png; do
        if ! compare -metric AE "$picture" "$again/${picture##*/}" null: 2>/dev/null; then
            echo "FAILED: $picture differs from a second rendering" >&2
            status=1
        fi
    done
    exit $status
    ;;
package)
    # What the build needs and what cpack needs, not the tests' tools.
    install_missing "${RUN_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"
    build build-package all -DCMAKE_BUILD_TYPE=Release -DORVAN_TESTS=OFF -DORVAN_BENCH=OFF
    (cd build-package && cpack)
    ;;
*)
    echo "usage: $0 run | test | bench | fuzz | shots [dir] | package" >&2
    exit 2
    ;;
esac
