#!/usr/bin/env bash
# The whole test run: installs what is missing, builds the trees and runs
# every suite: natively under ASan+UBSan, the parsers' fuzz targets briefly,
# natively again under ThreadSanitizer, then the Windows build under Wine
# (unit suites, cross-process DDE and the end-to-end suite), then a short
# soak of the exe.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
step() { printf '\n==> %s\n' "$*"; }

step "Dependencies"
if [ "$(id -u)" -eq 0 ]; then
    scripts/install-deps.sh
else
    echo "not root: assuming the packages of scripts/install-deps.sh are installed"
fi

step "Native build (ASan + UBSan)"
scripts/build.sh native

step "Native tests"
ctest --test-dir build/native -j2 --output-on-failure

step "Parsers: the fuzz targets replay their seeds, then fuzz 5 s each (scripts/fuzz.sh for longer)"
scripts/fuzz.sh --seconds 5

step "Native build (ThreadSanitizer)"
scripts/build.sh tsan

step "Native tests under ThreadSanitizer (the first report fails its case)"
ctest --test-dir build/tsan -j2 --output-on-failure

step "Windows build (mingw-w64, OpenSSL from the cache)"
scripts/build.sh win64

step "Windows tests under Wine"
ctest --test-dir build/win64 -j2 --output-on-failure

step "Soak: 3 minutes under Wine against a misbehaving exchange, resources sampled (scripts/soak.sh)"
scripts/soak.sh --minutes 3

step "Release package (its exe must be the one the end-to-end suite ran)"
scripts/package.sh build/win64 --tested build/win64/e2e-passed

step "All suites passed"
