#!/usr/bin/env bash
# Builds the package and drives the simulated application through the whole
# workflow (examples/main_job.py).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup-env.sh cpython
exec .venv-cpython/bin/python examples/main_job.py "$@"
