#!/usr/bin/env bash
# Runs one Windows program under Wine in a Wine environment of its own: a
# private prefix (an overlay on the cached, booted one, or a copy where an
# overlay cannot be mounted) and so a wineserver and desktop of its own. With
# --x11 it also gets a private X display, which DDE between windows needs.
#
# Why private: every process of one prefix shares one wineserver and one
# desktop, and the first to start decides whether that desktop has X. A suite
# without X that happens to start first leaves the X suites after it unable to
# make DDE conversations. Private servers make each suite's outcome its own,
# whatever ctest's -j and order.
#
#   wine-run.sh [--x11] PROGRAM [ARGS...]
# The exit status is the program's. VORNFEED_WINE_TIMING=1 prints the cost of
# setting up and tearing down the environment on stderr.
set -u

cache="${VORNFEED_CACHE:-/var/cache/vornfeed}"
template="${WINEPREFIX_TEMPLATE:-$cache/wineprefix}"
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

x11=
if [ "${1:-}" = "--x11" ]; then
    x11=1
    shift
fi

# Overlay mounts need a mount namespace of our own, which needs root; the
# script runs itself again inside one. Elsewhere the prefix is copied.
if [ -z "${VORN_WINE_RUN_INSIDE:-}" ] && [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null; then
    export VORN_WINE_RUN_INSIDE=1
    exec unshare --mount --propagation private "$0" ${x11:+--x11} "$@"
fi

[ -f "$template/.vornfeed-ready" ] || {
    echo "wine-run.sh: no booted Wine prefix in $template (scripts/wine-prefix.sh makes it)" >&2
    exit 125
}

now_ms() { date +%s%3N; }
began=$(now_ms)
work=$(mktemp -d "${TMPDIR:-/tmp}/vornwine.XXXXXX")
xvfb_pid=
mounted=

cleanup() {
    # Whatever the program left running in its prefix ends with it.
    WINEPREFIX="$work/prefix" "$wineserver" -k 2>/dev/null
    WINEPREFIX="$work/prefix" "$wineserver" -w 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    [ -n "$mounted" ] && umount "$work/prefix" 2>/dev/null
    rm -rf "$work"
}
trap 'cleanup; exit 130' INT TERM

mkdir -p "$work/prefix"
if [ -n "${VORN_WINE_RUN_INSIDE:-}" ] && mkdir -p "$work/upper" "$work/overlay-work" &&
    mount -t overlay overlay -o "lowerdir=$template,upperdir=$work/upper,workdir=$work/overlay-work" \
        "$work/prefix" 2>/dev/null; then
    mounted=1
else
    cp -a "$template/." "$work/prefix" || {
        echo "wine-run.sh: could not copy the Wine prefix" >&2
        cleanup
        exit 125
    }
fi

unset DISPLAY
if [ -n "$x11" ]; then
    # -displayfd: Xvfb picks a free display number itself and tells us, so two
    # suites starting together cannot take the same one.
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 1 300); do
        [ -s "$work/display" ] && break
        kill -0 "$xvfb_pid" 2>/dev/null || break
        sleep 0.05
    done
    if [ ! -s "$work/display" ]; then
        echo "wine-run.sh: Xvfb did not start:" >&2
        cat "$work/xvfb.log" >&2
        cleanup
        exit 125
    fi
    export DISPLAY=":$(head -n1 "$work/display")"
fi

export WINEPREFIX="$work/prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
ready=$(now_ms)
# In the background, so a signal from ctest's time limit is handled at once
# rather than after the program has ended by itself.
"$wine" "$@" &
wait $!
status=$?
ran=$(now_ms)
cleanup
[ -n "${VORNFEED_WINE_TIMING:-}" ] &&
    echo "wine-run.sh: set-up $((ready - began)) ms, program $((ran - ready)) ms, tear-down $(($(now_ms) - ran)) ms" >&2
exit $status
