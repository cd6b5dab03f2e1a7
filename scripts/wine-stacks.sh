#!/usr/bin/env bash
# Prints the stack of every thread of a running vornfeed.exe (one started by
# the soak, the demo or the end-to-end suite, each in its own namespaces and
# Wine prefix), for a server that hangs: winedbg attaches, backtraces, and
# lets it go on. As root, while the server runs:
#
#   scripts/wine-stacks.sh [UNIX_PID]      (default: the first vornfeed.exe)
set -euo pipefail

pid=${1:-$(pgrep -f '^vornfeed.exe' | head -n 1 || true)}
[ -n "$pid" ] || { echo "no vornfeed.exe is running" >&2; exit 1; }
setting() { tr '\0' '\n' <"/proc/$pid/environ" | sed -n "s/^$1=//p"; }
nsenter --target "$pid" --mount --net \
    env WINEPREFIX="$(setting WINEPREFIX)" DISPLAY="$(setting DISPLAY)" WINEDEBUG=-all bash -c '
    wine=/usr/lib/wine/wine64
    winpid=$("$wine" winedbg --command "info process" 2>/dev/null | grep -i vornfeed | awk "{print \$1}" | head -n 1)
    [ -n "$winpid" ] || { echo "winedbg does not see vornfeed.exe" >&2; exit 1; }
    printf "attach 0x%s\nbt all\ndetach\nquit\n" "$winpid" | timeout 60 "$wine" winedbg 2>&1
'
