#!/usr/bin/env bash
# Runs the core tests under valgrind's memcheck against the regular (release)
# build, to catch invalid reads and writes that the sanitizer build might not
# see (valgrind checks the real optimised module and NumPy together):
#   tools/run-valgrind.sh                    # tests/test_models.py tests/test_arrays.py
#   tools/run-valgrind.sh tests/test_faults.py -k buffer
# Python objects are allocated with plain malloc so memcheck sees them; leaks
# are not errors (the interpreter keeps memory until exit by design). Exits 1
# on any memcheck error. Too slow for CI (about three minutes). tools/valgrind.supp
# silences one glibc vector read in CPython's own string comparison.
# KESTROVANE_PYTHON=/path/to/python uses an interpreter that already has the
# package installed instead of building a wheel into .venv/valgrind.
set -euo pipefail
source "$(dirname "$0")/common.sh"

command -v valgrind >/dev/null || { echo "run-valgrind: valgrind not installed" >&2; exit 1; }
if [ -n "${KESTROVANE_PYTHON:-}" ]; then
  python=$KESTROVANE_PYTHON
else
  venv=$(make_venv valgrind "$(find_python 3.12)" "numpy>=2,<3" pytest hypothesis)
  "$venv/bin/python" -m pip install -q --force-reinstall --no-deps "$(build_wheel)"
  python="$venv/bin/python"
fi
[ $# -gt 0 ] || set -- tests/test_models.py tests/test_arrays.py

cd "$ROOT"
log="$ROOT/build/valgrind.log"
mkdir -p "$ROOT/build"
status=0
PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=1 --errors-for-leak-kinds=none \
  --suppressions="$ROOT/tools/valgrind.supp" --leak-check=no --track-origins=yes --num-callers=30 --log-file="$log" \
  "$python" -m pytest -q -p no:cacheprovider -x "$@" || status=$?
grep -E "ERROR SUMMARY|Invalid|uninitialised|_kestrovane" "$log" | sort | uniq -c | sort -rn | head -20
echo "run-valgrind: full report in $log"
exit $status
