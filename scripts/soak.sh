#!/usr/bin/env bash
# The soak: vornfeed.exe under Wine for N minutes against the local exchange
# while the exchange misbehaves, watching the server's resources.
#
#   scripts/soak.sh [--minutes N]      (N >= 2, default 10)
#
# Build folders: build/native (exchange-sim) and build/win64 (vornfeed.exe,
# ddewatch.exe, vornctl.exe), both built beforehand by scripts/build.sh;
# VORNFEED_NATIVE_DIR and VORNFEED_WIN64_DIR choose others. Needs root for the
# private network and mount namespace. Results go to build/soak/.
#
# What runs: exchange-sim, the server and one ddewatch linking 16 polled and
# 16 streamed topics, in a private namespace, Wine prefix and X display. Until
# the last minute the exchange's fault modes change every 15 s (resets,
# stalls, trickled responses, stalled and refused handshakes, closes, error
# statuses, a restart); each change resets every open connection, so that the
# new ones meet it. The last minute is quiet: one last reset, then no faults.
#
# Sampled every 10 s into build/soak/samples.tsv (and printed): the Wine
# process's working set (VmRSS), threads and open descriptors, the handles
# Windows counts for it (vornctl handles), the sockets it holds, and the size
# of its log.
#
# It fails when
# - a figure grows: the least-squares slope over the second half of the run
#   exceeds its tolerance (kTolerance, per minute). Descriptors and handles
#   are fitted without the sockets, which come and go with the faults; the
#   sockets themselves may never be more than one per topic;
# - after the faults stop, a linked item goes longer than its topic's
#   reconnect allows without a new value (kAllowedSeconds);
# - or the server does not come up, does not end within 30 s of the exit
#   command, or ends with another code than 0.
# The last line is "soak: PASS ..." or "soak: FAIL ..." with the figures.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
minutes=10
inside=
usage() { echo "usage: scripts/soak.sh [--minutes N]   (N >= 2, default 10)"; }
while [ $# -gt 0 ]; do
    case "$1" in
    --minutes)
        if ! [[ "${2:-}" =~ ^[0-9]+$ ]] || [ "$2" -lt 2 ]; then usage >&2; exit 2; fi
        minutes=$2
        shift 2
        ;;
    --inside) inside=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
    esac
done

# shellcheck source=scripts/e2e-lib.sh
source "$root/scripts/e2e-lib.sh"
native_dir="${VORNFEED_NATIVE_DIR:-$root/build/native}"
win_dir="${VORNFEED_WIN64_DIR:-$root/build/win64}"
E2E_SIM="${VORNFEED_EXCHANGE_SIM:-$native_dir/tools/exchange-sim/exchange-sim}"
vornfeed_exe=$win_dir/src/app/vornfeed.exe
ddewatch_exe=$win_dir/tools/ddewatch/ddewatch.exe
vornctl_exe=$win_dir/tools/vornctl/vornctl.exe
out=$root/build/soak

# The server's settings for the run; the allowance below follows from them.
polling_interval=5
tmout_ms=5000
# Growth per minute that a figure may show over the second half of the run.
# The run makes some 200 connections a minute while faulty: a handle,
# socket or buffer lost per connection goes far beyond these. Below them
# stays what Wine itself keeps: its DDEML never frees the copy of a hot
# link's data that it posts to the client, some 30-60 bytes per update here
# (100 kB a minute at the quiet minute's 2000 updates). The log gets a line
# when a worker's connections start failing, one when they recover and one
# per failed read: about 3.5 kB a minute at this fault rate.
declare -A kTolerance=([rss_kb]=256 [threads]=0.5 [fds-sockets]=1 [handles-sockets]=3 [log_bytes]=8192)
fitted=(rss_kb threads fds-sockets handles-sockets log_bytes)
# A worker holds one connection at a time.
max_sockets=32
# After the faults stop: a read or handshake still running out (tmout_ms),
# the wait before reconnecting and one polling cycle (polling_interval
# each), and 10 s for Wine on a loaded machine.
kAllowedSeconds=$((tmout_ms / 1000 + 2 * polling_interval + 10))
quiet_s=60
phase_s=15
sample_s=10

