#!/bin/sh
# vornfeed.exe under Wine, closed through its menu command while three
# streaming and three polled topics are linked and their workers busy: the
# process must end within tmout_ms + 2 s with exit code 0, and the log must
# show that the workers were waited for. Also: the INI file is made with the
# defaults, and a second copy with the same service name ends at once with 0
# while the first keeps serving.
#
#   exe-shutdown.sh VORNFEED_EXE VORNCTL_EXE DDEWATCH_EXE
# Runs itself again inside a private network namespace (ports 443 and 8888
# on loopback) and a private X display (DDE between Wine processes needs one).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
if [ -z "${VORN_EXE_CHECK_INSIDE:-}" ]; then
    export VORN_EXE_CHECK_INSIDE=1
    exec "$root/scripts/netns-run.sh" -- xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

: "${VORNFEED_CACHE:=/var/cache/vornfeed}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64

work=$(mktemp -d)
pids=""
cleanup() {
    for p in $pids; do kill "$p" 2>/dev/null || true; done
    # Ends whatever is left in this run's own Wine prefix, and nothing else.
    /usr/lib/wine/wineserver64 -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# A Wine prefix of this run's own: a server left over by another suite, or a
# suite that ends its Wine server, cannot disturb this one, and a copy of ours
# left running cannot hold the service name for the others.
cp -a "${WINEPREFIX:-$VORNFEED_CACHE/wineprefix}" "$work/prefix"
export WINEPREFIX="$work/prefix"
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

cp "$1" "$work/vornfeed.exe"
cp "$2" "$work/vornctl.exe"
cp "$3" "$work/ddewatch.exe"
mkdir "$work/run" "$work/pki"

# A throw-away CA the workers trust through SSL_CERT_FILE, and a certificate
# for localhost.
pki=$work/pki
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$pki/ca.key" -out "$pki/ca.pem" -days 2 -subj "/CN=Check CA" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout "$pki/srv.key" -out "$pki/srv.csr" -subj "/CN=localhost" 2>/dev/null
printf 'subjectAltName=DNS:localhost\n' >"$pki/ext"
openssl x509 -req -in "$pki/srv.csr" -CA "$pki/ca.pem" -CAkey "$pki/ca.key" -CAcreateserial -out "$pki/srv.pem" \
    -days 2 -extfile "$pki/ext" 2>/dev/null
export SSL_CERT_FILE="$pki/ca.pem"

# Port 443 answers each request with a page; port 8888 takes one connection at
# a time and never answers its upgrade, so the streaming workers sit in reads
# and handshakes when the server is closed.
openssl s_server -quiet -accept 443 -cert "$pki/srv.pem" -key "$pki/srv.key" -www >/dev/null 2>&1 &
pids="$pids $!"
openssl s_server -quiet -accept 8888 -cert "$pki/srv.pem" -key "$pki/srv.key" </dev/null >/dev/null 2>&1 &
pids="$pids $!"

cd "$work/run"
"$wine" ../vornfeed.exe &
server=$!
pids="$pids $server"
"$wine" ../vornctl.exe wait VORN 30000 || fail "no server window"

expected_ini=$(printf '[common]\ntimeadjust_min=540\n[ddeserver]\nacceptname=VORN\n[https]\ndir=/api/1/\npolling_interval=5\ntmout_ms=5000\n')
[ "$(tr -d '\r' <../vornfeed.ini)" = "$expected_ini" ] || fail "INI file: $(cat ../vornfeed.ini)"

"$wine" ../vornfeed.exe || fail "second copy ended with $?"
"$wine" ../vornctl.exe wait VORN 1000 || fail "the first copy is gone after the second one"

"$wine" ../ddewatch.exe --seconds 60 a.btc_jpy.h!a1 b.btc_jpy.h!b1 c.btc_jpy.h!c1 btc_jpy.r!r1 eth_jpy.r!r2 \
    xrp_jpy.r!r3 >../ddewatch.txt 2>&1 &
watcher=$!
pids="$pids $watcher"
# The links are made and the workers connect and read.
sleep 8
[ "$(grep -c 'linked ' ../ddewatch.txt)" -eq 6 ] || fail "links: $(cat ../ddewatch.txt)"

"$wine" ../vornctl.exe close VORN || fail "close command"
start=$(date +%s%N)
set +e
wait "$server"
code=$?
set -e
elapsed_ms=$((($(date +%s%N) - start) / 1000000))
echo "closed to exit: $elapsed_ms ms"
[ "$code" -eq 0 ] || fail "exit code $code"
[ "$elapsed_ms" -le 7000 ] || fail "took $elapsed_ms ms, more than tmout_ms + 2 s"

log=$(find log -name '*.log' | head -1)
[ -n "$log" ] || fail "no log file"
messages=$(iconv -f CP932 -t UTF-8 "$log" | tr -d '\r' | sed 's/^[^,]*,//')
echo "$messages"
[ "$(echo "$messages" | grep -c '^起動$')" -eq 2 ] || fail "start lines"
[ "$(echo "$messages" | grep -c 'スレッド生成$')" -eq 6 ] || fail "worker start lines"
[ "$(echo "$messages" | tail -2 | tr '\n' '|')" = "スレッド終了待ち|終了|" ] || fail "the log does not end with the wait"
echo "PASS"
