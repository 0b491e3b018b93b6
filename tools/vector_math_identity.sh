#!/usr/bin/env bash
# Builds and runs the identity tool of the vector exp and log: one object per
# SIMD target (baseline; AVX2+FMA and AVX-512 on x86-64) plus the driver.
# Arguments go to the tool, e.g. `--count 1e9`, `--bench`.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/identity
mkdir -p "$out"
cxx=${CXX:-g++}
src=tools/vector_math_identity.cpp
flags=(-std=c++20 -O2 -Wall -Wextra -Werror -ffp-contract=off -fno-fast-math -pthread -Isrc/simd)
objects=()
compile() {  # name, extra flags...
  local name=$1
  shift
  "$cxx" "${flags[@]}" "$@" -c "$src" -o "$out/$name.o"
  objects+=("$out/$name.o")
}
compile main -DKV_IDENTITY_MAIN
compile generic -DKV_IDENTITY_PART
if [[ $(uname -m) == x86_64 ]]; then
  compile avx2 -DKV_IDENTITY_PART -mavx2 -mfma
  compile avx512 -DKV_IDENTITY_PART -mavx512f -mavx2 -mfma
fi
"$cxx" -pthread "${objects[@]}" -o "$out/vector_math_identity"
exec "$out/vector_math_identity" "$@"
