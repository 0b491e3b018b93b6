#!/usr/bin/env bash
# Builds and installs kestrovane into .venv/demo and prices a few options.
set -euo pipefail
source "$(dirname "$0")/common.sh"

python=$(find_python) || exit 1
venv=$(make_venv demo "$python" numpy)
wheel=$(build_wheel)
"$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
"$venv/bin/python" "$ROOT/examples/demo.py"
