#!/usr/bin/env bash
# Runs the test suite against an AddressSanitizer + UndefinedBehaviorSanitizer
# build of the module, with the sanitizer runtime preloaded into the interpreter.
# This build's array loops use the baseline (SSE2) kernel, so that CI runs the
# suite over both kernels: the regular build takes the AVX2 one where it can.
set -euo pipefail
source "$(dirname "$0")/common.sh"

python=$(find_python 3.12) || exit 1
venv=$(make_venv asan "$python" "numpy>=2,<3" pytest hypothesis scikit-build-core "cmake>=3.26" ninja)
"$venv/bin/python" -m pip install -q --force-reinstall --no-deps --no-build-isolation "$ROOT" \
  -Cbuild-dir="$ROOT/build/asan" -Ccmake.build-type=RelWithDebInfo \
  -Ccmake.define.KESTROVANE_SANITIZE=ON -Ccmake.define.KESTROVANE_BASELINE_KERNEL=ON \
  -Ccmake.define.KESTROVANE_WERROR="$WERROR"

libasan=$(g++ -print-file-name=libasan.so)
# The interpreter itself keeps memory until exit by design: leak reports
# would be its, not ours. UBSan findings stop the run.
cd "$ROOT"
LD_PRELOAD="$libasan" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  KESTROVANE_SANITIZED=1 \
  "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
