#!/usr/bin/env bash
# Holds the vector log (kernels/src/vector_log) against the platform's log,
# bit for bit: twelve exhaustive ranges of 2^24 consecutive doubles and 10^9
# samples, for every vector path this CPU has; also measures the error of the
# extended result against libquadmath's logq. Not run in CI: one core, a few
# minutes.
#
# Usage: tools/log-check.sh [SAMPLES]   (default 1000000000)
# With glibc it then runs again with glibc's log chosen without FMA/AVX2
# (GLIBC_TUNABLES), so that the kept lanes are held against that variant too;
# a different reference digest shows the variant did change.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
samples="${1:-1000000000}"

cmake -S tools/log_check -B build/log-check -G Ninja >/dev/null
cmake --build build/log-check >/dev/null

echo "CPU: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')" \
     "($(grep -m1 '^flags' /proc/cpuinfo | tr ' ' '\n' | grep -xE 'avx2|fma|avx512f' | sort -u | paste -sd, -))"
libc="$(ldd --version 2>&1 || true)"
echo "C library: ${libc%%$'\n'*}"

status=0
echo "== the platform's log as selected at run time =="
time build/log-check/log_check "$samples" || status=1
if [[ "${libc,,}" == *glibc* ]]; then
    echo "== glibc's log without FMA and AVX2 (GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA) =="
    time env GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA build/log-check/log_check "$samples" ||
        status=1
fi
exit $status
