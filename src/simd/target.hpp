#pragma once

// The code of the model and solver headers is compiled once per SIMD target:
// by the module's own units for the baseline processor, and again by each
// kernel unit with its target's instruction-set flags (see kernels.cpp). Every
// such header places its contents between KV_TARGET_BEGIN and KV_TARGET_END,
// in an inline namespace named after the target the unit is built for, so
// that kv::NormCdf in an AVX2 unit is kv::avx2::NormCdf. The copies then
// differ in their symbol names: the linker can never merge an AVX copy of an
// inline function with the baseline copy and hand it to baseline callers.
//
// KV_TARGET is set on the compile line of a kernel unit; every other unit
// gets the baseline.

#ifndef KV_TARGET
#define KV_TARGET baseline
#endif

#define KV_TARGET_BEGIN \
  namespace kv {        \
  inline namespace KV_TARGET {
#define KV_TARGET_END \
  }                   \
  }

// The kernels' entry functions: one body each, every routine inlined into it
// (flatten), kept out of line so that each is its own function. A sanitizer
// build defines KV_KERNEL_NO_FLATTEN: the instrumented bodies take many times
// longer to compile flattened, and the sanitizers check the same operations
// either way.
#if defined(KV_KERNEL_NO_FLATTEN)
#define KV_KERNEL_ENTRY [[gnu::noinline]]
#else
#define KV_KERNEL_ENTRY [[gnu::flatten, gnu::noinline]]
#endif