if [ -z "$inside" ]; then
    [ "$(id -u)" -eq 0 ] || e2e_die "the soak needs root" "it makes a private network and mount namespace"
    for file in "$E2E_SIM" "$vornfeed_exe" "$ddewatch_exe" "$vornctl_exe"; do
        [ -f "$file" ] || e2e_die "missing $file" "build it: scripts/build.sh native; scripts/build.sh win64"
    done
    rest_host=$(sed -n 's/^VORNFEED_REST_HOST:STRING=//p' "$win_dir/CMakeCache.txt")
    stream_host=$(sed -n 's/^VORNFEED_STREAM_HOST:STRING=//p' "$win_dir/CMakeCache.txt")
    # Bounded, so that a hang cannot hold a CI run; the trap inside still
    # ends every process.
    exec timeout -k 20 $((minutes * 60 + 300)) "$root/scripts/netns-run.sh" \
        --host "${rest_host:-localhost}" --host "${stream_host:-localhost}" -- \
        env E2E_HOSTS="${rest_host:-localhost} ${stream_host:-localhost}" "$0" --inside --minutes "$minutes"
fi

E2E_WORK=$(mktemp -d /tmp/vornfeed-soak.XXXXXX)
rm -rf "$out"
mkdir -p "$out"
srv=$out/server
control=$E2E_WORK/control
samples=$out/samples.tsv
updates=$out/updates.tsv
verdict=
finish() {
    local status=$?
    trap - EXIT
    e2e_cleanup
    cp "$E2E_WORK/sim.log" "$out/exchange-sim.log" 2>/dev/null || true
    rm -rf "$E2E_WORK"
    if [ -z "$verdict" ]; then
        echo "soak: FAIL the run broke off (status $status); see $out"
        exit 1
    fi
}
trap finish EXIT
trap 'exit 130' INT TERM

say() { printf 'soak: %s\n' "$*"; }
fail_now() {
    verdict=given
    echo "soak: FAIL $*"
    exit 1
}
now() { date +%s; }
now_ms() { date +%s%3N; }

# The links: 16 polled and 16 streamed topics, every item name used once.
# Wine's DDEML hands an item's update to the links of the same item name
# under other topics, which would make a stalled topic look fresh. Each item
# changes with every document the exchange serves, so a value equal to the
# one before is no news.
links=(
    'ticker.btc_jpy.h!last' 'ticker.eth_jpy.h!bid' 'ticker.bch_jpy.h!ask' 'ticker.mona_jpy.h!volume'
    'ticker.xem_jpy.h!timestamp' 'last_price.btc_jpy.h!last_price'
    'depth.btc_jpy.h!asks._.0' 'depth.eth_jpy.h!asks._.1' 'depth.bch_jpy.h!asks._.2'
    'depth.mona_jpy.h!asks._.3' 'depth.xem_jpy.h!asks._.4'
    'trades.btc_jpy.h!price' 'trades.eth_jpy.h!price.1' 'trades.bch_jpy.h!price.2'
    'trades.mona_jpy.h!tid.1' 'trades.xem_jpy.h!tid.2'
    'btc_jpy.r!last_price.price' 'eth_jpy.r!seq' 'bch_jpy.r!tid' 'mona_jpy.r!amount'
    'xem_jpy.r!bids._.0' 'eth_btc.r!bids._.1' 'aaa_jpy.r!bids._.2' 'bbb_jpy.r!bids._.3'
    'ccc_jpy.r!bids._.4' 'ddd_jpy.r!trades.price' 'eee_jpy.r!trades.tid' 'fff_jpy.r!trades.timestamp'
    'ggg_jpy.r!action.price' 'hhh_jpy.r!trade_type.tid' 'iii_jpy.r!asks.price' 'jjj_jpy.r!bids.tid'
)

# One cycle of faults: name, REST modes, stream modes.
phases=(
    'resets reset=1 reset=4'
    'stalls stall-body stall-body'
    'trickle trickle=5 trickle=5'
    'tls-stall stall-accept stall-accept'
    'refused bad-status=503 no-upgrade'
    'restart none none'
    'closes eof=1 close-frame=3'
    'rejected bad-status=500 bad-status=400'
)

