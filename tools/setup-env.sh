#!/usr/bin/env bash
# Prepares a machine, from a bare Debian with only python3 on: the compiler,
# the Python headers and Debian's PyPy (apt), one virtual environment per
# interpreter with the build tools (CMake, Ninja, scikit-build-core) and
# pytest, and the package built and installed into each.
#   tools/setup-env.sh [cpython|pypy|all]
#   tools/setup-env.sh other NAME INTERPRETER   (.venv-NAME with that interpreter)
# Each step stops the script with its own message when it fails.
set -euo pipefail
cd "$(dirname "$0")/.."
which_ones="${1:-all}"
case "$which_ones" in
    cpython | pypy | all) ;;
    other) [[ $# -eq 3 ]] || { echo "usage: $0 other NAME INTERPRETER" >&2; exit 2; } ;;
    *) echo "usage: $0 [cpython|pypy|all] | other NAME INTERPRETER" >&2; exit 2 ;;
esac

current_step=""
trap 'echo "setup-env: failed: ${current_step:-(start)}" >&2' ERR
step() { current_step="$*"; echo "setup-env: $*"; }

# ------------------------------------------------------------ Debian packages
step "checking which Debian packages are missing"
need_apt=()
missing_package() { ! dpkg -s "$1" >/dev/null 2>&1; }
if ! command -v g++ >/dev/null 2>&1; then need_apt+=(g++); fi
if ! command -v python3 >/dev/null 2>&1; then need_apt+=(python3); fi
if [[ "$which_ones" == cpython || "$which_ones" == all ]]; then
    if ! python3 -c "import venv, ensurepip" >/dev/null 2>&1; then need_apt+=(python3-venv); fi
    if ! python3 -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' >/dev/null 2>&1; then
        need_apt+=(python3-dev)
    fi
fi
if [[ "$which_ones" == all ]]; then
    # the morning summary's test loads the page in headless Chromium
    if ! command -v chromium >/dev/null 2>&1; then need_apt+=(chromium); fi
fi
if [[ "$which_ones" == pypy || "$which_ones" == all ]]; then
    for package in pypy3 pypy3-dev pypy3-venv; do
        if missing_package "$package"; then need_apt+=("$package"); fi
    done
fi
if ((${#need_apt[@]})); then
    if [[ $(id -u) -ne 0 ]]; then
        echo "setup-env: as root, run: apt-get install ${need_apt[*]}" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    step "apt-get update"
    apt-get update -qq
    step "apt-get install ${need_apt[*]}"
    echo "setup-env: installing ${need_apt[*]} (apt)"
    apt-get install -y -qq --no-install-recommends "${need_apt[@]}" >/dev/null
fi

# ------------------------------------------------------------------- pip
# shellcheck source=tools/pip-in.sh
source tools/pip-in.sh

prepare() {   # name interpreter
    local venv=".venv-$1"
    if [[ ! -x "$venv/bin/python" ]]; then
        step "creating $venv with $2"
        "$2" -m venv "$venv"
    fi
    step "installing the build tools and pytest into $venv (pip)"
    pip_in "$venv" install -q --disable-pip-version-check -r tools/requirements-build.txt
    if [[ "$1" == cpython ]]; then
        step "installing mypy, Dask, pandas, pyarrow, scipy, scikit-learn, SALib, Optuna and DuckDB into $venv (pip), for the stub check, the Dask tests, the results table, the studies' samplers, the checks of the studies' own numerics and the strategy they are measured against, and DuckDB that the history is measured against"
        pip_in "$venv" install -q --disable-pip-version-check mypy "dask[distributed]>=2023.1" pandas pyarrow scipy \
            scikit-learn SALib optuna duckdb
    fi
    step "building and installing dralvex_computer into $venv"
    pip_in "$venv" install -q --disable-pip-version-check --no-build-isolation --force-reinstall --no-deps .
    step "importing the installed package from $venv"
    (cd "$venv" && ./bin/python -c "import sys; sys.path.insert(0, '../sim'); import dralvex_computer.dralvex_core")
}

case "$which_ones" in
    cpython) prepare cpython python3 ;;
    pypy) prepare pypy pypy3 ;;
    all) prepare cpython python3; prepare pypy pypy3 ;;
    other) prepare "$2" "$3" ;;
esac
current_step=""
