#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang (ASan + UBSan + libFuzzer)
# and runs each for a fixed time, printing the number of executions.
#
# Usage: tools/fuzz.sh [SECONDS] [TARGET...]
#   SECONDS  run time per target (default 60)
#   TARGET   heat_kernel_fuzz, field_kernel_fuzz (the optimised kernel on
#            every instruction set the machine has against the reference),
#            query_anchor_fuzz, or query_to_k (the Python-level fuzz, fuzz/query_to_k_fuzz.py,
#            run with .venv/bin/python against the installed package);
#            default: the three C++ targets
# Environment: CXX (default clang++), PYTHON (default .venv/bin/python).
# Seeds come from fuzz/corpus/<target>/; the growing corpus is kept in
# build/fuzz/corpus/<target>/ and crash inputs in build/fuzz/artifacts/.
# Needs clang with the compiler-rt fuzzer runtime (Debian: clang-14
# libclang-rt-14-dev).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(heat_kernel_fuzz field_kernel_fuzz query_anchor_fuzz)
build="$root/build/fuzz"

needs_cxx=0
for t in "${targets[@]}"; do [ "$t" = query_to_k ] || needs_cxx=1; done
if [ "$needs_cxx" = 1 ]; then
    CXX="${CXX:-clang++}" cmake -S "$root/fuzz" -B "$build" -G Ninja >/dev/null
    cmake --build "$build"
fi

for t in "${targets[@]}"; do
    echo "== $t: ${seconds}s"
    if [ "$t" = query_to_k ]; then
        (cd /tmp && "${PYTHON:-$root/.venv/bin/python}" "$root/fuzz/query_to_k_fuzz.py" "$seconds")
        continue
    fi
    seeds="$root/fuzz/corpus/$t"
    corpus="$build/corpus/$t"
    mkdir -p "$corpus" "$build/artifacts"
    log="$build/$t.log"
    status=0
    "$build/$t" "$corpus" "$seeds" -max_total_time="$seconds" \
        -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" >"$log" 2>&1 || status=$?
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$log" || true
    if [ "$status" != 0 ]; then
        echo "$t FAILED (exit $status); see $log" >&2
        tail -n 30 "$log" >&2
        exit "$status"
    fi
    echo "$t: no findings (log: $log)"
done