set_faults() {
    printf 'rest %s\nstream %s\n' "$1" "$2" >"$control.new"
    mv "$control.new" "$control"
}

# Fault modes apply to the connections the exchange accepts afterwards; it
# resets the open ones (ss -K sends the client an RST), so that the next ones
# meet the new modes.
reset_connections() {
    ss -K -tnH '( sport = :443 or sport = :8888 )' >/dev/null 2>&1 || true
}

restart_sim() {
    e2e_stop_sim
    sleep 3
    e2e_start_sim --rate 2 --control "$control"
}

# --- figures of the server process

wine_pid=
proc_field() { awk -v key="$1:" '$1 == key { print $2 }' "/proc/$wine_pid/status"; }
# Sockets the Wine process holds, whatever their TCP state: its socket
# descriptors that are not Unix sockets (those go to the wineserver and X).
count_sockets() {
    find "/proc/$wine_pid/fd" -mindepth 1 -maxdepth 1 -lname 'socket:*' -printf '%l\n' 2>/dev/null |
        tr -dc '0-9\n' | sort -u >"$E2E_WORK/socket-inodes"
    awk 'NR > 1 { print $7 }' "/proc/$wine_pid/net/unix" 2>/dev/null | sort -u >"$E2E_WORK/unix-inodes"
    comm -23 "$E2E_WORK/socket-inodes" "$E2E_WORK/unix-inodes" | wc -l
}
log_bytes() {
    local total=0 file
    for file in "$srv"/log/*/vornlog.log; do
        [ -f "$file" ] && total=$((total + $(stat -c %s "$file")))
    done
    echo "$total"
}
handle_count() {
    local count
    count=$("$E2E_WINE" "$vornctl_exe" handles VORN 2>/dev/null | tr -d '\r') || true
    if [[ "$count" =~ ^[0-9]+$ ]]; then echo "$count"; else echo NA; fi
}
row() { printf '%6s  %-9s %8s %7s %5s %7s %7s %9s %8s\n' "$@"; }
sample() {
    local t=$1 phase=$2
    kill -0 "$wine_pid" 2>/dev/null || fail_now "vornfeed.exe ended by itself at t=${t}s (see $srv/wine.out)"
    local values
    # The slow one first (a Wine start), the sockets right after it: the
    # handles are fitted without them.
    values=("$(handle_count)" "$(count_sockets)")
    values=("$(proc_field VmRSS)" "$(proc_field Threads)"
        "$(find "/proc/$wine_pid/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l)" "${values[@]}"
        "$(log_bytes)" "$(wc -l <"$updates")")
    printf '%s\t' "$t" "$phase" "${values[@]:0:6}" >>"$samples"
    printf '%s\n' "${values[6]}" >>"$samples"
    row "$t" "$phase" "${values[@]}"
}

# --- setup

say "preparing a private Wine prefix and X display"
e2e_private_prefix || e2e_die "no booted Wine prefix in the cache" "run scripts/wine-prefix.sh (or scripts/build.sh win64)"
e2e_wine_env
e2e_start_xvfb

set_faults none none
e2e_start_sim --rate 2 --control "$control"

mkdir -p "$srv"
printf '[common]\r\ntimeadjust_min=540\r\n[ddeserver]\r\nacceptname=VORN\r\n[https]\r\ndir=/api/1/\r\n' >"$srv/vornfeed.ini"
printf 'polling_interval=%s\r\ntmout_ms=%s\r\n' "$polling_interval" "$tmout_ms" >>"$srv/vornfeed.ini"
e2e_start_server "$srv" "$vornfeed_exe"
wine_pid=$E2E_SERVER_PID
"$E2E_WINE" "$vornctl_exe" wait VORN 60000 >/dev/null 2>>"$out/wine.err" || fail_now "no server window within 60 s (see $srv/wine.out)"
[ -r "/proc/$wine_pid/status" ] || fail_now "no process $wine_pid to watch"

say "linking ${#links[@]} items (16 polled, 16 streamed topics) with one ddewatch"
: >"$updates"
# Each line gets the wall clock in milliseconds in front, to compare with
# the moment the faults stopped.
$E2E_DETACH "$E2E_WINE" "$ddewatch_exe" --connect-timeout 60 "${links[@]}" 2>"$out/ddewatch.err" |
    perl -MTime::HiRes=time -ne 'BEGIN { $| = 1 } s/\r//; printf "%d\t%s", time * 1000, $_' >"$updates" &
E2E_PIDS+=($!)

# Every link shows a value of its own before the clock starts.
linked_items() { awk -F'\t' '$5 != "-" { seen[$3 "!" $4] = 1 } END { print length(seen) }' "$updates"; }
deadline=$(($(now) + 180))
while [ "$(linked_items)" -lt "${#links[@]}" ]; do
    [ "$(now)" -lt "$deadline" ] ||
        fail_now "only $(linked_items) of ${#links[@]} links got a value within 180 s (see $out/ddewatch.err)"
    kill -0 "$wine_pid" 2>/dev/null || fail_now "vornfeed.exe ended before every link had a value"
    sleep 1
done

# --- the run

total_s=$((minutes * 60))
faults_s=$((total_s - quiet_s))
say "$minutes min: faults for ${faults_s} s (a new mode every ${phase_s} s), then ${quiet_s} s quiet; a sample every ${sample_s} s"
printf 't_s\tphase\trss_kb\tthreads\tfds\thandles\tsockets\tlog_bytes\tupdates\n' >"$samples"
row t_s phase rss_kb threads fds handles sockets log_bytes updates
start=$(now)
phase=start
next_phase=0
next_sample=0
phase_index=0
quiet_at=
while :; do
    t=$(($(now) - start))
    if [ "$t" -ge "$next_phase" ] && [ "$t" -lt "$faults_s" ]; then
        read -r phase rest_modes stream_modes <<<"${phases[phase_index % ${#phases[@]}]}"
        set_faults "$rest_modes" "$stream_modes"
        if [ "$phase" = restart ]; then restart_sim; else reset_connections; fi
        phase_index=$((phase_index + 1))
        next_phase=$((next_phase + phase_s))
    elif [ "$t" -ge "$faults_s" ] && [ -z "$quiet_at" ]; then
        # A connection keeps the modes it was accepted with: without this
        # reset one answering 500s would go on doing so.
        set_faults none none
        reset_connections
        phase=quiet
        quiet_at=$(now_ms)
    fi
    if [ "$t" -ge "$next_sample" ]; then
        sample "$next_sample" "$phase"
        next_sample=$((next_sample + sample_s))
    fi
    [ "$next_sample" -gt "$total_s" ] && break
    sleep 0.5
done
end_ms=$(now_ms)

# --- the end: exit through the menu command

"$E2E_WINE" "$vornctl_exe" close VORN >/dev/null 2>&1 || true
closed_at=$(now_ms)
problems=()
if e2e_wait_exit "$wine_pid" 30; then
    exit_note="exit in $(($(now_ms) - closed_at)) ms, code $E2E_EXIT"
    [ "$E2E_EXIT" -eq 0 ] || problems+=("the server ended with code $E2E_EXIT")
else
    exit_note="no exit within 30 s"
    problems+=("the server did not end within 30 s of the exit command")
fi

# --- the checks

# Least-squares slope per minute of each fitted figure over the second half.
slopes=$(awk -F'\t' -v half=$((total_s / 2)) -v names="${fitted[*]}" '
    function figure(name,    parts) {
        if (split(name, parts, "-") == 2) return $(col[parts[1]]) - $(col[parts[2]])
        return $(col[name])
    }
    NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; k = split(names, list, " "); counted = 1; next }
    $1 >= half {
        n++
        x[n] = $1 / 60
        counted = counted && $(col["handles"]) != "NA"
        for (m = 1; m <= k; m++) y[m, n] = figure(list[m])
    }
    END {
        for (m = 1; m <= k; m++) {
            sx = sy = sxx = sxy = 0
            for (i = 1; i <= n; i++) {
                sx += x[i]; sy += y[m, i]; sxx += x[i] * x[i]; sxy += x[i] * y[m, i]
            }
            d = n * sxx - sx * sx
            if ((!counted && list[m] ~ /handles/) || n < 3 || d == 0) printf "%s NA\n", list[m]
            else printf "%s %.2f\n", list[m], (n * sxy - sx * sy) / d
        }
    }' "$samples")

while read -r name slope; do
    if [ "$slope" = NA ]; then
        problems+=("no slope for $name (samples missing)")
    elif awk -v s="$slope" -v t="${kTolerance[$name]}" 'BEGIN { exit !(s > t) }'; then
        problems+=("$name grows by $slope per minute over the second half, more than ${kTolerance[$name]}")
    fi
done <<<"$slopes"
sockets_peak=$(awk -F'\t' 'NR > 1 && $7 > peak { peak = $7 } END { print peak + 0 }' "$samples")
[ "$sockets_peak" -le "$max_sockets" ] ||
    problems+=("the server held $sockets_peak sockets at once, more than one per topic ($max_sockets)")

# The longest wait for news per link in the quiet part: from the moment the
# faults stopped to each new value, and from the last one to the end.
waits=$(awk -F'\t' -v from="$quiet_at" -v to="$end_ms" -v order="${links[*]}" '
    {
        key = $3 "!" $4
        fresh = $5 != "-" && (!(key in last) || last[key] != $5)
        last[key] = $5
        if (!fresh || $1 < from || $1 > to) next
        if (!(key in since)) since[key] = from
        if ($1 - since[key] > worst[key]) worst[key] = $1 - since[key]
        since[key] = $1
    }
    END {
        n = split(order, names, " ")
        for (i = 1; i <= n; i++) {
            k = names[i]
            if (to - ((k in since) ? since[k] : from) > worst[k]) worst[k] = to - ((k in since) ? since[k] : from)
            printf "%s %d\n", k, worst[k]
        }
    }' "$updates")
printf '%s\n' "$waits" >"$out/quiet-waits.txt"
longest() { grep -E "$1" <<<"$waits" | sort -k2 -n | tail -n1; }
read -r worst_polled_link worst_polled_ms <<<"$(longest '\.h!')"
read -r worst_stream_link worst_stream_ms <<<"$(longest '\.r!')"
while read -r link ms; do
    [ "$ms" -le $((kAllowedSeconds * 1000)) ] ||
        problems+=("$link went $((ms / 1000)) s without a new value after the faults stopped (allowed $kAllowedSeconds s)")
done <<<"$waits"

slope_list=$(awk '{ printf "%s%s %s", (NR > 1 ? ", " : ""), $1, $2 }' <<<"$slopes")
tolerance_list=$(for name in "${fitted[@]}"; do printf '%s %s, ' "$name" "${kTolerance[$name]}"; done)
echo
say "table: $samples"
say "first row: $(sed -n 2p "$samples" | tr '\t' ' ')"
say "last row:  $(tail -n1 "$samples" | tr '\t' ' ')"
say "slopes per minute over the second half: $slope_list (tolerances: ${tolerance_list%, })"
say "most sockets held at once: $sockets_peak (at most $max_sockets)"
say "longest wait for a new value after the faults stopped: polled $((worst_polled_ms / 1000)) s ($worst_polled_link), streamed $((worst_stream_ms / 1000)) s ($worst_stream_link); allowed $kAllowedSeconds s"
say "server folder (INI, log): $srv; the exchange's log: $out/exchange-sim.log"
for problem in "${problems[@]}"; do say "problem: $problem"; done

summary="$minutes min, $(($(wc -l <"$samples") - 1)) samples, $(wc -l <"$updates") updates, $phase_index fault phases;"
summary+=" slopes/min: $slope_list; sockets at most $sockets_peak; quiet waits: polled $((worst_polled_ms / 1000)) s,"
summary+=" streamed $((worst_stream_ms / 1000)) s (<= $kAllowedSeconds s); $exit_note"
verdict=given
if [ ${#problems[@]} -eq 0 ]; then
    echo "soak: PASS $summary"
else
    echo "soak: FAIL $summary"
    exit 1
fi
