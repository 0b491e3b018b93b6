#!/usr/bin/env bash
# Distribution checks: builds the sdist and, from that sdist, the wheel
# (python -m build) into a scratch directory; checks the wheel's cp312-abi3
# tag and the contents of both; audits the wheel with abi3audit --strict;
# then installs the sdist into a fresh virtual environment (compiling it
# there), imports the package, prices an option, runs the calculator and
# runs the test suite against that build.
set -euo pipefail
source "$(dirname "$0")/common.sh"

python=$(find_python 3.12) || exit 1
newest=$(find_python) || exit 1
venv=$(make_venv dist "$python" build abi3audit)
werror="cmake.define.KESTROVANE_WERROR=$WERROR"

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

echo "== python -m build (sdist, then the wheel from it)"
if ! "$venv/bin/python" -m build --outdir "$out/dist" -C"$werror" "$ROOT" >"$out/build.log" 2>&1; then
  cat "$out/build.log" >&2
  exit 1
fi
sdist=$(ls "$out"/dist/kestrovane-*.tar.gz)
wheel=$(ls "$out"/dist/kestrovane-*.whl)
echo "built $(basename "$sdist") and $(basename "$wheel")"
case "$(basename "$wheel")" in
  kestrovane-*-cp312-abi3-*.whl) ;;
  *) echo "error: the wheel is not tagged cp312-abi3" >&2; exit 1 ;;
esac

echo "== contents"
"$venv/bin/python" - "$sdist" "$wheel" <<'PY'
import sys, tarfile, zipfile

sdist, wheel = sys.argv[1:]
with tarfile.open(sdist) as tar:
    files = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
tops = {name.split("/")[0] for name in files}
problems = [f"sdist lacks {need}" for need in (
    "CMakeLists.txt", "README.md", "pyproject.toml", "src/module/module.cpp",
    "src/module/exports.map", "python/kestrovane/__init__.py", "python/kestrovane/_cli.py",
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

echo "== pip install of the sdist into a fresh $("$newest" -c 'import sys; print(f"Python {sys.version.split()[0]}")') venv"
"$newest" -m venv "$out/venv"
"$out/venv/bin/python" -m pip install -q -C"$werror" "$sdist"
cd "$out"
"$out/venv/bin/python" -c '
import kestrovane as kv
price = kv.bs_black_scholes("c", 100.0, 100.0, 1.0, 0.05, 0.2)
assert abs(price - 10.450583572185565) < 1e-12, price
print(f"kestrovane {kv.__version__} from the sdist: bs call price {price:.12f}")'
"$out/venv/bin/python" -m kestrovane >/dev/null
# That venv has no NumPy: the calculator must say so in one line, status 1.
if "$out/venv/bin/python" -m kestrovane --chain 2>"$out/err"; then
  echo "error: --chain without NumPy succeeded" >&2; exit 1
fi
[ "$(wc -l <"$out/err")" -eq 1 ] && grep -q NumPy "$out/err" || { cat "$out/err" >&2; exit 1; }

echo "== the test suite against the sdist's build"
"$out/venv/bin/python" -m pip install -q "numpy>=2,<3" pytest hypothesis
cp -r "$ROOT/tests" "$ROOT/examples" "$ROOT/python" "$ROOT/tools" "$ROOT/pyproject.toml" "$out/"
(cd "$out" && "$out/venv/bin/python" -m pytest -q -p no:cacheprovider tests)
echo "dist: sdist and cp312-abi3 wheel build, abi3audit clean, sdist installs and passes the tests"
