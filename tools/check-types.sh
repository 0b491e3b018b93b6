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

# Model and quantity names are Literal types: each call below must be an error.
cat >"$work/typos.py" <<'PY'
import kestrovane as kv
kv.greeks("bms", flag="c", S=100.0, K=100.0, t=1.0, r=0.05, sigma=0.2)
kv.greeks("bs", flag="c", S=100.0, K=100.0, t=1.0, r=0.05, sigma=0.2, quantities=["Delta"])
kv.implied_volatility("black67", price=1.0, F=100.0, K=100.0, t=1.0, r=0.05, flag="c")
PY
typos=$("$venv/bin/python" -m mypy --strict "$work/typos.py" || true)
for line in 2 3 4; do
  if ! grep -q "typos.py:$line: error" <<<"$typos"; then
    echo "mypy let the name typo on line $line through:"
    echo "$typos"
    exit 1
  fi
done
echo "types: stub up to date, mypy --strict and stubtest pass, name typos caught"
