#!/usr/bin/env bash
# The benchmark: vornfeed.exe under Wine against the local exchange, and in
# the same run the floor it is measured against (bench/DdeFloor.cpp: socket,
# PostMessage, DdePostAdvise and nothing else), both serving the same links
# to the same client at the same update rate. Prints one table, each figure
# beside the floor's and their ratio, and keeps it in bench/results/.
#
#   scripts/bench.sh [--topics N] [--burst] [--runs R] [--seconds S] [--no-readme]
#
#   --topics N   N/2 streamed and N/2 polled topics (default 32, the most one
#                run serves; N even, 2 to 32)
#   --burst      the exchange also sends 100 messages in one write, three times,
#                on every streamed topic (so 2 topics unless --topics says more)
#   --runs R     measure each program R times, alternating (default 3);
#                the table shows the range
#   --seconds S  the steady window each run measures CPU over (default 20)
#
# Build folders: build/native and build/win64 (VORNFEED_NATIVE_DIR and
# VORNFEED_WIN64_DIR choose others). Figures are the machine's: on a shared
# machine the CPU columns move with the neighbours' load, hence the ranges.
set -euo pipefail
[ -n "${BENCH_TRACE:-}" ] && set -x

root=$(cd "$(dirname "$0")/.." && pwd)
topics=
burst=0
runs=3
seconds=20
readme=1
usage() { sed -n '8,17p' "$0" | sed 's/^# \{0,1\}//'; }
while [ $# -gt 0 ]; do
    case "$1" in
    --topics) topics=${2:-}; shift 2 ;;
    --burst) burst=1; shift ;;
    --runs) runs=${2:-}; shift 2 ;;
    --seconds) seconds=${2:-}; shift 2 ;;
    --no-readme) readme=0; shift ;;
    --inside) inside=1; shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
    esac
done
if [ -z "$topics" ]; then
    topics=32
    [ "$burst" = 1 ] && topics=2
fi
[[ "$topics" =~ ^[0-9]+$ ]] && [ "$topics" -ge 2 ] && [ "$topics" -le 32 ] && [ $((topics % 2)) -eq 0 ] ||
    { usage >&2; exit 2; }
[[ "$runs" =~ ^[1-9][0-9]*$ ]] && [[ "$seconds" =~ ^[1-9][0-9]*$ ]] || { usage >&2; exit 2; }

# shellcheck source=e2e-lib.sh
source "$root/scripts/e2e-lib.sh"
native_dir="${VORNFEED_NATIVE_DIR:-$root/build/native}"
win_dir="${VORNFEED_WIN64_DIR:-$root/build/win64}"
E2E_SIM="$native_dir/tools/exchange-sim/exchange-sim"
scenario="topics-$topics"
[ "$burst" = 1 ] && scenario="burst-topics-$topics"

if [ -z "${inside:-}" ]; then
    [ "$(id -u)" -eq 0 ] || e2e_die "the benchmark needs root" "it makes a private network namespace"
    mkdir -p "$root/build"
    log="$root/build/bench-build.log"
    e2e_say "Building exchange-sim, vornfeed.exe, ddewatch.exe, vornctl.exe and ddefloor.exe (log: ${log#$root/})"
    { env VORNFEED_TARGETS=exchange-sim VORNFEED_BUILD_DIR="$native_dir" nice "$root/scripts/build.sh" native &&
        env VORNFEED_TARGETS="vornfeed ddewatch vornctl ddefloor" VORNFEED_BUILD_DIR="$win_dir" \
            nice "$root/scripts/build.sh" win64; } >"$log" 2>&1 ||
        { tail -n 15 "$log" >&2; e2e_die "the build failed (see $log)"; }
    rest_host=$(sed -n 's/^VORNFEED_REST_HOST:STRING=//p' "$win_dir/CMakeCache.txt")
    stream_host=$(sed -n 's/^VORNFEED_STREAM_HOST:STRING=//p' "$win_dir/CMakeCache.txt")
    args=(--inside --topics "$topics" --runs "$runs" --seconds "$seconds")
    [ "$burst" = 1 ] && args+=(--burst)
    [ "$readme" = 0 ] && args+=(--no-readme)
    exec "$root/scripts/netns-run.sh" --host "${rest_host:-localhost}" --host "${stream_host:-localhost}" -- \
        env E2E_HOSTS="${rest_host:-localhost} ${stream_host:-localhost}" BENCH_REST_HOST="${rest_host:-localhost}" \
        BENCH_STREAM_HOST="${stream_host:-localhost}" "$0" "${args[@]}"
