#!/usr/bin/env bash
# Fuzzes the argument boundary of all 102 functions against the AddressSanitizer
# + UBSan build for the given number of seconds (default 60):
#   tools/run-fuzz.sh [SECONDS] [fuzzer options...]
# Builds the sanitizer environment (.venv/asan) as tools/run-asan.sh does,
# unless its module is newer than every source file. Inputs are random bytes:
# under the preloaded sanitizer runtime libFuzzer gets no coverage signal, so
# atheris adds nothing there (FUZZ_ENGINE=atheris installs and uses it anyway).
# Crash inputs go to build/fuzz/. Python objects are allocated with malloc so
# that ASan sees their lifetimes too.
set -euo pipefail
source "$(dirname "$0")/common.sh"

seconds=${1:-60}
[ $# -eq 0 ] || shift

engine=${FUZZ_ENGINE:-random}
venv="$VENVS/asan"
module=$(ls "$venv"/lib/python3*/site-packages/kestrovane/_kestrovane*.so 2>/dev/null | head -1)
if [ -z "$module" ] || [ -n "$(find "$ROOT/src" "$ROOT/CMakeLists.txt" "$ROOT/pyproject.toml" \
    -newer "$module" -print -quit)" ]; then
  "$ROOT/tools/run-asan.sh" --co -q >/dev/null  # builds and installs; collects no tests
fi
if [ "$engine" != random ] && ! "$venv/bin/python" -c "import atheris" 2>/dev/null; then
  "$venv/bin/python" -m pip install -q -c "$CONSTRAINTS" atheris >&2 || engine=random
fi

mkdir -p "$ROOT/build/fuzz"
cd "$ROOT/build/fuzz"
LD_PRELOAD="$(g++ -print-file-name=libasan.so)" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  PYTHONMALLOC=malloc \
  KESTROVANE_SANITIZED=1 \
  "$venv/bin/python" "$ROOT/tools/fuzz_boundary.py" --seconds "$seconds" \
  --engine "$engine" --artifacts "$ROOT/build/fuzz" "$@"
