#!/usr/bin/env bash
# Type checks: installs the wheel with NumPy 2 and mypy into .venv/types, then
#   - checks that the committed stub matches the built module (tools/gen_stubs.py --check),
#   - runs mypy --strict on examples/typed_usage.py and on the package's own Python code,
#   - runs stubtest, which compares the stubs with the module at run time.
set -euo pipefail
source "$(dirname "$0")/common.sh"

python=$(find_python 3.12) || exit 1
venv=$(make_venv types "$python" "numpy>=2,<3" mypy pandas-stubs)
wheel=$(the_wheel)
"$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheel"

# Run from a scratch directory so that mypy sees the installed package (not
# the source tree) and leaves its cache outside the repository.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export MYPY_CACHE_DIR="$work/.mypy_cache"

"$venv/bin/python" "$ROOT/tools/gen_stubs.py" --check
"$venv/bin/python" -m mypy --strict "$ROOT/examples/typed_usage.py"
"$venv/bin/python" -m mypy --strict -p kestrovane
"$venv/bin/python" -m mypy.stubtest kestrovane
echo "types: stub up to date, mypy --strict and stubtest pass"