fi

E2E_WORK=$(mktemp -d /tmp/vornfeed-bench.XXXXXX)
trap 'e2e_cleanup; [ -n "${BENCH_KEEP:-}" ] || rm -rf "$E2E_WORK"' EXIT
results="$E2E_WORK/results"
mkdir -p "$results"
control="$E2E_WORK/control"
: >"$control"

e2e_private_prefix || e2e_die "no booted Wine prefix in the cache" "run scripts/wine-prefix.sh (or scripts/build.sh win64)"
e2e_wine_env
# One wineserver for the whole benchmark: one that ends between two programs
# races the start of the next.
/usr/lib/wine/wineserver -p
e2e_start_xvfb
e2e_start_sim --rate 5 --pacing random --control "$control"
vornctl="$win_dir/tools/vornctl/vornctl.exe"
# Wine's desktop process ends with the last program that used it, and a
# program started while it ends gets no window. A waiting vornctl keeps it
# for the whole benchmark (one FindWindow each 50 ms: both programs pay it).
$E2E_DETACH "$E2E_WINE" "$vornctl" wait bench-keeps-the-desktop 2000000000 >/dev/null 2>&1 &
E2E_PIDS+=($!)

# The links: per streamed topic its stamp and its price, per polled topic two
# fields of its ticker; btc_jpy carries the freshness and burst probes.
pairs=(btc_jpy eth_jpy bch_jpy mona_jpy xem_jpy eth_btc)
for i in $(seq 6 15); do pairs+=("p${i}_jpy"); done
links=()
for i in $(seq 0 $((topics / 2 - 1))); do
    links+=("${pairs[$i]}.r!timestamp" "${pairs[$i]}.r!last_price.price")
    links+=("ticker.${pairs[$i]}.h!last" "ticker.${pairs[$i]}.h!bid")
done
links+=("btc_jpy.r!seq")

now_us() { date +%s%6N; }

# The Linux process of a Windows program of our prefix, and its wineserver.
prefix_pid() {
    local pid
    for pid in $(pgrep -x "$1"); do
        grep -qxz "WINEPREFIX=$E2E_PREFIX" "/proc/$pid/environ" 2>/dev/null && { echo "$pid"; return 0; }
    done
    return 1
}
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

# Writes the control file atomically; a comment makes every text new.
control_serial=0
set_control() {
    control_serial=$((control_serial + 1))
    printf '# %d\n%s' "$control_serial" "$1" >"$control.new"
    mv "$control.new" "$control"
}

