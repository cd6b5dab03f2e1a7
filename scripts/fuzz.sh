#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan, build/fuzz) and runs each
# for N seconds (default 30), starting from the seeds in fuzz/corpus/<target>
# and the corpus earlier runs grew in build/fuzz/corpus/<target>.
# Prints one line per target; exits non-zero when any target crashed or
# broke an invariant, with the input saved under build/fuzz/crashes/.
#   VORNFEED_FUZZ_BUILD_DIR  build folder (default build/fuzz)
#   VORNFEED_FUZZ_TARGETS    run only these targets (default all)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=30
while [ $# -gt 0 ]; do
    case "$1" in
    --seconds)
        seconds="${2:?--seconds needs a number}"
        shift 2
        ;;
    *)
        echo "usage: scripts/fuzz.sh [--seconds N]" >&2
        exit 2
        ;;
    esac
done

if ! command -v clang++ >/dev/null || ! clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a | grep -q /; then
    if [ "$(id -u)" -eq 0 ]; then
        "$root/scripts/install-deps.sh"
    else
        echo "fuzz: clang and its libFuzzer runtime are missing (scripts/install-deps.sh as root)" >&2
        exit 2
    fi
fi

dir="${VORNFEED_FUZZ_BUILD_DIR:-$root/build/fuzz}"
all_targets=(fuzz_lookup_item_value fuzz_item_value fuzz_http_response fuzz_websocket_reader fuzz_header_value
    fuzz_ini)
read -r -a targets <<<"${VORNFEED_FUZZ_TARGETS:-${all_targets[*]}}"
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

# Tests and tools stay out: only the product libraries the targets link are
# built with clang.
CC=clang CXX=clang++ cmake -S "$root" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVORNFEED_SANITIZE=ON -DVORNFEED_FUZZ=ON -DVORNFEED_TESTS=OFF >/dev/null
build_targets=()
for t in "${targets[@]}"; do build_targets+=(--target "$t"); done
if ! nice cmake --build "$dir" -j"$(nproc)" "${build_targets[@]}" >"$dir/build.log" 2>&1; then
    tail -n 30 "$dir/build.log" >&2
    echo "fuzz: the build failed (log: $dir/build.log)" >&2
    exit 2
fi

mkdir -p "$dir/crashes"
failed=0
for t in "${targets[@]}"; do
    corpus="$dir/corpus/$t"
    work="$dir/work/$t"
    rm -rf "$work"
    mkdir -p "$corpus" "$work"
    # Log lines (the INI target's unusable values) are dropped: "log" is no folder.
    echo "not a folder" >"$work/log"
    before=$(find "$dir/crashes" -name "$t-*" | wc -l)
    # The first corpus folder takes the new inputs; the seeds stay as they are.
    status=0
    (cd "$work" && nice "$dir/fuzz/$t" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$dir/crashes/$t-" "$corpus" "$root/fuzz/corpus/$t" >"$work/fuzz.log" 2>&1) || status=$?
    crashes=$(($(find "$dir/crashes" -name "$t-*" | wc -l) - before))
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/fuzz.log" | tail -n1)
    coverage=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$work/fuzz.log" | tail -n1 || true)
    printf '%-24s %10s executions  %s  crashes: %d\n' "$t" "${executions:-0}" "${coverage:-cov: ?}" "$crashes"
    if [ "$status" -ne 0 ] || [ "$crashes" -gt 0 ]; then
        failed=1
        { grep -E '^==(invariant|[0-9]+)==|^SUMMARY' "$work/fuzz.log" || true; } | head -n 5 | sed 's/^/    /'
        echo "    log: $work/fuzz.log"
        echo "    input: $(ls -t "$dir/crashes/$t-"* 2>/dev/null | head -n1)"
    fi
done
exit "$failed"
