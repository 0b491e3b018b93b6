#pragma once

// An _array function's element loop: its arrays and single numbers stated as
// the kernels' inputs (kernels/job.hpp), run by a target's kernels
// (kernels/active.hpp) -- the module's chosen ones, or any in the kernel test.

#include <cstddef>

#include "../kernels/active.hpp"
#include "../models/option_kind.hpp"
#include "shapes.hpp"

namespace kv {

// The kernel's inputs for one call: each array where it lies, contiguous;
// the flag (a call byte) and each single number with stride 0. An input the
// shape lacks (q of bs_*) reads a zero it never uses.
template <class Shape>
kernels::Inputs KernelInputs(const char* call, const double* shared, const char* const* data) {
  static constexpr double kUnused = 0.0;
  kernels::Inputs in;
  for (int k = 0; k < kernels::kInputs; ++k) {
    in.data[k] = reinterpret_cast<const char*>(&kUnused);
    in.stride[k] = 0;
  }
  int a = 0;
  for (int i = 0; i < Shape::kCount; ++i) {
    const int k = Shape::kSlots[i];
    switch (Shape::kKinds[i]) {
      case Param::Flag:
        in.data[k] = call;
        break;
      case Param::PerOption:
        in.data[k] = data[a++];
        in.stride[k] = sizeof(double);
        break;
      case Param::Number:
        in.data[k] = reinterpret_cast<const char*>(&shared[i]);
        break;
    }
  }
  return in;
}

// Element e of out is the function's routine of the e-th elements and the
// single numbers: a price or Greek as the kernel's job of one quantity, an
// implied volatility (NaN where the scalar function raises) by Newton's
// solver with every problem stated as the scalar function states it.
template <class Shape, kernels::Model M, int Quantity>
void RunArrayKernel(const kernels::Kernels& run, OptionKind kind, const double* shared,
                    const char* const* data, double* out, std::ptrdiff_t n) {
  const char call = kind == OptionKind::Call;
  const kernels::Inputs in = KernelInputs<Shape>(&call, shared, data);
  if constexpr (Shape::kImpliedVol) {
    run.implied_vol(kernels::IvJob{M, out, nullptr, false, false}, in, 0, n);
  } else {
    const int quantity = Quantity;
    run.greeks(kernels::GreeksJob{M, 1, &quantity, &out}, in, 0, n);
  }
}

}  // namespace kv
