#pragma once

// Many implied-volatility solves side by side. W solves are in flight at
// once, their state held lane by lane in vectors; each round prices every
// in-flight solve's requested volatility as one block (Lanes<W>) and then
// advances every solve with vector arithmetic: the Newton and bisection steps
// of IvSolve (solver.hpp), each comparison a lane mask and each branch a
// selection, so a lane goes through exactly the operations its solve would
// alone. A solve that ends hands its slot to the next option (started by
// IvSolve::Begin), so the lanes stay busy while solves take different numbers
// of steps. Every result is the scalar function's.

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

namespace iv_detail {

// The state of W solves, one per lane. Idle lanes price a harmless
// at-the-money option; their results are never used.
template <int W>
struct IvLanes {
  using V = typename Lanes<W>::Vec;
  using M = typename Lanes<W>::Mask;
  Lanes<W> F, K, t, L, st, sigma;
  V Fst, target, tol, previous, lo, hi;
  M steps, bisecting, live;

  IvLanes() {
    for (int j = 0; j < W; ++j) Idle(j);
  }

  void Idle(int j) {
    F.v[j] = K.v[j] = t.v[j] = st.v[j] = sigma.v[j] = 1.0;
    L.v[j] = Fst[j] = target[j] = tol[j] = previous[j] = lo[j] = hi[j] = 0.0;
    steps[j] = bisecting[j] = live[j] = 0;
  }

  // Lane j takes up a solve that Begin has prepared (Newton, first step).
  void Start(int j, const IvSolve& solve) {
    F.v[j] = solve.F();
    K.v[j] = solve.K();
    t.v[j] = solve.t();
    L.v[j] = solve.L();
    st.v[j] = solve.st();
    sigma.v[j] = solve.Next();
    Fst[j] = solve.Fst();
    target[j] = solve.target();
    tol[j] = solve.tol();
    previous[j] = kNaN;
    lo[j] = hi[j] = 0.0;
    steps[j] = bisecting[j] = 0;
    live[j] = -1;
  }

  // Advances every live lane with its model price m at sigma and the
  // density's exponential; returns the lanes whose solve ended, with their
  // array values in value.
  M Advance(const V& m, const V& density_exp, V& value) {
    const V inf = V{} + __builtin_inf();
    const V nan = V{} + __builtin_nan("");
    const V s = sigma.v;
    const V diff = m - target;
    const M nan_m = m != m;
    const M close = Abs(diff) < tol;
    const M newton = ~bisecting;

    // Newton: the price or the step has converged, or the step goes to bisection.
    const M settled = (previous == previous) & (Abs(s - previous) < (s + 1.0) * kTolerance);
    const V vega = Fst * (density_exp * kDensityFactor);
    const V next = s - diff / vega;
    const M newton_steps = steps + 1;
    const M to_bisection = (vega < kMinVega) | (Abs(vega) == inf) | ~(Abs(next) < inf) |
                           (next <= 0.0) | (next > kMaxVol) | (newton_steps == kNewtonLimit);
    const M newton_done = close | settled;

    // Bisection: the price has converged, the bracket is narrow enough, or
    // the steps have run out.
    const M below = m < target;
    const V new_lo = below ? s : lo;
    const V new_hi = below ? hi : s;
    const V centre = (new_lo + new_hi) * 0.5;
    const M narrow = (new_hi - new_lo) < kBracketWidth;
    const M bisect_steps = steps + 1;
    const M exhausted = bisect_steps == kBisectionLimit;

    const M done =
        live & (nan_m | (newton & newton_done) | (bisecting & (close | narrow | exhausted)));
    value = bisecting ? (close ? s : (narrow ? centre : nan)) : s;
    value = nan_m ? nan : value;

    // The lanes that go on.
    const M newton_on = newton & ~newton_done & ~to_bisection;
    const M starting = newton & ~newton_done & to_bisection;
    const M bisect_on = bisecting & ~(close | narrow | exhausted);
    previous = newton_on ? s : previous;
    lo = starting ? V{} + kMinVol : (bisect_on ? new_lo : lo);
    hi = starting ? V{} + kMaxVol : (bisect_on ? new_hi : hi);
    const V restart = V{} + (kMaxVol + kMinVol) * 0.5;
    sigma.v = newton_on ? next : (starting ? restart : (bisect_on ? (new_hi + new_lo) * 0.5 : s));
    steps = newton_on ? newton_steps : (starting ? M{} : (bisect_on ? bisect_steps : steps));
    bisecting = bisecting | starting;
    return done;
  }

  static V Abs(const V& x) { return (V)((M)x & 0x7fffffffffffffff); }
};

}  // namespace iv_detail

// out[i] = the solve of inputs(i), for i in [0, n).
template <int W, class Inputs>
[[gnu::always_inline]] inline void SolveImpliedVolBlocks(OptionKind kind, std::ptrdiff_t n,
                                                         const Inputs& inputs, double* out) {
  iv_detail::IvLanes<W> lanes;
  std::ptrdiff_t owner[W];  // element of each slot's solve, or -1 when idle
  std::ptrdiff_t next = 0;
  int busy = 0;

  // Starts the next element that needs model prices in slot j; elements
  // decided by their bounds alone are written on the way.
  auto fill = [&](int j) {
    while (next < n) {
      const std::ptrdiff_t i = next++;
      IvSolve solve;
      if (auto done = solve.Begin(kind, inputs(i))) {
        out[i] = IvElement(*done);
        continue;
      }
      owner[j] = i;
      lanes.Start(j, solve);
      return true;
    }
    owner[j] = -1;
    lanes.Idle(j);
    return false;
  };
  for (int j = 0; j < W; ++j) busy += fill(j);

  const double w = Sign(kind);
  while (busy > 0) {
    Lanes<W> d1;
    const Lanes<W> m =
        ForwardModelPrice(w, lanes.F, lanes.K, lanes.t, lanes.L, lanes.st, lanes.sigma, d1);
    const Lanes<W> density_exp = Exp(d1 * (d1 * -0.5));
    typename Lanes<W>::Vec value;
    const typename Lanes<W>::Mask done = lanes.Advance(m.v, density_exp.v, value);
    if (!AnyLane(done)) continue;
    for (int j = 0; j < W; ++j) {
      if (!done[j]) continue;
      out[owner[j]] = WithCanonicalNaN(value[j]);
      if (!fill(j)) --busy;
    }
  }
}

KV_TARGET_END
