# Shared by scripts/demo.sh, scripts/soak.sh and the end-to-end suite
# (tests/e2e): the pieces of a whole run of the server under Wine against the
# local exchange. Source it; every process started here is recorded and ended
# by e2e_cleanup, which callers put in an EXIT trap.
#
# The caller sets before use:
#   E2E_WORK     a scratch folder of its own (sockets, certificates, server folders)
#   E2E_SIM      the native exchange-sim binary
#   E2E_HOSTS    the exchange host names the server uses (its certificate's names)

E2E_WINE=/usr/lib/wine/wine64
E2E_PIDS=()
# Every process starts in a session of its own: Ctrl-C in the terminal
# reaches only the script, whose trap then closes the server through its menu
# command instead of the signal killing it (and X) underneath.
E2E_DETACH=setsid

e2e_say() { printf '==> %s\n' "$*"; }
e2e_die() {
    printf 'error: %s\n' "$1" >&2
    [ -n "${2:-}" ] && printf '       %s\n' "$2" >&2
    exit 1
}

# Z:\ path of a Unix path, the way a Windows program under Wine names it.
e2e_winpath() { printf 'Z:%s' "${1//\//\\}"; }

# A private Wine prefix in $E2E_WORK/wineprefix: an overlay on the cached,
# booted one (callers run in a mount namespace of their own), so it costs
# nothing to make and the cache stays untouched. Private, because the service
# name, the single-instance mutex and DDE broadcasts are per wineserver, and
# other suites may run servers named VORN at the same time.
e2e_private_prefix() {
    local cached="${VORNFEED_CACHE:-/var/cache/vornfeed}/wineprefix"
    [ -f "$cached/.vornfeed-ready" ] || return 1
    E2E_PREFIX=$E2E_WORK/wineprefix
    mkdir -p "$E2E_PREFIX" "$E2E_WORK/prefix-upper" "$E2E_WORK/prefix-work"
    if mount -t overlay overlay -o "lowerdir=$cached,upperdir=$E2E_WORK/prefix-upper,workdir=$E2E_WORK/prefix-work" \
        "$E2E_PREFIX" 2>/dev/null; then
        E2E_PREFIX_MOUNTED=1
    else
        cp -a "$cached/." "$E2E_PREFIX"
    fi
}

e2e_wine_env() {
    export WINEPREFIX="$E2E_PREFIX"
    export WINEDEBUG="${VORNFEED_WINEDEBUG:--all}"
    export WINEDLLOVERRIDES="mscoree,mshtml="
    # A crash must end the program with its backtrace in its output, not
    # freeze it behind a dialog that nobody will answer. Set before any
    # program of the run starts (and before X is there): the wineserver it
    # takes is let go, so the first program of the run still decides the
    # desktop.
    "$E2E_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 || true
    /usr/lib/wine/wineserver64 -w 2>/dev/null || true
}

# A private X display: cross-process DDE under Wine goes through X. -displayfd
# lets Xvfb pick a free display number itself.
e2e_start_xvfb() {
    local fdfile="$E2E_WORK/xvfb.display"
    $E2E_DETACH Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fdfile" >"$E2E_WORK/xvfb.log" 2>&1 &
    E2E_PIDS+=($!)
    local i
    for i in $(seq 1 100); do
        [ -s "$fdfile" ] && break
        sleep 0.1
    done
    [ -s "$fdfile" ] || e2e_die "Xvfb did not start (see $E2E_WORK/xvfb.log)" "install it with: apt-get install xvfb"
    export DISPLAY=":$(head -n1 "$fdfile")"
}

# Starts the simulator in the background with the given extra options and
# waits until both its ports answer. Its output goes to $E2E_WORK/sim.log
# (appended, so restarts stay in one record).
e2e_start_sim() {
    local host host_args=()
    for host in $(printf "%s\n" ${E2E_HOSTS:-localhost} | sort -u); do host_args+=(--host "$host"); done
    # A restarted exchange keeps its certificate, as a real one does: the
    # server read its roots once, at its own start.
    local certs=(--make-certs "$E2E_WORK/certs")
    [ -f "$E2E_WORK/certs/server.pem" ] &&
        certs=(--cert "$E2E_WORK/certs/server.pem" --key "$E2E_WORK/certs/server-key.pem")
    $E2E_DETACH "$E2E_SIM" "${certs[@]}" "${host_args[@]}" "$@" >>"$E2E_WORK/sim.log" 2>&1 &
    E2E_SIM_PID=$!
    E2E_PIDS+=($E2E_SIM_PID)
    e2e_wait_port 443 || e2e_die "exchange-sim did not open port 443 (see $E2E_WORK/sim.log)"
    e2e_wait_port 8888 || e2e_die "exchange-sim did not open port 8888 (see $E2E_WORK/sim.log)"
}

