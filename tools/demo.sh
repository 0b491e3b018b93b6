#!/usr/bin/env bash
# Builds and installs kestrovane into .venv/demo and runs the calculator,
# `python -m kestrovane`: a default table, an implied-volatility solve and a
# strike chain.
set -euo pipefail
source "$(dirname "$0")/common.sh"

python=$(find_python) || exit 1
venv=$(make_venv demo "$python" numpy)
wheel=$(the_wheel)
"$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"

run() {
  echo "\$ python -m kestrovane $*"
  "$venv/bin/python" -m kestrovane "$@"
  echo
}
run
run black76 put -F 100 -K 95 -t 0.75 -r 0.03 --price 6.0022
run bsm call -S 100 -t 0.5 -r 0.03 -q 0.02 --sigma 0.25 --chain --strikes 7
