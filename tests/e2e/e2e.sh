#!/usr/bin/env bash
# End-to-end checks of vornfeed.exe under Wine against the local exchange
# (exchange-sim), with ddewatch as the spreadsheet: the whole road of a hot
# link, for a polled and a streaming topic.
#
#   e2e.sh CASE VORNFEED_EXE DDEWATCH_EXE VORNCTL_EXE EXCHANGE_SIM
#
# CASE is one of: hotlink, reconnect, pause, instances, shutdown, secondclient.
# Runs itself again inside a private network namespace, so the simulator takes
# ports 443 and 8888 under the configured host names without touching the
# machine. Wine runs in a private copy of the cached prefix: the service name,
# the single-instance mutex and DDE broadcasts are per wineserver, and other
# suites may run their own servers named VORN at the same time.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
[ $# -eq 5 ] || { echo "usage: $0 CASE VORNFEED_EXE DDEWATCH_EXE VORNCTL_EXE EXCHANGE_SIM" >&2; exit 2; }
case_name=$1
vornfeed_exe=$2
ddewatch_exe=$3
vornctl_exe=$4
sim_exe=$5
: "${VORNFEED_REST_HOST:=localhost}"
: "${VORNFEED_STREAM_HOST:=localhost}"

if [ ! -x "$sim_exe" ]; then
    echo "exchange-sim not found at $sim_exe: build the native tree first (scripts/build.sh native)," >&2
    echo "or configure the Windows tree with -DVORNFEED_EXCHANGE_SIM=/path/to/exchange-sim" >&2
    exit 1
fi
if [ -z "${VORNFEED_IN_NETNS:-}" ]; then
    # Bounded here, below ctest's limit, so that the trap inside still gets to
    # end every process (a kill from ctest would leave them running).
    exec timeout -k 10 200 "$root/scripts/netns-run.sh" --host "$VORNFEED_REST_HOST" --host "$VORNFEED_STREAM_HOST" -- "$0" "$@"
fi

# shellcheck source=../../scripts/e2e-lib.sh
source "$root/scripts/e2e-lib.sh"
E2E_WORK=$(mktemp -d /tmp/vornfeed-e2e.XXXXXX)
E2E_SIM=$sim_exe
E2E_HOSTS="$VORNFEED_REST_HOST $VORNFEED_STREAM_HOST"
finish() {
    local status=$?
    e2e_cleanup
    if [ $status -ne 0 ]; then
        echo "--- simulator log (tail)"
        tail -n 30 "$E2E_WORK/sim.log" 2>/dev/null || true
    fi
    # VORNFEED_E2E_KEEP=1 keeps the folders (logs, INI, ddewatch output).
    if [ -n "${VORNFEED_E2E_KEEP:-}" ]; then echo "kept: $E2E_WORK"; else rm -rf "$E2E_WORK"; fi
}
trap finish EXIT
trap 'exit 130' INT TERM

fail() {
    echo "FAIL [$case_name]: $*" >&2
    exit 1
}
pass() { echo "ok [$case_name]: $*"; }

e2e_private_prefix || fail "no booted Wine prefix in the cache (scripts/wine-prefix.sh)"
e2e_wine_env
e2e_start_xvfb

# The market stands still at known prices, and the clock at a known instant,
# so that the cells' texts can be compared with what the exchange served.
frozen_iso=2018-03-18T12:34:56.789Z
# The same instant 540 minutes later, in the server's own form: two blanks, no
# zero padding.
frozen_shown="2018/3/18  21:34:56.789"
sim_common=(--freeze-clock "$frozen_iso" --pin eth_jpy=60000)

# watch NAME SECONDS [--service S] TOPIC!ITEM: one ddewatch process per link,
# its lines in $E2E_WORK/NAME.out. One link per process: Wine's DDEML refuses
# an advise start that crosses the server's first data on the same
# conversation, and mixes up links of one item name under several topics.
watch() {
    local name=$1 seconds=$2
    shift 2
    timeout $((seconds + 30)) "$E2E_WINE" "$ddewatch_exe" --connect-timeout 20 --seconds "$seconds" "$@" \
        >"$E2E_WORK/$name.out" 2>"$E2E_WORK/$name.err" &
    E2E_PIDS+=($!)
    eval "watch_pid_$name=$!"
}
values() { tr -d '\r' <"$E2E_WORK/$1.out" | cut -f4; }
first_value() { values "$1" | head -n1; }
# Waits up to $3 seconds until link output $1 has a line whose value matches
# the extended regular expression $2.
wait_value() {
    local name=$1 pattern=$2 seconds=$3 i
    for i in $(seq 1 $((seconds * 2))); do
        values "$name" 2>/dev/null | grep -Eq -- "$pattern" && return 0
        sleep 0.5
    done
    return 1
}
# True when every connection that the simulator's $1 listener (rest or
# stream) accepted has closed again.
all_closed() {
    local log=$E2E_WORK/sim.log
    [ "$(grep -c " $1: connection from " "$log")" -eq "$(grep -c " $1: closed\$" "$log")" ]
}
# Runs "$@" every half second until it succeeds or $1 seconds have passed.
wait_until() {
    local seconds=$1 i
    shift
    for i in $(seq 1 $((seconds * 2))); do
        "$@" && return 0
        sleep 0.5
    done
    return 1
}
# True when link output $1 has at least $2 values.
has_values() { [ "$(values "$1" | wc -l)" -ge "$2" ]; }
# True when at least $1 stream connections sit silent after their upgrade.
silent_streams() { [ "$(grep -c 'stream: silent' "$E2E_WORK/sim.log")" -ge "$1" ]; }
wait_watch() {
    local pid
    pid=$(eval echo "\$watch_pid_$1")
    e2e_wait_exit "$pid" "$2" || fail "ddewatch $1 did not end"
}
log_messages() {
    local log
    log=$(e2e_logfile "$1")
    [ -n "$log" ] || fail "no log file under $1/log"
    iconv -f CP932 -t UTF-8 "$log" | tr -d '\r' | sed 's/^[^,]*,//'
}
ca_file_read() { log_messages "$1" | grep -qx 'ca_file .*certs\\ca.pem の証明書 1 件を信頼'; }
# Starts the server in folder $1 with an INI of its own, text $2 (printf's
# escapes, \r\n and the like, allowed); E2E_SERVER_PID is its process.
start_server_with_ini() {
    mkdir -p "$1"
    printf '%b' "$2" >"$1/vornfeed.ini"
    e2e_start_server "$1" "$vornfeed_exe"
}
close_server() {
    local dir=$1 service=${2:-VORN} pid=$3
    "$E2E_WINE" "$vornctl_exe" close "$service" || fail "vornctl close $service"
    e2e_wait_exit "$pid" 8 || fail "the server $service did not end within tmout_ms + 3 s of the exit command"
    [ "$E2E_EXIT" -eq 0 ] || fail "the server $service ended with exit code $E2E_EXIT"
}

case_hotlink() {
    e2e_start_sim "${sim_common[@]}" --pin btc_jpy=1234567
    local srv=$E2E_WORK/srv
    e2e_start_server "$srv" "$vornfeed_exe" --untrusted
    local server=$E2E_SERVER_PID
    "$E2E_WINE" "$vornctl_exe" wait VORN 30000 || fail "no server window"

    # A first start writes the INI beside the exe with the five defaults.
    local expected_ini
    expected_ini=$(printf '[common]\ntimeadjust_min=540\n[ddeserver]\nacceptname=VORN\n[https]\ndir=/api/1/\npolling_interval=5\ntmout_ms=5000')
    [ "$(tr -d '\r' <"$srv/vornfeed.ini")" = "$expected_ini" ] || fail "INI file: $(cat "$srv/vornfeed.ini")"
    pass "INI created with the defaults"

    # The local exchange's root is private: the user names it in the INI,
    # and the server reads it at its next start.
    close_server "$srv" VORN "$server"
    e2e_start_server "$srv" "$vornfeed_exe"
    server=$E2E_SERVER_PID
    "$E2E_WINE" "$vornctl_exe" wait VORN 30000 || fail "no server window after the restart"
    wait_until 10 ca_file_read "$srv" || fail "the ca_file beside the exe was not read: $(log_messages "$srv")"

    watch last 20 'ticker.btc_jpy.h!last'
    watch stamp 20 'ticker.btc_jpy.h!timestamp'
    watch nosuch 20 'ticker.btc_jpy.h!no_such_item'
    watch rprice 20 'btc_jpy.r!last_price.price'
    watch rask 20 'btc_jpy.r!asks._.0'
    for name in last stamp nosuch rprice rask; do wait_watch "$name" 50; done

    for name in last stamp nosuch rprice rask; do
        [ "$(first_value $name)" = "-" ] || fail "$name: first value '$(first_value $name)', not the placeholder"
    done
    pass "every link shows the placeholder first"
    # The polled document's value as served, then the stream's.
    values last | grep -qx '1234567.0' || fail "last: $(values last | tr '\n' ' ')"
    values rprice | grep -qx '1234567.0' || fail "last_price.price: $(values rprice | tr '\n' ' ')"
    values rask | grep -Eqx '[0-9]+\.[0-9]+,[0-9]+\.[0-9]+' || fail "asks._.0: $(values rask | tr '\n' ' ')"
    pass "values of both topic kinds come from the served documents"
    values stamp | grep -qxF "$frozen_shown" || fail "timestamp: $(values stamp | tr '\n' ' ')"
    pass "the polled timestamp is shown 540 minutes later in the server's form"
    [ "$(values nosuch | sort -u)" = "-" ] && [ "$(values nosuch | wc -l)" -ge 2 ] ||
        fail "no_such_item: $(values nosuch | tr '\n' ' ')"
    pass "an item the document lacks stays \"-\" while its document keeps coming"

    # The REST worker answers the cookie that the exchange set, on the same
    # keep-alive connection.
    grep -q "cookie echoed" "$E2E_WORK/sim.log" || fail "the simulator saw no echoed cookie"
    ! grep -q "cookie NOT echoed" "$E2E_WORK/sim.log" || fail "$(grep -m1 "cookie NOT echoed" "$E2E_WORK/sim.log")"
    pass "the exchange's cookie is echoed"

    close_server "$srv" VORN "$server"
    pass "exit through the menu command with code 0"
    local messages
    messages=$(log_messages "$srv")
    [ "$(echo "$messages" | head -n1)" = "起動" ] || fail "log: $messages"
    echo "$messages" | grep -qx 'ticker.btc_jpy.hスレッド生成' || fail "log: $messages"
    echo "$messages" | grep -qx 'btc_jpy.rスレッド生成' || fail "log: $messages"
    [ "$(echo "$messages" | tail -n2 | tr '\n' '|')" = "スレッド終了待ち|終了|" ] || fail "log: $messages"
    # The bytes themselves are Shift_JIS: 起動 is 8B 4E 93 AE.
    grep -q "$(printf ',\x8b\x4e\x93\xae\r')" "$(e2e_logfile "$srv")" || fail "the log is not in code page 932"
    pass "log lines in code page 932, start to end"
}

case_reconnect() {
    e2e_start_sim "${sim_common[@]}" --pin btc_jpy=1111111
    local srv=$E2E_WORK/srv
    e2e_start_server "$srv" "$vornfeed_exe"
    local server=$E2E_SERVER_PID
    watch last 50 'ticker.btc_jpy.h!last'
    watch rprice 50 'btc_jpy.r!last_price.price'
    wait_value last '^1111111\.0$' 20 || fail "no first polled value: $(values last | tr '\n' ' ')"
    wait_value rprice '^1111111\.0$' 20 || fail "no first streamed value: $(values rprice | tr '\n' ' ')"

    # The exchange goes away and comes back with other prices; the workers
    # reconnect by themselves and the same links carry the new values.
    e2e_stop_sim
    sleep 3
    e2e_start_sim "${sim_common[@]}" --pin btc_jpy=2222222
    wait_value last '^2222222\.0$' 20 || fail "polled topic after the restart: $(values last | tr '\n' ' ')"
    wait_value rprice '^2222222\.0$' 20 || fail "streamed topic after the restart: $(values rprice | tr '\n' ' ')"
    pass "both topics reconnect after the exchange restarts"
    close_server "$srv" VORN "$server"
}

case_pause() {
    e2e_start_sim "${sim_common[@]}" --pin btc_jpy=1234567
    local srv=$E2E_WORK/srv
    e2e_start_server "$srv" "$vornfeed_exe"
    local server=$E2E_SERVER_PID
    watch first 12 'ticker.btc_jpy.h!last'
    watch rfirst 12 'btc_jpy.r!last_price.price'
    wait_watch first 45
    wait_watch rfirst 45
    values first | grep -qx '1234567.0' || fail "no polled value before the pause: $(values first | tr '\n' ' ')"
    values rfirst | grep -qx '1234567.0' || fail "no streamed value before the pause: $(values rfirst | tr '\n' ' ')"

    # The clients' conversations ended: both workers drop their connections
    # (the REST worker after its 5 s interval, once Wine has delivered the
    # disconnect) and send nothing more, however long the server runs on.
    wait_until 40 all_closed rest || fail "a REST connection stayed open while paused"
    wait_until 40 all_closed stream || fail "the stream connection stayed open while paused"
    local log=$E2E_WORK/sim.log before after
    before=$(grep -c 'rest: GET /api/1/ticker/btc_jpy' "$log" || true)
    sleep 12
    after=$(grep -c 'rest: GET /api/1/ticker/btc_jpy' "$log" || true)
    [ "$after" -eq "$before" ] || fail "requests went on while paused ($before, then $after)"
    [ "$(grep -c 'stream: upgraded' "$log")" -eq 1 ] || fail "the stream was opened again while paused"
    all_closed rest || fail "a REST connection was opened again while paused"
    all_closed stream || fail "the stream connection was opened again while paused"
    pass "both workers drop their connections and idle while no client is linked"

    # New links on the same topics wake them: fresh values, not only "-".
    watch second 14 'ticker.btc_jpy.h!last'
    watch rsecond 14 'btc_jpy.r!last_price.price'
    wait_watch second 45
    wait_watch rsecond 45
    for name in second rsecond; do
        [ "$(first_value $name)" = "-" ] || fail "$name: the new link's first value: $(first_value $name)"
        values $name | grep -qx '1234567.0' || fail "$name: no value after the new link: $(values $name | tr '\n' ' ')"
    done
    pass "new advises resume both workers"
    close_server "$srv" VORN "$server"
    [ "$(log_messages "$srv" | grep -c 'スレッド生成$')" -eq 2 ] || fail "a resumed topic got a new worker"
}

case_instances() {
    e2e_start_sim "${sim_common[@]}" --pin btc_jpy=1234567
    local srv=$E2E_WORK/srv
    e2e_start_server "$srv" "$vornfeed_exe"
    local first=$E2E_SERVER_PID
    "$E2E_WINE" "$vornctl_exe" wait VORN 30000 || fail "no server window"

    # The same service name a second time: refused at once, silently, with 0.
    (cd "$srv" && "$E2E_WINE" vornfeed.exe) || fail "a second copy ended with $?"
    [ "$(log_messages "$srv" | grep -c '^起動$')" -eq 2 ] || fail "log: $(log_messages "$srv")"
    pass "a second copy with the same service name ends with 0"

    # Another folder, its own INI with another service name: serves beside.
    local other=$E2E_WORK/other
    start_server_with_ini "$other" '[common]\r\ntimeadjust_min=0\r\n[ddeserver]\r\nacceptname=VORN2\r\n'
    local second=$E2E_SERVER_PID
    "$E2E_WINE" "$vornctl_exe" wait VORN2 30000 || fail "no window of the VORN2 server"

    watch one 14 'ticker.btc_jpy.h!last'
    watch two 14 --service VORN2 'ticker.eth_jpy.h!last'
    wait_watch one 45
    wait_watch two 45
    values one | grep -qx '1234567.0' || fail "VORN after the second copy: $(values one | tr '\n' ' ')"
    values two | grep -qx '60000.0' || fail "VORN2: $(values two | tr '\n' ' ')"
    pass "the first copy keeps serving, and a copy named VORN2 serves beside it"
    close_server "$other" VORN2 "$second"
    close_server "$srv" VORN "$first"
}

case_shutdown() {
    # Streams that go silent after the upgrade keep their workers inside a
    # read that only the time-out or a stop ends; the polled topics keep
    # theirs in request and interval. With a minute's time-out, the server
    # ends in time only when every worker sees the stop at once.
    e2e_start_sim "${sim_common[@]}" --stream-faults stall-body=0
    local srv=$E2E_WORK/srv
    start_server_with_ini "$srv" '[https]\r\ntmout_ms=60000\r\n'
    local server=$E2E_SERVER_PID
    "$E2E_WINE" "$vornctl_exe" wait VORN 30000 || fail "no server window"
    local topic n=0
    for topic in ticker.btc_jpy.h depth.btc_jpy.h trades.btc_jpy.h btc_jpy.r eth_jpy.r bch_jpy.r mona_jpy.r \
        xem_jpy.r eth_btc.r aaa_jpy.r bbb_jpy.r; do
        n=$((n + 1))
        watch "link$n" 120 "$topic!last"
    done
    wait_until 30 silent_streams 8 || fail "not every stream worker connected"
    for topic in ticker depth trades; do
        wait_until 30 grep -q "rest: GET /api/1/$topic/btc_jpy" "$E2E_WORK/sim.log" || fail "no request for $topic"
    done

    local start elapsed_ms
    "$E2E_WINE" "$vornctl_exe" close VORN || fail "vornctl close VORN"
    start=$(date +%s%3N)
    e2e_wait_exit "$server" 90 || fail "the server did not end within 90 s of the exit command"
    elapsed_ms=$(($(date +%s%3N) - start))
    echo "closed to exit: $elapsed_ms ms"
    [ "$E2E_EXIT" -eq 0 ] || fail "the server ended with exit code $E2E_EXIT"
    [ "$elapsed_ms" -le 2000 ] || fail "the server took $elapsed_ms ms to end after the exit command, not 2 s at most"
    pass "exit within 2 s with eight silent streams and three polled topics busy, code 0"
    local messages
    messages=$(log_messages "$srv")
    [ "$(echo "$messages" | grep -c 'スレッド生成$')" -eq 11 ] || fail "worker start lines: $messages"
    [ "$(echo "$messages" | tail -n2 | tr '\n' '|')" = "スレッド終了待ち|終了|" ] || fail "the log does not end with the wait: $messages"
    pass "the log shows the wait for the workers"
}

case_secondclient() {
    e2e_start_sim "${sim_common[@]}" --pin btc_jpy=1234567 --rate 5
    local srv=$E2E_WORK/srv
    e2e_start_server "$srv" "$vornfeed_exe"
    local server=$E2E_SERVER_PID
    "$E2E_WINE" "$vornctl_exe" wait VORN 30000 || fail "no server window"

    # Two workbooks on the same streamed cell, the first linked first and
    # closed early, while the second still reads.
    watch first 30 'btc_jpy.r!last_price.price'
    wait_value first '^1234567\.0$' 30 || fail "first: no value: $(values first | tr '\n' ' ')"
    watch second 90 'btc_jpy.r!last_price.price'
    wait_value second '^1234567\.0$' 30 || fail "second: no value: $(values second | tr '\n' ' ')"
    wait_watch first 45

    # At 5 messages a second, 50 more values take at least 10 s.
    local before
    before=$(values second | wc -l)
    wait_until 40 has_values second $((before + 50)) ||
        fail "the second link stalled once the first left: $before values, then $(values second | wc -l)"
    [ "$(grep -c 'stream: upgraded' "$E2E_WORK/sim.log")" -eq 1 ] || fail "the stream was dropped and opened again"
    pass "the second client keeps its values on the same stream after the first leaves"
    close_server "$srv" VORN "$server"
}

case_unresolvable() {
    # A host the network cannot resolve: the user learns from the log which
    # host failed and why, once, however often the workers try again.
    e2e_start_sim "${sim_common[@]}"
    local srv=$E2E_WORK/srv
    start_server_with_ini "$srv" '[https]\r\nrest_host=no-such-host.invalid\r\nstream_host=no-such-host.invalid\r\n'
    local server=$E2E_SERVER_PID
    watch last 16 'ticker.btc_jpy.h!last'
    watch rprice 16 'btc_jpy.r!last_price.price'
    # The polled topic tries every 5 s: three attempts at least.
    wait_watch last 45
    wait_watch rprice 45
    local messages port
    messages=$(log_messages "$srv")
    for port in 443 8888; do
        [ "$(echo "$messages" | grep -cx "no-such-host.invalid:$port 接続失敗（名前解決できません）")" -eq 1 ] ||
            fail "port $port: not one line naming the host: $messages"
    done
    [ "$(echo "$messages" | grep -c '接続')" -eq 2 ] || fail "more connection lines than the two: $messages"
    for name in last rprice; do
        [ "$(values $name | sort -u)" = "-" ] || fail "$name: $(values $name | tr '\n' ' ')"
    done
    pass "an unresolvable host is named once in the log per worker, and its cells keep \"-\""
    close_server "$srv" VORN "$server"
}

# The status topic's states of the stream as they changed, in one line.
state_seq() { values state | uniq | tr '\n' ' '; }
state_is() { [ "$(values state | tail -n1)" = "$1" ]; }
came_back() { case "$(state_seq)" in *"live stale live "*) return 0 ;; esac; return 1; }

