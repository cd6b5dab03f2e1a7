#!/usr/bin/env bash
# The demo: vornfeed.exe under Wine against a local exchange, with a live
# table of linked cells in the terminal.
#
#   scripts/demo.sh [--seconds N]
#
# Build folders: build/native and build/win64 (VORNFEED_NATIVE_DIR and
# VORNFEED_WIN64_DIR choose others).
#
# Installs what is missing, builds what is stale (the native exchange-sim, the
# Windows exe and its tools), starts the simulator in a private network
# namespace under the configured exchange host names, an X display, the server
# and one DDE client, ddewatch, that links every cell and draws them as a
# table. Runs until Ctrl-C or N seconds, then closes the server through its
# menu command and ends every process it started, also when it is killed
# (SIGTERM) or its terminal closes (SIGHUP).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=0
usage() {
    echo "usage: scripts/demo.sh [--seconds N]"
    echo "  Runs until Ctrl-C, or for N seconds. Needs root (packages, network namespace)."
}
while [ $# -gt 0 ]; do
    case "$1" in
    --seconds)
        [[ "${2:-}" =~ ^[0-9]+$ ]] || { usage >&2; exit 2; }
        seconds=$2
        shift 2
        ;;
    --inside) inside=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
    esac
done

# shellcheck source=e2e-lib.sh
source "$root/scripts/e2e-lib.sh"
native_dir="${VORNFEED_NATIVE_DIR:-$root/build/native}"
win_dir="${VORNFEED_WIN64_DIR:-$root/build/win64}"
E2E_SIM="${VORNFEED_EXCHANGE_SIM:-$native_dir/tools/exchange-sim/exchange-sim}"

# Where the server runs: its INI and its log stay here after the demo.
run_dir="$root/build/demo"

if [ -z "${inside:-}" ]; then
    [ "$(id -u)" -eq 0 ] || e2e_die "the demo needs root" "run it as root (sudo scripts/demo.sh): it installs packages and makes a private network namespace"
    build_log="$root/build/demo-build.log"
    mkdir -p "$root/build"
    : >"$build_log"
    run_step() {
        local what=$1 hint=$2
        shift 2
        e2e_say "$what"
        if ! "$@" >>"$build_log" 2>&1; then
            tail -n 15 "$build_log" | sed 's/^/    /' >&2
            e2e_die "$what failed (whole output in $build_log)" "$hint"
        fi
    }
    run_step "Checking packages (scripts/install-deps.sh)" \
        "check the network and apt sources, then run scripts/install-deps.sh alone" \
        "$root/scripts/install-deps.sh"
    run_step "Building the local exchange (native exchange-sim, in ${native_dir#$root/})" \
        "scripts/build.sh native shows the whole build; a stale tree can be removed with rm -rf build/native" \
        env VORNFEED_TARGETS=exchange-sim VORNFEED_BUILD_DIR="$native_dir" "$root/scripts/build.sh" native
    run_step "Building vornfeed.exe, ddewatch.exe and vornctl.exe (mingw-w64, in ${win_dir#$root/}; the first run builds OpenSSL and boots Wine, a few minutes)" \
        "scripts/build.sh win64 shows the whole build; OpenSSL and the Wine prefix are cached in /var/cache/vornfeed" \
        env VORNFEED_TARGETS="vornfeed ddewatch vornctl" VORNFEED_BUILD_DIR="$win_dir" "$root/scripts/build.sh" win64
    rest_host=$(sed -n 's/^VORNFEED_REST_HOST:STRING=//p' "$win_dir/CMakeCache.txt")
    stream_host=$(sed -n 's/^VORNFEED_STREAM_HOST:STRING=//p' "$win_dir/CMakeCache.txt")
    e2e_say "Entering a private network namespace ($rest_host:443, $stream_host:8888 on its loopback)"
    exec "$root/scripts/netns-run.sh" --host "${rest_host:-localhost}" --host "${stream_host:-localhost}" -- \
        env E2E_HOSTS="${rest_host:-localhost} ${stream_host:-localhost}" "$0" --inside --seconds "$seconds"
fi

