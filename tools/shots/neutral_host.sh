#!/usr/bin/env bash
# Runs a command as a neutral host, so that pictures of the window show the same host name and
# addresses on every machine: private UTS, network and mount namespaces, the host name
# "workstation" with two private addresses on loopback and an /etc/hosts that names only them.
# Nothing can leave: loopback is the only interface.
#   neutral_host.sh COMMAND [ARGS...]
set -euo pipefail
if [ "${ORVAN_NEUTRAL_HOST:-}" != 1 ]; then
    if [ "$(id -u)" -eq 0 ]; then
        exec env ORVAN_NEUTRAL_HOST=1 unshare -n -u -m "$0" "$@"
    fi
    exec env ORVAN_NEUTRAL_HOST=1 unshare -r -n -u -m "$0" "$@"
fi
hosts=$(mktemp)
trap 'rm -f "$hosts"' EXIT
printf '127.0.0.1\tlocalhost\n192.168.1.10\tworkstation\n10.0.0.10\tworkstation\n' >"$hosts"
hostname workstation
ip link set lo up
ip addr add 192.168.1.10/24 dev lo
ip addr add 10.0.0.10/24 dev lo
mount --bind "$hosts" /etc/hosts
"$@"
