#!/usr/bin/env bash
# Builds static OpenSSL for 64-bit Windows from Debian's own source package,
# into a cache outside the clone keyed by version. Prints the install prefix.
#
# The library keeps the folders it was configured with (its configuration
# file, default trust store, engines and modules) as strings in the exe. A
# Unix path there would name a folder on the exe's current drive
# (C:\var\cache\...), which any Windows user may create and fill. So the
# build is configured for a fixed Windows folder that only an administrator
# can make, is installed into the cache through a staging folder, and never
# loads a configuration file on its own.
set -euo pipefail

cache="${VORNFEED_CACHE:-/var/cache/vornfeed}"
version=$(dpkg-query -W -f='${Version}' libssl-dev 2>/dev/null || true)
[ -n "$version" ] || { echo "libssl-dev is not installed; run scripts/install-deps.sh" >&2; exit 1; }
# The suffix names the build's configuration: a change to it builds anew.
prefix="$cache/openssl-mingw64-${version//[^A-Za-z0-9.+-]/_}-winpaths"
windows_prefix="C:/Windows/System32/vornfeed-openssl"

if [ -f "$prefix/lib64/libssl.a" ] || [ -f "$prefix/lib/libssl.a" ]; then
    echo "$prefix"
    exit 0
fi

# apt-get source needs a deb-src line for the archive the machine already uses.
if ! grep -rqs '^deb-src\|^Types:.*deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    echo "==> Adding deb-src entries for the configured Debian archive" >&2
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        sed 's/^Types: deb$/Types: deb-src/' "$f" > "${f%.sources}-src.sources"
    done
    if [ -f /etc/apt/sources.list ]; then
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list > /etc/apt/sources.list.d/vornfeed-src.list
    fi
    apt-get update -q >&2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The archive sometimes serves a version's upstream tarball but not its .dsc;
# try the installed version first, then the others the archive lists.
versions=$( { echo "$version"; apt-cache showsrc openssl | sed -n 's/^Version: //p' | sort -rV; } | awk '!seen[$0]++')
for v in $versions; do
    echo "==> Fetching Debian's openssl $v source" >&2
    rm -rf "${work:?}"/*
    (cd "$work" && apt-get source -q --download-only "openssl=$v" >&2) || true
    if ls "$work"/*.dsc >/dev/null 2>&1 && (cd "$work" && dpkg-source -x ./*.dsc src >&2); then
        break
    fi
    orig=$(ls "$work"/openssl_*.orig.tar.* 2>/dev/null | head -n 1 || true)
    if [ -n "$orig" ]; then
        mkdir "$work/src" && tar -xf "$orig" -C "$work/src" --strip-components=1
        break
    fi
done
[ -x "$work/src/Configure" ] || { echo "Could not fetch Debian's openssl source (is deb-src reachable?)" >&2; exit 1; }

echo "==> Building OpenSSL for mingw-w64 (a few minutes, once)" >&2
cd "$work/src"
# A relative --openssldir lies below the prefix; Configure takes a drive
# letter path as relative, so the prefix alone carries it.
./Configure mingw64 no-shared no-tests no-module no-engine no-autoload-config \
    --cross-compile-prefix=x86_64-w64-mingw32- \
    --prefix="$windows_prefix" --openssldir=ssl --libdir=lib >&2
make -j"$(nproc)" build_libs >&2
# DESTDIR is put before the prefix as it stands, with no separator.
make install_dev DESTDIR="$work/stage/" >&2
rm -rf "$prefix"
mv "$work/stage/$windows_prefix" "$prefix"
sed -i "s|$windows_prefix|$prefix|g" "$prefix"/lib/pkgconfig/*.pc
echo "$prefix"
