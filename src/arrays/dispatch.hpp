#pragma once

// The SIMD targets the array kernels are built for, the kernel tables each
// target's unit exports, and the one choice among them per process.
//
// A kernel family (the array kernels here) is one source compiled once per
// target (kernels.cpp); each compilation defines the family's table in its
// target's namespace (kv::baseline::kArrayKernels, kv::avx2::kArrayKernels,
// ...). Only dispatch.cpp, a baseline unit, names the tables of other targets.

#include <cstddef>

#include "../models/option_kind.hpp"
#include "../models/target.hpp"
#include "../module/function_list.hpp"

// Every target built into the module, as X(namespace, enumerator). The x86
// targets are built only where CMake compiles their units (KV_X86_TARGETS).
#ifdef KV_X86_TARGETS
#define KV_FOR_EACH_TARGET(X) X(baseline, Baseline) X(avx2, Avx2) X(avx512, Avx512)
#else
#define KV_FOR_EACH_TARGET(X) X(baseline, Baseline)
#endif

namespace kv {

#define KV_TARGET_ENUMERATOR(ns, Enum) Enum,
enum class Target : unsigned char { KV_FOR_EACH_TARGET(KV_TARGET_ENUMERATOR) };
#undef KV_TARGET_ENUMERATOR

// baseline: the x86-64 baseline (SSE2, two lanes) or, off x86, the portable
// kernel; avx2: AVX2 and FMA, four lanes; avx512: AVX-512 F and DQ, eight.
const char* TargetName(Target target);

// Whether this processor (and its operating system) runs the target's code.
bool TargetRuns(Target target);

// The target whose kernels the array functions use, chosen once per process.
Target ActiveTarget();

// The kernel of one array function: out[e] = the function's routine on the
// e-th element of each array and the shared numbers, for e in [0, n).
// shared is indexed by parameter position (slots that are not single numbers
// are unused); arrays holds the array parameters' data in parameter order,
// read where it lies (it need not be 8-byte aligned). Every NaN in out is the
// default quiet NaN, and an implied volatility whose solve fails is NaN.
using ArrayKernel = void (*)(OptionKind kind, const double* shared, const char* const* arrays,
                             double* out, std::ptrdiff_t n);

// The kernel table of a target the processor runs, indexed by ArrayRow.
const ArrayKernel* ArrayKernelsFor(Target target);

// The kernel table of ActiveTarget().
const ArrayKernel* ActiveArrayKernels();

}  // namespace kv

KV_TARGET_BEGIN
// Defined by this target's compilation of kernels.cpp.
extern const ArrayKernel kArrayKernels[kArrayRows];
KV_TARGET_END
