#!/usr/bin/env bash
# Runs a command in a private network and mount namespace: only a loopback
# interface exists, and /etc/hosts maps the given host names to 127.0.0.1, so
# the local exchange can take ports 443 and 8888 under the real host names
# without touching anything else on the machine.
#
#   scripts/netns-run.sh [--host NAME]... -- COMMAND [ARG]...
set -euo pipefail

hosts=(localhost)
while [ $# -gt 0 ]; do
    case "$1" in
    --host) hosts+=("$2"); shift 2 ;;
    --) shift; break ;;
    *) break ;;
    esac
done
[ $# -gt 0 ] || { echo "usage: $0 [--host NAME]... -- COMMAND [ARG]..." >&2; exit 2; }

if [ -z "${VORNFEED_IN_NETNS:-}" ]; then
    [ "$(id -u)" -eq 0 ] || { echo "$0: needs root for unshare --net --mount" >&2; exit 1; }
    host_args=()
    for h in "${hosts[@]}"; do host_args+=(--host "$h"); done
    exec env VORNFEED_IN_NETNS=1 unshare --net --mount --propagation private -- "$0" "${host_args[@]}" -- "$@"
fi

ip link set lo up
hosts_file=$(mktemp)
{
    printf '127.0.0.1\t%s\n' "${hosts[@]}" | sort -u
    printf '::1\tlocalhost ip6-localhost ip6-loopback\n'
} > "$hosts_file"
chmod 644 "$hosts_file"
mount --bind "$hosts_file" /etc/hosts
exec "$@"
