#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer for
# CPython and runs the tests under them (leak detection off: the interpreter
# itself keeps memory until exit).
set -euo pipefail
cd "$(dirname "$0")/.."
venv=.venv-sanitizers
[[ -x "$venv/bin/python" ]] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" "pytest>=7" 2>&1 \
    | grep -v "^WARNING: Location" || true
flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --force-reinstall --no-deps \
    -Cbuild-dir=build/sanitizers "-Ccmake.define.CMAKE_CXX_FLAGS=$flags" \
    "-Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=-fsanitize=address,undefined" . 2>&1 \
    | grep -v "^WARNING: Location" || true
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" ASAN_OPTIONS=detect_leaks=0 \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
