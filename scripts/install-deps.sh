#!/usr/bin/env bash
# Installs what building and testing Vornfeed needs on Debian 12, as root.
# Idempotent: packages already present are not fetched again.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config git clang-format clang libclang-rt-dev
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    wine64 xvfb xauth x11-utils xdotool imagemagick
    libssl-dev openssl googletest libgtest-dev libgmock-dev libbenchmark-dev
    iproute2 util-linux dpkg-dev zip unzip locales
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "==> Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
else
    echo "==> System packages present"
fi

# Wine gives files their host names through the host's locale: without
# ja_JP.UTF-8, a program in code page 932 cannot make a file with a Japanese
# name.
if ! locale -a 2>/dev/null | grep -qx 'ja_JP.utf8'; then
    echo "==> Generating the ja_JP.UTF-8 locale"
    sed -i 's/^# *ja_JP.UTF-8 UTF-8/ja_JP.UTF-8 UTF-8/' /etc/locale.gen
    grep -qx 'ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' >>/etc/locale.gen
    locale-gen
fi
