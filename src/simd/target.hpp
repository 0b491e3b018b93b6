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
// (flatten), kept out of line so that each is its own function.
//
// The routines they are built from are KV_INLINE (and lambdas among them
// KV_INLINE_LAMBDA): forced inline, so that the vector code of a kernel is
// one body the compiler schedules as a whole.
//
// A sanitizer build (KV_SANITIZER_BUILD) forces neither. Forced inlining of
// every routine into every composition is what made its instrumented units
// take minutes each to compile; out of line, the sanitizers check the same
// loads, stores and operations. Neither changes a value: every operation is
// rounded on its own either way (-ffp-contract=off).
#if defined(KV_SANITIZER_BUILD)
#define KV_KERNEL_ENTRY [[gnu::noinline]]
#define KV_INLINE inline
#define KV_INLINE_LAMBDA
#else
#define KV_KERNEL_ENTRY [[gnu::flatten, gnu::noinline]]
#define KV_INLINE [[gnu::always_inline]] inline
#define KV_INLINE_LAMBDA __attribute__((always_inline))
#endif