# One run of one program ($1: server or floor, $2: run number); its raw
# figures go to $results/$1.$2.*.
run_one() {
    local who=$1 run=$2 out=$results/$1.$2 pid ws t0 t1 c0 c1 w0 w1 i
    local dir=$E2E_WORK/$who-$run
    mkdir -p "$dir"
    set_control ""
    if [ "$who" = server ]; then
        e2e_start_server "$dir" "$win_dir/src/app/vornfeed.exe"
    else
        (cd "$dir" && exec $E2E_DETACH "$E2E_WINE" "$win_dir/bench/ddefloor.exe" --rest-host "$BENCH_REST_HOST" \
            --stream-host "$BENCH_STREAM_HOST" --interval 5) >"$dir/wine.out" 2>&1 &
        E2E_SERVER_PID=$!
        E2E_PIDS+=($E2E_SERVER_PID)
    fi
    local wine_pid=$E2E_SERVER_PID
    if ! "$E2E_WINE" "$vornctl" wait VORN 30000 >"$dir/vornctl.out" 2>&1; then
        tail -n 5 "$dir/wine.out" "$dir/vornctl.out" >&2
        e2e_die "$who did not come up"
    fi
    $E2E_DETACH "$E2E_WINE" "$win_dir/tools/ddewatch/ddewatch.exe" --clock --connect-timeout 20 "${links[@]}" \
        </dev/null >"$out.client" 2>"$out.client.err" &
    local watch_pid=$!
    E2E_PIDS+=($watch_pid)
    for i in $(seq 1 300); do
        [ "$(grep -c '^ddewatch: linked' "$out.client.err" 2>/dev/null)" -ge "${#links[@]}" ] && break
        sleep 0.1
    done
    # Let the first documents and connections settle before measuring.
    sleep 3
    if [ "$who" = server ]; then pid=$(prefix_pid vornfeed.exe); else pid=$(prefix_pid ddefloor.exe); fi
    ws=$(prefix_pid wineserver64)
    t0=$(now_us) c0=$(cpu_ticks "$pid") w0=$(cpu_ticks "$ws")
    echo "$t0" >"$out.steady-start"
    # Freshness probes: a new price at the exchange, then its arrival in the
    # polled cell. Bursts, in their scenario, come half a second after.
    local probes=3 gap=$((seconds * 1000000 / 3)) price
    for i in $(seq 1 $probes); do
        price=$((1000000 + run * 1000 + i * 100 + RANDOM % 50))
        [ "$who" = floor ] && price=$((price + 500))
        set_control "pin btc_jpy=$price"$'\n'
        echo "$(now_us) $price" >>"$out.pins"
        if [ "$burst" = 1 ]; then
            sleep 0.5
            set_control "pin btc_jpy=$price"$'\n'"burst 100"$'\n'
        fi
        while [ $(($(now_us) - t0)) -lt $((i * gap)) ]; do sleep 0.2; done
    done
    t1=$(now_us) c1=$(cpu_ticks "$pid") w1=$(cpu_ticks "$ws")
    echo "$t1" >"$out.steady-end"
    awk '/^VmHWM/ {print $2} /^Threads/ {print $2}' "/proc/$pid/status" | paste -sd' ' >"$out.memory"
    echo "$t0 $t1 $c0 $c1 $w0 $w1 $(getconf CLK_TCK)" >"$out.cpu"
    # Exit with the client still linked, as with a workbook left open.
    local s0
    s0=$(now_us)
    "$E2E_WINE" "$vornctl" close VORN >/dev/null 2>&1 || true
    e2e_wait_exit "$wine_pid" 30 || e2e_die "$who did not end within 30 s"
    echo $(($(now_us) - s0)) >"$out.exit"
    kill "$watch_pid" 2>/dev/null || true
    wait "$watch_pid" 2>/dev/null || true
    # The next program must not find this one's wineserver state of DDE.
    sleep 1
}

e2e_say "Scenario $scenario: $((topics / 2)) streamed and $((topics / 2)) polled topics, ${#links[@]} links, $runs runs of ${seconds} s each"
for run in $(seq 1 "$runs"); do
    for who in server floor; do
        e2e_say "run $run: $who"
        run_one "$who" "$run"
    done
done
cp "$E2E_WORK/sim.log" "$results/sim.log"

machine="$(nproc) cores, $(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -n1), $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo), $(wine64 --version 2>/dev/null || /usr/lib/wine/wine64 --version)"
commit="$(git -C "$root" rev-parse --short HEAD)$(git -C "$root" diff --quiet HEAD -- src tools bench scripts || echo '+changes')"
table=$(python3 "$root/bench/report.py" "$results" "$runs" --scenario "$scenario" --machine "$machine" \
    --commit "$commit" --date "$(date -u '+%Y-%m-%d %H:%M UTC')")
printf '%s\n' "$table"

mkdir -p "$root/bench/results"
file="$root/bench/results/$(date -u +%Y%m%d-%H%M)-$scenario.md"
printf '%s\n' "$table" >"$file"
e2e_say "Table kept in ${file#$root/}"
if [ "$readme" = 1 ]; then
    python3 "$root/bench/report.py" --readme "$root/README.md" "$scenario" "$file"
    e2e_say "README.md shows it"
fi
