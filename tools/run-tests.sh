#!/usr/bin/env bash
# Builds one wheel and runs the whole test suite against it twice, each in its
# own virtual environment: NumPy 1.26 on Python 3.12, and NumPy 2.x (with
# dask) on the newest Python found (3.13 where installed); first it builds and
# runs the kernel test (every SIMD target's array kernels against the scalar
# routines). Extra arguments go to pytest.
set -euo pipefail
source "$(dirname "$0")/common.sh"

py312=$(find_python 3.12) || exit 1
newest=$(find_python) || exit 1
wheel=$(the_wheel)
echo "built $(basename "$wheel")"

status=0
run_kernel_test || status=1

run_line() {  # NAME PYTHON "REQUIREMENTS" PYTEST-ARGS...
  local venv reqs
  read -ra reqs <<<"$3"
  venv=$(make_venv "$1" "$2" "${reqs[@]}" pytest hypothesis)
  "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"
  echo "== $("$venv/bin/python" -c 'import sys, numpy; print(f"Python {sys.version.split()[0]}, NumPy {numpy.__version__}")')"
  (cd "$ROOT" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "${@:4}") || status=1
}
run_line numpy1 "$py312" "numpy==1.26.*" "$@"
# dask (for the scale-out tests) only on one line: the array functions are
# the same, and it keeps the other environment small.
run_line numpy2 "$newest" "numpy>=2,<3 dask[array,distributed] pandas pyarrow polars" "$@"
exit $status
