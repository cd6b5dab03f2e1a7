#!/usr/bin/env bash
# Configures and builds one tree: "native" (Linux, ASan+UBSan, fast tests),
# "tsan" (Linux, ThreadSanitizer, the threaded suites) or "win64" (mingw-w64,
# the shipped exe; tests run under Wine).
#   VORNFEED_BUILD_DIR  build folder (default build/<kind>)
#   VORNFEED_TARGETS    build only these targets (default all)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
kind="${1:-native}"
shift || true
cache="${VORNFEED_CACHE:-/var/cache/vornfeed}"
dir="${VORNFEED_BUILD_DIR:-$root/build/$kind}"
targets=()
for t in ${VORNFEED_TARGETS:-}; do targets+=(--target "$t"); done
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

case "$kind" in
native)
    cmake -S "$root" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug -DVORNFEED_SANITIZE=ON "$@" >/dev/null
    cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
    ;;
tsan)
    cmake -S "$root" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Debug -DVORNFEED_TSAN=ON "$@" >/dev/null
    cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
    ;;
win64)
    openssl_prefix=$("$root/scripts/build-openssl-mingw.sh")
    "$root/scripts/wine-prefix.sh"
    # FindOpenSSL keeps the libraries it found in the cache: a new build of
    # OpenSSL must replace them, not sit beside them unused.
    cmake -S "$root" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
        -U 'OPENSSL_*' -U 'LIB_EAY*' -U 'SSL_EAY*' -DOPENSSL_ROOT_DIR="$openssl_prefix" "$@" >/dev/null
    cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
    ;;
*)
    echo "usage: scripts/build.sh native|tsan|win64 [cmake options]" >&2
    exit 2
    ;;
esac
