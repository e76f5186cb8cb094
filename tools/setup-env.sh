#!/usr/bin/env bash
# Prepares a fresh machine: Debian's PyPy, one virtual environment per
# interpreter, and the package built and installed into each.
#   tools/setup-env.sh [cpython|pypy|all]
set -euo pipefail
cd "$(dirname "$0")/.."
which_ones="${1:-all}"

need_apt=()
if [[ "$which_ones" != cpython ]]; then
    for package in pypy3 pypy3-dev pypy3-venv; do
        dpkg -s "$package" >/dev/null 2>&1 || need_apt+=("$package")
    done
fi
if ! python3 -c "import venv, ensurepip" >/dev/null 2>&1; then need_apt+=(python3-venv); fi
if ((${#need_apt[@]})); then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

prepare() {   # name interpreter
    local venv=".venv-$1"
    if [[ ! -x "$venv/bin/python" ]]; then
        "$2" -m venv "$venv"
    fi
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >/dev/null 2>&1 || true
    "$venv/bin/python" -m pip install -q --disable-pip-version-check \
        "scikit-build-core>=0.10" "pytest>=7" 2>&1 | grep -v "^WARNING: Location" || true
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --force-reinstall \
        --no-deps . 2>&1 | grep -v "^WARNING: Location" || true
    "$venv/bin/python" -c "import sys; sys.path.insert(0, 'sim'); import dralvex_computer" \
        || { echo "the package did not install into $venv" >&2; exit 1; }
}

case "$which_ones" in
    cpython) prepare cpython python3 ;;
    pypy) prepare pypy pypy3 ;;
    all) prepare cpython python3; prepare pypy pypy3 ;;
    *) echo "usage: $0 [cpython|pypy|all]" >&2; exit 2 ;;
esac
