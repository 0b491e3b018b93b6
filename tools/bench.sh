#!/usr/bin/env bash
# Installs kestrovane with NumPy, SciPy, pandas and pyarrow into .venv/bench and runs
# the benchmarks.
set -euo pipefail
source "$(dirname "$0")/common.sh"

python=$(find_python 3.12) || exit 1
venv=$(make_venv bench "$python" "numpy>=2,<3" scipy pandas pyarrow polars)
wheel=$(the_wheel)
"$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
for script in "$ROOT"/bench/bench_*.py; do
  "$venv/bin/python" "$script"
done
