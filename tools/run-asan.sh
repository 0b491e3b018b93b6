#!/usr/bin/env bash
# Runs the test suite against an AddressSanitizer + UndefinedBehaviorSanitizer
# build of the module, with the sanitizer runtime preloaded into the interpreter.
# This build's array functions use the baseline (SSE2) kernel, so that CI runs
# the suite over two kernels: the regular build takes a wider one where it can.
# The kernel test runs too, under the sanitizers, over every kernel.
set -euo pipefail
source "$(dirname "$0")/common.sh"

python=$(find_python 3.12) || exit 1
venv=$(make_venv asan "$python" "numpy>=2,<3" pytest hypothesis scikit-build-core "cmake>=3.26" ninja)
mkdir -p "$ROOT/build"
echo "building the sanitizer build of the module ..." >&2
with_progress "$ROOT/build/asan.log" "$venv/bin/python" -m pip install -v --force-reinstall \
  --no-deps --no-build-isolation "$ROOT" -Cbuild-dir="$ROOT/build/asan" \
  -Ccmake.build-type=RelWithDebInfo -Ccmake.define.KESTROVANE_SANITIZE=ON \
  -Ccmake.define.KESTROVANE_KERNEL=baseline -Ccmake.define.KESTROVANE_WERROR="$WERROR"

"$venv/bin/cmake" --build "$ROOT/build/asan" --target kernels_test >/dev/null
ASAN_OPTIONS=abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  "$ROOT/build/asan/kernels_test"

libasan=$(g++ -print-file-name=libasan.so)
# The interpreter itself keeps memory until exit by design: leak reports
# would be its, not ours. UBSan findings stop the run.
cd "$ROOT"
LD_PRELOAD="$libasan" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  KESTROVANE_SANITIZED=1 \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
