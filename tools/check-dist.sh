#!/usr/bin/env bash
# Distribution checks: builds the sdist into a scratch directory; checks the
# contents of the sdist and of the one wheel of this run (dist/, built if
# missing), its cp312-abi3 manylinux tag, abi3audit --strict; then installs
# that wheel into a fresh virtual environment on the newest Python, imports
# the package, prices an option, runs the calculator and runs part of the
# test suite against it.
set -euo pipefail
source "$(dirname "$0")/common.sh"

python=$(find_python 3.12) || exit 1
newest=$(find_python) || exit 1
venv=$(make_venv dist "$python" abi3audit)
build=$(build_tools)

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

wheel=$(the_wheel)
echo "== python -m build --sdist --no-isolation (the build backend of the wheel's build)"
if ! "$build/bin/python" -m build --sdist --no-isolation --outdir "$out/dist" "$ROOT" \
    >"$out/build.log" 2>&1; then
  cat "$out/build.log" >&2
  exit 1
fi
sdist=$(ls "$out"/dist/kestrovane-*.tar.gz)
echo "built $(basename "$sdist"); the wheel is $(basename "$wheel")"
case "$(basename "$wheel")" in
  kestrovane-*-cp312-abi3-manylinux_*.whl) ;;
  *) echo "error: the wheel is not tagged cp312-abi3 manylinux" >&2; exit 1 ;;
esac

echo "== contents"
"$venv/bin/python" - "$sdist" "$wheel" <<'PY'
import sys, tarfile, zipfile

sdist, wheel = sys.argv[1:]
with tarfile.open(sdist) as tar:
    files = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
tops = {name.split("/")[0] for name in files}
problems = [f"sdist lacks {need}" for need in (
    "CMakeLists.txt", "README.md", "pyproject.toml", "src/ext_kestrovane/module.cpp",
    "src/ext_kestrovane/exports.map", "python/kestrovane/__init__.py", "python/kestrovane/_cli.py",
    "python/kestrovane/_kestrovane.pyi", "python/kestrovane/py.typed", "tools/common.sh")
    if need not in files]
problems += [f"sdist contains {top}/" for top in sorted(tops & {".venv", "build", "dist", ".git"})]
with zipfile.ZipFile(wheel) as whl:
    members = set(whl.namelist())
problems += [f"wheel lacks {need}" for need in (
    "kestrovane/__init__.py", "kestrovane/__main__.py", "kestrovane/_cli.py",
    "kestrovane/_kestrovane.pyi", "kestrovane/py.typed", "kestrovane/_kestrovane.abi3.so",
    "kestrovane/_book.pyi", "kestrovane/_book.abi3.so")
    if need not in members]
for problem in problems:
    print(f"error: {problem}", file=sys.stderr)
if problems:
    sys.exit(1)
print(f"sdist: {len(files)} files; wheel: {', '.join(sorted(members))}")
PY

echo "== abi3audit --strict"
"$venv/bin/abi3audit" --strict --summary "$wheel"

echo "== pip install of the wheel into a fresh $("$newest" -c 'import sys; print(f"Python {sys.version.split()[0]}")') venv"
"$newest" -m venv "$out/venv"
"$out/venv/bin/python" -m pip install -q "$wheel"
cd "$out"
"$out/venv/bin/python" -c '
import kestrovane as kv
price = kv.bs_black_scholes("c", 100.0, 100.0, 1.0, 0.05, 0.2)
assert abs(price - 10.450583572185565) < 1e-12, price
print(f"kestrovane {kv.__version__} from the wheel: bs call price {price:.12f}")'
"$out/venv/bin/python" -m kestrovane >/dev/null
# That venv has no NumPy: the calculator must say so in one line, status 1.
if "$out/venv/bin/python" -m kestrovane --chain 2>"$out/err"; then
  echo "error: --chain without NumPy succeeded" >&2; exit 1
fi
[ "$(wc -l <"$out/err")" -eq 1 ] && grep -q NumPy "$out/err" || { cat "$out/err" >&2; exit 1; }

# The whole suite already ran against this wheel on both NumPy lines; here a
# part of it checks the installed layout outside the source tree: reference
# values, the stubs, the models and the array and book entry points.
echo "== tests against the installed wheel, outside the source tree"
"$out/venv/bin/python" -m pip install -q -c "$CONSTRAINTS" "numpy>=2,<3" pytest hypothesis
cp -r "$ROOT/tests" "$ROOT/examples" "$ROOT/python" "$ROOT/tools" "$ROOT/pyproject.toml" "$out/"
(cd "$out" && "$out/venv/bin/python" -m pytest -q -p no:cacheprovider tests/test_reference.py \
  tests/test_stubs.py tests/test_models.py tests/test_arrays.py tests/test_book.py)
echo "dist: sdist complete; manylinux cp312-abi3 wheel abi3audit clean, installs fresh and passes its tests"