E2E_WORK=$(mktemp -d /tmp/vornfeed-demo.XXXXXX)
server_pid=
watch_pid=
finish() {
    # However the demo ends, this runs to its end: a second Ctrl-C or a
    # terminal that went away (its writes fail, and under set -e the first
    # failed echo would end the script here) must not leave processes behind.
    trap '' INT TERM HUP PIPE
    trap - EXIT
    set +e
    # The cursor and line wrapping back, in case ddewatch was stopped mid-table.
    printf '\033[?25h\033[?7h\n'
    if [ -n "$watch_pid" ] && kill -0 "$watch_pid" 2>/dev/null; then
        kill "$watch_pid" 2>/dev/null
        wait "$watch_pid" 2>/dev/null
    fi
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
        e2e_say "Closing the server through its menu command (exit)"
        "$E2E_WINE" "$win_dir/tools/vornctl/vornctl.exe" close VORN >/dev/null 2>&1
        if e2e_wait_exit "$server_pid" 15; then
            e2e_say "The server ended with exit code $E2E_EXIT"
        else
            echo "    it did not end within 15 s; stopping it"
        fi
    fi
    e2e_cleanup
    # The exchange's side of the run, for when a cell did not update.
    cp "$E2E_WORK/sim.log" "$run_dir/exchange-sim.log" 2>/dev/null
    cat "$E2E_WORK/ddewatch.err" >"$run_dir/ddewatch.log" 2>/dev/null
    rm -rf "$E2E_WORK"
    local log
    log=$(e2e_logfile "$run_dir")
    if [ -n "$log" ]; then
        e2e_say "Server log (Shift_JIS): $log"
        iconv -f CP932 -t UTF-8 "$log" 2>/dev/null | tr -d '\r' | tail -n 8 | sed 's/^/    /'
    fi
    e2e_say "INI file: $run_dir/vornfeed.ini; the exchange's and the client's messages: $run_dir/exchange-sim.log, $run_dir/ddewatch.log"
}
trap finish EXIT
# Ctrl-C is the ordinary way to end the demo; a closed terminal or a kill
# ends it the same way.
trap 'exit 0' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

e2e_say "Preparing a private Wine prefix over /var/cache/vornfeed/wineprefix"
e2e_private_prefix || e2e_die "no booted Wine prefix in the cache" "run scripts/wine-prefix.sh (or scripts/build.sh win64)"
e2e_wine_env

e2e_say "Starting an X display (Xvfb): DDE between Wine programs goes through X"
e2e_start_xvfb

e2e_say "Starting the local exchange (REST on 443, stream on 8888; its log: $E2E_WORK/sim.log)"
[ -x "$E2E_SIM" ] || e2e_die "no exchange-sim at $E2E_SIM" "build it: VORNFEED_TARGETS=exchange-sim scripts/build.sh native"
e2e_start_sim --rate 2

e2e_say "Starting vornfeed.exe under Wine in $run_dir (trusting the exchange's CA through ca_file in its INI)"
e2e_start_server "$run_dir" "$win_dir/src/app/vornfeed.exe"
server_pid=$E2E_SERVER_PID
"$E2E_WINE" "$win_dir/tools/vornctl/vornctl.exe" wait VORN 30000 >/dev/null 2>&1 ||
    e2e_die "vornfeed.exe did not come up within 30 s" "see $run_dir/wine.out; is another copy named VORN running?"

# The cells, as a spreadsheet would link them, all in one client. Wine's
# DDEML hands the value of an item under one topic to the links of the same
# item name under other topics, so "timestamp" is linked under one topic only.
links=(
    'ticker.btc_jpy.h!last' 'ticker.btc_jpy.h!bid' 'ticker.btc_jpy.h!ask' 'ticker.btc_jpy.h!timestamp'
    'btc_jpy.r!last_price.price' 'btc_jpy.r!last_price.action' 'btc_jpy.r!asks._.0' 'btc_jpy.r!bids._.0'
)
watch_args=(--connect-timeout 20 --table)
[ "$seconds" -gt 0 ] && watch_args+=(--seconds "$seconds")
e2e_say "Linking ${#links[@]} cells with ddewatch --table"
# Its table reaches the terminal through a pipe: given the terminal itself,
# Wine puts its own console in between, which prints the escapes as text.
$E2E_DETACH "$E2E_WINE" "$win_dir/tools/ddewatch/ddewatch.exe" "${watch_args[@]}" "${links[@]}" \
    </dev/null > >(cat) 2>"$E2E_WORK/ddewatch.err" &
watch_pid=$!
E2E_PIDS+=($watch_pid)
watch_exit=0
wait "$watch_pid" || watch_exit=$?
watch_pid=
sleep 0.2 # the last frame through the pipe
case $watch_exit in
0) ;;
4) echo "    a cell was refused; see $run_dir/ddewatch.log" ;;
5) e2e_die "vornfeed.exe ended by itself" "see $run_dir/wine.out and the log" ;;
*) e2e_die "ddewatch ended with exit code $watch_exit" "see $run_dir/ddewatch.log" ;;
esac
