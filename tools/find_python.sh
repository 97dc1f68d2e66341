# Sourced by ./dev and the tools: find_python prints the path of a Python
# 3.13 or newer (as pyproject's requires-python asks), looking at $PYTHON,
# python3 and python3.1x on PATH, pyenv's versions folder and the usual
# install places; it fails with a message when there is none.
find_python() {
    local candidate
    local -a candidates=("${PYTHON:-}")
    for minor in 13 14 15 16 17 18 19; do
        candidates+=("python3.$minor"
                     "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3."$minor"*/bin/python3."$minor"
                     "/usr/local/bin/python3.$minor" "/usr/bin/python3.$minor"
                     "/opt/homebrew/bin/python3.$minor")
    done
    candidates+=(python3)
    for candidate in "${candidates[@]}"; do
        [ -n "$candidate" ] || continue
        if command -v "$candidate" >/dev/null 2>&1 &&
           "$candidate" -c 'import sys; sys.exit(sys.version_info < (3, 13))' 2>/dev/null; then
            command -v "$candidate"
            return 0
        fi
    done
    echo "no Python 3.13 or newer found (set PYTHON=/path/to/python3.13)" >&2
    return 1
}
