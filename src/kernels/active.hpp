#pragma once

// The kernels of each SIMD target, and those of the target chosen for this
// process (simd/dispatch.hpp). Compiled for the baseline processor: a wider
// target's code runs only once it is chosen.

#include "../simd/dispatch.hpp"
#include "job.hpp"

namespace kv::kernels {

struct Kernels {
  GreeksKernel greeks;
  IvKernel implied_vol;
  bool (*uses_vector_math)();  // whether they take the vector exp and log
};

// The kernels of a target the processor runs.
const Kernels& KernelsFor(Target target);

// The kernels of ActiveTarget().
const Kernels& ActiveKernels();

}  // namespace kv::kernels
