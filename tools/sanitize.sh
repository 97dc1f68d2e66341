#!/usr/bin/env bash
# Builds the kernel tests and both Python extension modules with
# AddressSanitizer + UndefinedBehaviorSanitizer, then runs CTest and the
# whole pytest suite under them.
#
# Usage: tools/sanitize.sh [kernels|python|all]   (default: all)
#   kernels  build/asan: kernel tests (GoogleTest) with ASan+UBSan, run by CTest
#   python   build/asan-venv: a separate venv (Python 3.13, as ./dev finds it)
#            with the package built by scikit-build-core into build/asan-wheel
#            with ASan+UBSan, then pytest run from tests/ with the ASan
#            runtime preloaded into the (uninstrumented) interpreter
# Environment: PYTHON=/path/to/python3 (3.13 or newer) picks the interpreter.
# Leak checking is off under Python (CPython and NumPy keep memory at exit);
# any ASan report or UBSan diagnostic fails the run.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
what="${1:-all}"
san_flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"

# shellcheck source=find_python.sh
source "$root/tools/find_python.sh"

run_kernels() {
    cmake -S . -B build/asan -G Ninja -DTAVRO_BUILD_PYTHON=OFF -DTAVRO_BUILD_KERNEL_TESTS=ON \
        -DCMAKE_CXX_FLAGS="$san_flags"
    cmake --build build/asan
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir build/asan --output-on-failure -j "$(nproc)"
}

run_python() {
    local venv=build/asan-venv
    [ -x "$venv/bin/python" ] || "$(find_python)" -m venv "$venv"
    local py="$venv/bin/python"
    "$py" -m pip install --quiet --disable-pip-version-check \
        "scikit-build-core>=0.11" "numpy>=2.0" "cmake>=3.18" ninja "pytest>=8" hypothesis scipy mypy \
        matplotlib pyevtk tqdm
    "$py" -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps \
        -Cbuild-dir=build/asan-wheel "-Ccmake.define.CMAKE_CXX_FLAGS=$san_flags" .
    # The interpreter is not instrumented, so the ASan runtime is preloaded.
    # libstdc++ is preloaded too: ASan's __cxa_throw interceptor must find it
    # at start-up, or the first C++ exception thrown by a later-loaded
    # extension (matplotlib's, for one) trips an ASan CHECK.
    local preload
    preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
    (cd tests && LD_PRELOAD="$preload" \
        ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "../$py" -m pytest -q -rs -p no:cacheprovider)
}

case "$what" in
    kernels) run_kernels ;;
    python) run_python ;;
    all) run_kernels; run_python ;;
    *) sed -n '2,15p' "$0"; exit 2 ;;
esac