e2e_stop_sim() {
    [ -n "${E2E_SIM_PID:-}" ] || return 0
    kill "$E2E_SIM_PID" 2>/dev/null || true
    wait "$E2E_SIM_PID" 2>/dev/null || true
    E2E_SIM_PID=
}

e2e_wait_port() {
    local i
    for i in $(seq 1 100); do
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
        kill -0 "$E2E_SIM_PID" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

# Makes the server in folder $1 trust the simulator's authority the way a
# user trusts a private root: the CA file beside the exe, named by a relative
# ca_file in [https]. Other settings in an existing INI stay as they are.
e2e_trust_sim_ca() {
    local dir=$1 ini=$1/vornfeed.ini
    mkdir -p "$dir/certs"
    cp "$E2E_WORK/certs/ca.pem" "$dir/certs/ca.pem"
    if [ ! -f "$ini" ]; then
        printf '[https]\r\nca_file=certs\\ca.pem\r\n' >"$ini"
    elif grep -q '^ca_file=' "$ini"; then
        :
    elif grep -q '^\[https\]' "$ini"; then
        sed -i 's/^\[https\]\r\?$/&\nca_file=certs\\ca.pem\r/' "$ini"
    else
        printf '[https]\r\nca_file=certs\\ca.pem\r\n' >>"$ini"
    fi
}

# An OpenSSL configuration that would make every handshake with the
# simulator fail. The server is started with it in OPENSSL_CONF, to show that
# it reads no configuration file.
e2e_poisoned_openssl_env() {
    local conf=$E2E_WORK/poisoned-openssl.cnf
    printf 'openssl_conf = poisoned\n[poisoned]\nssl_conf = ssl\n[ssl]\nsystem_default = tls\n[tls]\nMaxProtocol = TLSv1\n' >"$conf"
    printf 'OPENSSL_CONF=%s' "$(e2e_winpath "$conf")"
}

# Runs vornfeed.exe from its own folder (INI beside it, log under it, since
# that is also its working directory) in the background; E2E_SERVER_PID is
# the Wine process, whose exit status is the program's exit code. The server
# trusts the simulator's authority through its INI (e2e_trust_sim_ca), unless
# --untrusted follows, which leaves the folder as it is: a first start with
# no INI at all, say.
e2e_start_server() {
    local dir=$1 exe=$2
    mkdir -p "$dir"
    cp "$exe" "$dir/vornfeed.exe"
    [ "${3:-}" = --untrusted ] || e2e_trust_sim_ca "$dir"
    # shellcheck disable=SC2046 # the assignments are words of their own
    (cd "$dir" && exec env $(e2e_poisoned_openssl_env) $E2E_DETACH "$E2E_WINE" vornfeed.exe) \
        >"$dir/wine.out" 2>&1 &
    E2E_SERVER_PID=$!
    E2E_PIDS+=($E2E_SERVER_PID)
}

# Waits up to $2 seconds for process $1 to end; its exit status is left in
# E2E_EXIT. Returns 1 on a time-out.
e2e_wait_exit() {
    local pid=$1 seconds=$2 i
    for i in $(seq 1 $((seconds * 10))); do
        if ! kill -0 "$pid" 2>/dev/null; then
            wait "$pid" 2>/dev/null
            E2E_EXIT=$?
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# The day's log of a server folder (the server names it by the local date).
e2e_logfile() { ls "$1"/log/*/vornlog.log 2>/dev/null | tail -n1; }

e2e_cleanup() {
    local pid
    for pid in "${E2E_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    # A prefix of our own: its wineserver serves nobody else.
    if [ -n "${E2E_PREFIX:-}" ]; then
        WINEPREFIX="$E2E_PREFIX" /usr/lib/wine/wineserver -k 2>/dev/null || true
        WINEPREFIX="$E2E_PREFIX" /usr/lib/wine/wineserver -w 2>/dev/null || true
    fi
    for pid in "${E2E_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
    [ -n "${E2E_PREFIX_MOUNTED:-}" ] && umount "$E2E_PREFIX" 2>/dev/null
    E2E_PIDS=()
    return 0
}
