#pragma once

// The boundary's solver of every SIMD target (solver.cpp, compiled once per
// target). Only baseline units name them, and call one only on a processor
// that runs it (kv::ActiveTarget).

#include "../simd/dispatch.hpp"
#include "../simd/target.hpp"
#include "boundary.hpp"

// This unit's own target namespace is inline (target.hpp), which it must be
// from its first mention: open it here before naming every target's below.
KV_TARGET_BEGIN
KV_TARGET_END

#define KV_DECLARE_AMERICAN_SOLVER(ns, Enum)                                                 \
  namespace kv::ns::american_solver {                                                        \
  american::PutValues Solve(const american::Setting& setting, const american::PutInputs& in, \
                            bool greeks);                                                    \
  }
KV_FOR_EACH_TARGET(KV_DECLARE_AMERICAN_SOLVER)
#undef KV_DECLARE_AMERICAN_SOLVER

namespace kv::american {

using SolveFunction = PutValues(const Setting& setting, const PutInputs& in, bool greeks);

inline SolveFunction* SolverFor(Target target) {
  switch (target) {
#define KV_CASE(ns, Enum) \
  case Target::Enum:      \
    return &ns::american_solver::Solve;
    KV_FOR_EACH_TARGET(KV_CASE)
#undef KV_CASE
  }
  return &baseline::american_solver::Solve;
}

}  // namespace kv::american
