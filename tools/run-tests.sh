#!/usr/bin/env bash
# Builds the package for CPython and PyPy and runs the test suite on each.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup-env.sh all
status=0
for interpreter in cpython pypy; do
    echo "==== tests on $interpreter ($(.venv-$interpreter/bin/python -c 'import sys; print(sys.version.split()[0], sys.implementation.name)'))"
    .venv-$interpreter/bin/python -m pytest -q "$@" || status=$?
done
exit $status
