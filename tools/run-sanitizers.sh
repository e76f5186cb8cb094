#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer for
# CPython and runs the tests under them. Leak detection is off (the
# interpreter keeps memory until exit); any other report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup-env.sh cpython   # compiler, headers and build tools
venv=.venv-sanitizers
[[ -x "$venv/bin/python" ]] || python3 -m venv "$venv"
# shellcheck source=tools/pip-in.sh
source tools/pip-in.sh
pip_in "$venv" install -q --disable-pip-version-check -r tools/requirements-build.txt
flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all -DDRALVEX_FAULT_INJECTION"
pip_in "$venv" install -q --disable-pip-version-check --no-build-isolation --force-reinstall --no-deps \
    -Cbuild-dir=build/sanitizers "-Ccmake.define.CMAKE_CXX_FLAGS=$flags" \
    "-Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=-fsanitize=address,undefined" .
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
export DRALVEX_FAULT_INJECTION=1 DRALVEX_SANITIZERS=1
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
