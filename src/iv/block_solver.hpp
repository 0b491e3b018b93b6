#pragma once

// Many implied-volatility solves side by side. W solves are in flight at
// once; each round prices every in-flight solve's requested volatility as one
// block (Lanes<W>), takes the density's exponential for all lanes at once, and
// then advances each solve by IvSolve's own steps (solver.hpp), so a lane
// goes through exactly the operations its solve would alone. A solve that
// ends hands its slot to the next option (started by IvSolve::Begin), so the
// lanes stay busy while solves take different numbers of steps. Every result
// is the scalar function's.

#include <cstddef>

#include "../models/block_math.hpp"
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

// Solves elements 0 .. n-1: begin(i, solve) starts element i's solve (its
// result when the bounds alone decide it), done(i, result) takes each result.
// Each solve keeps its own option kind, so one block may mix calls and puts.
template <int W, class Begin, class Done>
[[gnu::always_inline]] inline void SolveBlocks(std::ptrdiff_t n, const Begin& begin,
                                               const Done& done) {
  IvSolve solves[W];
  std::ptrdiff_t owner[W];  // element of each slot's solve, or -1 when idle
  std::ptrdiff_t next = 0;
  int busy = 0;

  // Starts the next element that needs model prices in slot j; elements
  // decided by their bounds alone are finished on the way.
  auto fill = [&](int j) {
    while (next < n) {
      const std::ptrdiff_t i = next++;
      if (auto result = begin(i, solves[j])) {
        done(i, *result);
        continue;
      }
      owner[j] = i;
      return true;
    }
    owner[j] = -1;
    return false;
  };
  for (int j = 0; j < W; ++j) busy += fill(j);

  while (busy > 0) {
    // Idle lanes price a harmless at-the-money call; their results are unused.
    Lanes<W> w, F, K, t, L, st, s, d1;
    for (int j = 0; j < W; ++j) {
      const bool live = owner[j] >= 0;
      const IvSolve& solve = solves[j];
      w.v[j] = live ? solve.w() : 1.0;
      F.v[j] = live ? solve.F() : 1.0;
      K.v[j] = live ? solve.K() : 1.0;
      t.v[j] = live ? solve.t() : 1.0;
      L.v[j] = live ? solve.L() : 0.0;
      st.v[j] = live ? solve.st() : 1.0;
      s.v[j] = live ? solve.Next() : 1.0;
    }
    const Lanes<W> m = ForwardModelPrice(w, F, K, t, L, st, s, d1);
    // The density's exponential for every lane at once; a solve that needs
    // it (a Newton step) takes the same double the scalar solver computes.
    const Lanes<W> density_exp = Exp(d1 * (d1 * -0.5));
    for (int j = 0; j < W; ++j) {
      if (owner[j] < 0) continue;
      if (auto result = solves[j].AdvanceWithDensity(m[j], density_exp[j])) {
        done(owner[j], *result);
        if (!fill(j)) --busy;
      }
    }
  }
}

// out[i] = the solve of inputs(i), for i in [0, n), all of one kind.
template <int W, class Inputs>
[[gnu::always_inline]] inline void SolveImpliedVolBlocks(OptionKind kind, std::ptrdiff_t n,
                                                         const Inputs& inputs, double* out) {
  SolveBlocks<W>(
      n, [&](std::ptrdiff_t i, IvSolve& solve) { return solve.Begin(kind, inputs(i)); },
      [&](std::ptrdiff_t i, const IvResult& result) { out[i] = IvElement(result); });
}

KV_TARGET_END
