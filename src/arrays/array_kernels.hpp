#pragma once

// The array kernels: one per array function, in a table per SIMD target.

#include <cstddef>

#include "../models/option_kind.hpp"
#include "../models/target.hpp"
#include "../module/function_list.hpp"
#include "dispatch.hpp"

namespace kv {

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
