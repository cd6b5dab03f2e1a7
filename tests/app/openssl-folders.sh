#!/usr/bin/env bash
# The folders OpenSSL was built to look in (its configuration file, default
# roots, engines, modules) stay in the exe as text. Each must be a fixed
# Windows folder that only an administrator can make: a Unix path names a
# folder on the current drive (C:\var\...), which any user may create and
# fill with roots or settings of their choosing.
set -euo pipefail
exe=$1
found=$(strings -n 6 "$exe" |
    grep -E '/(ssl|cert\.pem|certs|private|openssl\.cnf|ct_log_list\.cnf|engines-3|ossl-modules)$' || true)
[ -n "$found" ] || { echo "no OpenSSL folder named in $exe: this check looks for the wrong names" >&2; exit 1; }
bad=$(grep -v '^C:/Windows/System32/' <<<"$found" || true)
[ -z "$bad" ] || { printf 'folders that any user could create:\n%s\n' "$bad" >&2; exit 1; }
printf '%s\n' "$found"