case_status() {
    # The status topic tells a trader whether each number is live: a stream
    # that is live, goes stale while the exchange stalls and comes back, and
    # is paused once its last workbook closes; a polled topic whose host
    # cannot be resolved fails, with the host named.
    e2e_start_sim "${sim_common[@]}" --pin btc_jpy=1234567 --rate 5
    local srv=$E2E_WORK/srv
    start_server_with_ini "$srv" '[https]\r\ntmout_ms=2000\r\nrest_host=no-such-host.invalid\r\n'
    local server=$E2E_SERVER_PID
    "$E2E_WINE" "$vornctl_exe" wait VORN 30000 || fail "no server window"
    watch state 70 'status!btc_jpy.r.state'
    watch hstate 70 'status!ticker.btc_jpy.h.state' 'status!ticker.btc_jpy.h.error'
    watch price 30 'btc_jpy.r!last_price.price'
    watch hprice 70 'ticker.btc_jpy.h!last'
    wait_until 40 state_is live || fail "the stream never showed live: $(state_seq)"
    pass "a served stream is live"

    # The exchange stops answering for longer than tmout_ms, then goes on.
    kill -STOP "$E2E_SIM_PID"
    sleep 5
    kill -CONT "$E2E_SIM_PID"
    wait_until 40 came_back || fail "not live, stale, then live again: $(state_seq)"
    pass "stale while the exchange stalls, live again after"

    # The only workbook on the stream closes.
    wait_watch price 40
    wait_until 20 state_is paused || fail "not paused after the last client left: $(state_seq)"
    pass "paused once its last client has gone"

    local polled
    polled=$(iconv -f CP932 -t UTF-8 <"$E2E_WORK/hstate.out" | tr -d '\r' | cut -f3,4)
    grep -q "ticker.btc_jpy.h.state.failed" <<<"$polled" || fail "the polled topic never showed failed: $polled"
    grep -q "no-such-host.invalid:443 接続失敗（名前解決できません）" <<<"$polled" ||
        fail "the error does not name the host: $polled"
    pass "an unresolvable host is failed, with the host named in its error"
    close_server "$srv" VORN "$server"
}

# A passing case leaves the hash of the exe it ran, for the package check.
stamp_dir=${VORNFEED_E2E_STAMPS:-}
[ -n "$stamp_dir" ] && mkdir -p "$stamp_dir" && rm -f "$stamp_dir/$case_name.sha256"

case "$case_name" in
hotlink | reconnect | pause | instances | shutdown | secondclient | unresolvable | status) "case_$case_name" ;;
*) fail "no such case" ;;
esac
[ -n "$stamp_dir" ] && sha256sum <"$vornfeed_exe" >"$stamp_dir/$case_name.sha256"
echo "PASS [$case_name]"
