#!/bin/sh
# Runs a Windows program under Wine with the project's cached, pre-booted
# prefix. With --x11 it gets a private X display, which cross-process DDE needs.
: "${VORNFEED_CACHE:=/var/cache/vornfeed}"
export WINEPREFIX="${WINEPREFIX:-$VORNFEED_CACHE/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
wine=/usr/lib/wine/wine64
if [ "$1" = "--x11" ]; then
    shift
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$wine" "$@"
fi
exec "$wine" "$@"
