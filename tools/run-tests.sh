#!/usr/bin/env bash
# Builds the package for CPython and PyPy and runs the test suite on each,
# then on the oldest and the newest other CPython this machine has (3.8
# first of all: PyPy 3.8 offers the C API of 3.8), saying so when none is.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup-env.sh all

# A working interpreter for CPython 3.<minor>, or nothing.
find_cpython() {
    local candidate
    for candidate in "$(command -v "python3.$1" 2>/dev/null || true)" "/usr/bin/python3.$1" \
        "/usr/local/bin/python3.$1" "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3."$1".*/bin/python3."$1"; do
        if [[ -n "$candidate" && -x "$candidate" ]] && "$candidate" -c "import sys" >/dev/null 2>&1; then
            echo "$candidate"
            return
        fi
    done
}

main_minor="$(python3 -c 'import sys; print(sys.version_info[1])')"
others=()
oldest="" newest=""
for minor in $(seq 8 15); do
    [[ "$minor" == "$main_minor" ]] && continue
    if [[ -n "$(find_cpython "$minor")" ]]; then
        [[ -z "$oldest" ]] && oldest="$minor"
        newest="$minor"
    fi
done
[[ "$oldest" == 8 ]] || echo "==== CPython 3.8 is not on this machine: its build and tests are skipped"
for minor in $oldest $newest; do
    [[ " ${others[*]-} " == *" $minor "* ]] || others+=("$minor")
done
if ((${#others[@]} == 0)); then echo "==== no CPython beside 3.$main_minor on this machine: only it and PyPy are tested"; fi
for minor in "${others[@]}"; do
    tools/setup-env.sh other "cpython3.$minor" "$(find_cpython "$minor")"
done

# PyPy before 7.3.16 can crash in its incremental GC while pytest compiles a
# rewritten test module (pytest issue 11168, fixed in PyPy 7.3.16): there the
# tests run with plain asserts, which compile nothing but the modules.
old_pypy='import sys; sys.exit(not (hasattr(sys, "pypy_version_info") and sys.pypy_version_info < (7, 3, 16)))'

status=0
for interpreter in cpython pypy "${others[@]/#/cpython3.}"; do
    echo "==== tests on $interpreter ($(.venv-$interpreter/bin/python -c 'import sys; print(sys.version.split()[0], sys.implementation.name)'))"
    options=()
    if .venv-$interpreter/bin/python -c "$old_pypy"; then options+=(--assert=plain); fi
    .venv-$interpreter/bin/python -m pytest -q ${options[@]+"${options[@]}"} "$@" || status=$?
done
exit $status
