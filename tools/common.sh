# Shared by the tools/*.sh scripts: interpreters, virtual environments, the wheel.
# shellcheck shell=bash

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENVS="$ROOT/.venv"
export PIP_DISABLE_PIP_VERSION_CHECK=1

# In CI (CI=true) compiler warnings are errors.
if [ "${CI:-}" = "true" ]; then WERROR=ON; else WERROR=${KESTROVANE_WERROR:-OFF}; fi

find_python() { "$ROOT/tools/find-python.sh" "$@"; }

# make_venv NAME PYTHON REQUIREMENT... : a virtual environment under .venv/,
# made once and reused while its interpreter and requirements stay the same.
make_venv() {
  local name=$1 python=$2
  shift 2
  local dir="$VENVS/$name" stamp
  stamp="$("$python" -c 'import sys; print(sys.version)') | $*"
  if [ ! -f "$dir/.stamp" ] || [ "$(cat "$dir/.stamp")" != "$stamp" ]; then
    rm -rf "$dir"
    "$python" -m venv "$dir" >&2
    "$dir/bin/python" -m pip install -q --upgrade pip >&2
    [ $# -eq 0 ] || "$dir/bin/python" -m pip install -q "$@" >&2
    echo "$stamp" >"$dir/.stamp"
  fi
  echo "$dir"
}

# build_wheel : builds the abi3 wheel into dist/ and prints its path.
build_wheel() {
  local python
  python=$(find_python) || exit 1
  rm -f "$ROOT"/dist/kestrovane-*.whl
  "$python" -m pip wheel -q --no-deps -w "$ROOT/dist" "$ROOT" \
    -Ccmake.define.KESTROVANE_WERROR="$WERROR" >&2
  ls "$ROOT"/dist/kestrovane-*-cp312-abi3-*.whl
}

# run_kernel_test : builds tests/kernels_test.cpp (the array kernels of every
# SIMD target against the scalar routines) in build/kernels-test and runs it.
run_kernel_test() {
  local python dir="$ROOT/build/kernels-test" bin=""
  python=$(find_python) || exit 1
  if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
    bin="$(make_venv build-tools "$python" "cmake>=3.26" ninja)/bin/"
  fi
  "${bin}cmake" -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="${bin}ninja" \
    -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$python" -DKESTROVANE_WERROR="$WERROR" \
    >/dev/null
  "${bin}cmake" --build "$dir" --target kernels_test >/dev/null
  "$dir/kernels_test"
}
