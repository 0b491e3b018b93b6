#pragma once

// Many implied-volatility solves side by side. W solves are in flight at
// once; each round prices every in-flight solve's requested volatility as
// one block (Lanes<W>), then advances each solve with its own price. A solve
// that ends hands its slot to the next option, so the lanes stay busy while
// solves take different numbers of steps. Every solve sees exactly the
// doubles it would see alone, so every result is the scalar function's.

#include <cstddef>

#include "../models/lanes.hpp"
#include "../models/target.hpp"
#include "solver.hpp"

KV_TARGET_BEGIN

// The value an array element takes for a solve's result: the volatility, or
// the default quiet NaN where the scalar function raises (a failed result
// carries that NaN as its volatility).
inline double IvElement(const IvResult& result) {
  return WithCanonicalNaN(result.volatility);
}

// out[i] = the solve of inputs(i), for i in [0, n).
template <int W, class Inputs>
[[gnu::always_inline]] inline void SolveImpliedVolBlocks(OptionKind kind, std::ptrdiff_t n,
                                                         const Inputs& inputs, double* out) {
  IvSolve solves[W];
  std::ptrdiff_t owner[W];  // element of each slot's solve, or -1 when idle
  std::ptrdiff_t next = 0;
  int busy = 0;

  // Starts the next element that needs model prices in slot j; elements
  // decided by their bounds alone are written on the way.
  auto fill = [&](int j) {
    while (next < n) {
      const std::ptrdiff_t i = next++;
      if (auto done = solves[j].Begin(kind, inputs(i))) {
        out[i] = IvElement(*done);
        continue;
      }
      owner[j] = i;
      return true;
    }
    owner[j] = -1;
    return false;
  };
  for (int j = 0; j < W; ++j) busy += fill(j);

  const double w = Sign(kind);
  while (busy > 0) {
    // Idle lanes price a harmless at-the-money option; their results are unused.
    Lanes<W> F, K, t, L, st, s, d1;
    for (int j = 0; j < W; ++j) {
      const bool live = owner[j] >= 0;
      const IvSolve& solve = solves[j];
      F.v[j] = live ? solve.F() : 1.0;
      K.v[j] = live ? solve.K() : 1.0;
      t.v[j] = live ? solve.t() : 1.0;
      L.v[j] = live ? solve.L() : 0.0;
      st.v[j] = live ? solve.st() : 1.0;
      s.v[j] = live ? solve.Next() : 1.0;
    }
    const Lanes<W> m = ForwardModelPrice(w, F, K, t, L, st, s, d1);
    const Lanes<W> density_exp = Exp(d1 * (d1 * -0.5));
    for (int j = 0; j < W; ++j) {
      if (owner[j] < 0) continue;
      if (auto done = solves[j].AdvanceWithDensity(m[j], density_exp[j])) {
        out[owner[j]] = IvElement(*done);
        if (!fill(j)) --busy;
      }
    }
  }
}

KV_TARGET_END
