#!/usr/bin/env bash
# Boots the Wine prefix that the Windows tests run in, once, into the cache
# outside the clone. Later runs reuse it (a first boot takes half a minute).
set -euo pipefail

cache="${VORNFEED_CACHE:-/var/cache/vornfeed}"
export WINEPREFIX="$cache/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

if [ -f "$WINEPREFIX/.vornfeed-ready" ]; then
    exit 0
fi
echo "==> Booting the Wine prefix in $WINEPREFIX (once)"
rm -rf "$WINEPREFIX"
mkdir -p "$cache"
/usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
/usr/lib/wine/wineserver -w
[ -f "$WINEPREFIX/system.reg" ] || { echo "Wine did not create its prefix in $WINEPREFIX" >&2; exit 1; }
touch "$WINEPREFIX/.vornfeed-ready"
