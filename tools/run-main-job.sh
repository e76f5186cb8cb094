#!/usr/bin/env bash
# Builds the package for PyPy, the main target, and drives the simulated
# application through the whole workflow (examples/main_job.py).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup-env.sh pypy
exec .venv-pypy/bin/python examples/main_job.py "$@"
