#pragma once

// The SIMD targets the kernels are built for, and the one choice among them
// per process.
//
// The kernel family (src/kernels: greeks_one.cpp, greeks_shared.cpp,
// greeks_many.cpp, iv_kernels.cpp) is compiled once per target; each
// compilation defines the family's entry points in its target's namespace
// (kv::avx2::simd_kernels::Greeks, ...). Only baseline units name the entry
// points of other targets (active.cpp), and call one only once ActiveTarget()
// has chosen it.

#include <cstddef>

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

}  // namespace kv
