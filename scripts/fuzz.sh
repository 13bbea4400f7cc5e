#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a bounded time, starting from the
# committed seed corpus. New inputs go to <build>/fuzz-corpus/<target> (the committed
# corpus is only read); crashes to <build>/fuzz-artifacts/<target>/.
#
#   scripts/fuzz.sh BUILD_DIR [SECONDS_PER_TARGET]
set -euo pipefail

build=${1:?usage: scripts/fuzz.sh BUILD_DIR [SECONDS_PER_TARGET]}
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
summary=()
for seeds in "$root"/fuzz/corpus/*/; do
    name=$(basename "$seeds")
    program="$build/bin/${name}_fuzz"
    if [ ! -x "$program" ]; then
        echo "fuzz: $program is missing (build the nuvix_fuzzers target)" >&2
        failed+=("$name")
        continue
    fi
    work="$build/fuzz-corpus/$name"
    artifacts="$build/fuzz-artifacts/$name/"
    mkdir -p "$work" "$artifacts"
    dict_args=()
    [ -f "$root/fuzz/dict/$name.dict" ] && dict_args=(-dict="$root/fuzz/dict/$name.dict")
    log="$build/fuzz-$name.log"
    echo "fuzz: $name for ${seconds}s"
    if "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
        -print_final_stats=1 -artifact_prefix="$artifacts" "${dict_args[@]}" \
        "$work" "$seeds" >"$log" 2>&1; then
        runs=$(grep -m1 'stat::number_of_executed_units' "$log" | awk '{print $2}')
        cov=$(grep -Eo 'cov: [0-9]+' "$log" | tail -1 | awk '{print $2}')
        summary+=("$name: ${runs:-?} runs, coverage ${cov:-?} edges, corpus $(ls "$work" | wc -l) inputs")
    else
        failed+=("$name")
        summary+=("$name: FAILED (see $log)")
        grep -E 'ERROR|fuzz check failed|SUMMARY' "$log" | head -5 >&2 || true
    fi
done

echo
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz: failed: ${failed[*]}" >&2
    exit 1
fi
echo "fuzz: all targets clean"
