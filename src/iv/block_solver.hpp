#pragma once

// Many implied-volatility solves side by side. W solves are in flight at
// once, their state held lane by lane in vectors (IvLanes); each round prices
// every in-flight solve's requested volatility as one block (Lanes<W>) and
// then advances every solve with vector arithmetic: IvSolve's Newton and
// bisection steps (solver.hpp), each test a lane mask and each branch a
// selection, so a lane goes through exactly the operations its solve would
// alone and ends with the same value and status. Options are begun W at a
// time the same way (IvSolve::Begin as vector code); those that need model
// prices wait in a short queue, and a solve that ends hands its slot to the
// next of them, so the lanes stay busy while solves take different numbers of
// steps. Every result is the scalar function's.

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

// W options' problems in forward terms, lane by lane: IvInputs of a block.
template <int W>
struct IvBlockInputs {
  Lanes<W> price, F, K, t, r;
};

// A number shared by a block's lanes, or already one per lane. The lanes get
// the double's own bits (adding it to a zero vector would turn -0.0 into 0.0).
template <int W>
[[gnu::always_inline]] inline Lanes<W> PerLane(double x) {
  return FromLanes<W>([&](int) { return x; });
}
template <int W>
[[gnu::always_inline]] inline const Lanes<W>& PerLane(const Lanes<W>& x) {
  return x;
}

namespace iv_detail {

template <int W>
[[gnu::always_inline]] inline typename Lanes<W>::Vec Abs(const typename Lanes<W>::Vec& x) {
  using M = typename Lanes<W>::Mask;
  return (typename Lanes<W>::Vec)((M)x & 0x7fffffffffffffff);
}
template <int W>
[[gnu::always_inline]] inline typename Lanes<W>::Mask Status(IvStatus s) {
  return typename Lanes<W>::Mask{} + static_cast<int>(s);
}

// A solve ready for its first Newton step: IvSolve's terms after Begin.
struct IvStarted {
  double w, F, K, t, L, st, sigma, Fst, target, tol;
  std::ptrdiff_t element;
};

inline IvStarted Started(const IvSolve& solve, std::ptrdiff_t element) {
  return {solve.w(),    solve.F(),   solve.K(),      solve.t(),   solve.L(), solve.st(),
          solve.Next(), solve.Fst(), solve.target(), solve.tol(), element};
}

// IvSolve::Begin for W options at once, in its order of tests: the lanes
// decided by the bounds get their array value and IvStatus, the others the
// terms of their first Newton step.
template <int W>
struct IvBegun {
  using V = typename Lanes<W>::Vec;
  using M = typename Lanes<W>::Mask;
  Lanes<W> w, F, K, t, L, st, sigma;
  V Fst, target, tol, value;
  M status, solving;

  [[gnu::always_inline]] IvBegun(const Lanes<W>& sign, const IvBlockInputs<W>& in)
      : w(sign), F(in.F), K(in.K), t(in.t) {
    const V inf = V{} + __builtin_inf();
    const M call = w.v > 0.0;
    target = (in.price * Exp(in.t * in.r)).v;
    const V intrinsic = PositivePart(call ? F.v - K.v : K.v - F.v);
    const V maximum = call ? F.v : K.v;
    const M below = target < intrinsic - kBoundSlack;
    const M above = target > maximum + kBoundSlack;
    const M nan = (target != target) | (F.v != F.v) | (K.v != K.v);
    const M lower = target <= intrinsic;
    value = (below | above | nan) ? V{} + kNaN : V{} + kMinVol;
    status = below   ? Status<W>(IvStatus::BelowIntrinsic)
             : above ? Status<W>(IvStatus::AboveMaximum)
             : nan   ? Status<W>(IvStatus::NanInput)
                     : Status<W>(IvStatus::LowerBound);
    solving = ~(below | above | nan | lower);

    tol = (Abs<W>(target) + 1.0) * kTolerance;
    V guess = (Sqrt(kTwoPi / t) * Lanes<W>{target}).v / maximum;
    guess = (~(Abs<W>(guess) < inf) | (guess < kMinVol)) ? V{} + kFallbackGuess : guess;
    sigma.v = guess > kMaxVol ? V{} + kMaxVol : guess;
    // Lanes decided already take the log of 1, off the log's slow path.
    L = Log(Lanes<W>{solving ? F.v / K.v : V{} + 1.0});
    st = Sqrt(t);
    Fst = F.v * st.v;
  }

  IvStarted Lane(int j, std::ptrdiff_t element) const {
    return {w[j], F[j], K[j], t[j], L[j], st[j], sigma[j], Fst[j], target[j], tol[j], element};
  }

  static V PositivePart(const V& x) { return x > 0.0 ? x : V{}; }
};

// The state of W solves, one per lane: IvSolve's members as vectors. Idle
// lanes price a harmless at-the-money call and never end.
template <int W>
struct IvLanes {
  using V = typename Lanes<W>::Vec;
  using M = typename Lanes<W>::Mask;
  Lanes<W> w, F, K, t, L, st, sigma;
  V Fst, target, tol, previous, lo, hi;
  M steps, bisecting, live;

  IvLanes() {
    for (int j = 0; j < W; ++j) Idle(j);
  }

  void Idle(int j) {
    w.v[j] = F.v[j] = K.v[j] = t.v[j] = st.v[j] = sigma.v[j] = 1.0;
    L.v[j] = Fst[j] = target[j] = tol[j] = previous[j] = lo[j] = hi[j] = 0.0;
    steps[j] = bisecting[j] = live[j] = 0;
  }

  // Lane j takes up a solve that Begin has prepared: Newton, first step.
  void Start(int j, const IvStarted& solve) {
    w.v[j] = solve.w;
    F.v[j] = solve.F;
    K.v[j] = solve.K;
    t.v[j] = solve.t;
    L.v[j] = solve.L;
    st.v[j] = solve.st;
    sigma.v[j] = solve.sigma;
    Fst[j] = solve.Fst;
    target[j] = solve.target;
    tol[j] = solve.tol;
    previous[j] = kNaN;
    lo[j] = hi[j] = 0.0;
    steps[j] = bisecting[j] = 0;
    live[j] = -1;
  }

  // IvSolve::Advance on every lane, given its model price m at sigma and
  // exp(d1 * (d1 * -0.5)), whose density is NormPdf(d1) to the bit. Returns
  // the live lanes whose solve ended, with their array value and IvStatus in
  // value and status.
  M Advance(const V& m, const V& density_exp, V& value, M& status) {
    const V inf = V{} + __builtin_inf();
    const V nan = V{} + __builtin_nan("");
    const V s = sigma.v;
    const M nan_m = m != m;
    const M newton = ~bisecting;

    // Newton (IvSolve::Newton), in its order of tests.
    const M close = Abs(m - target) < tol;
    const M settled = (previous == previous) & (Abs(s - previous) < (s + 1.0) * kTolerance);
    const M newton_ends = close | settled;
    const V vega = Fst * NormPdfFromExp(density_exp);
    const M flat = (vega < kMinVega) | (Abs(vega) == inf);
    const V next = s - (m - target) / vega;
    const M astray = ~(Abs(next) < inf) | (next <= 0.0) | (next > kMaxVol);
    const M newton_steps = steps + 1;
    const M to_bisection = flat | astray | (newton_steps == kNewtonLimit);

    // Bisection (IvSolve::Bisect), in its order of tests.
    const V mid = s;
    const M below = m < target;
    const V new_lo = below ? mid : lo;
    const V new_hi = below ? hi : mid;
    const M narrow = new_hi - new_lo < kBracketWidth;
    const M bisect_steps = steps + 1;
    const M exhausted = bisect_steps == kBisectionLimit;
    const M bisect_ends = close | narrow | exhausted;

    const M done = live & (nan_m | (newton & newton_ends) | (bisecting & bisect_ends));
    const V bisect_value = close ? mid : (narrow ? (new_lo + new_hi) * 0.5 : nan);
    value = nan_m ? nan : (bisecting ? bisect_value : s);
    const M top = new_hi == kMaxVol;
    const M bisect_status = close ? Status(IvStatus::Solved)
                            : narrow
                                ? (top ? Status(IvStatus::UpperBound) : Status(IvStatus::Solved))
                                : Status(IvStatus::NoConvergence);
    status =
        nan_m ? Status(IvStatus::NanInput) : (bisecting ? bisect_status : Status(IvStatus::Solved));

    // The lanes that go on: a Newton step, a fresh bisection
    // (IvSolve::StartBisection), or a bisection step.
    const M newton_on = newton & ~newton_ends & ~to_bisection;
    const M starting = newton & ~newton_ends & to_bisection;
    const M bisect_on = bisecting & ~bisect_ends;
    previous = newton_on ? s : previous;
    lo = starting ? V{} + kMinVol : (bisect_on ? new_lo : lo);
    hi = starting ? V{} + kMaxVol : (bisect_on ? new_hi : hi);
    sigma.v = newton_on ? next : ((starting | bisect_on) ? (hi + lo) * 0.5 : s);
    steps = newton_on ? newton_steps : (starting ? M{} : (bisect_on ? bisect_steps : steps));
    bisecting = bisecting | starting;
    return done;
  }

  static V Abs(const V& x) { return iv_detail::Abs<W>(x); }
  static M Status(IvStatus s) { return iv_detail::Status<W>(s); }
};

}  // namespace iv_detail

// Solves elements 0 .. n-1. block(e, w) states the problems of elements
// e .. e+W-1 (IvBlockInputs) and sets their signs w; one(i, solve) begins
// element i's solve alone (its result when the bounds alone decide it), for
// the last elements that fill no block. done(i, value, status) takes each
// element's array value and IvStatus. Each solve keeps its own sign, so one
// block may mix calls and puts.
template <int W, class Block, class One, class Done>
[[gnu::always_inline]] inline void SolveBlocks(std::ptrdiff_t n, const Block& block, const One& one,
                                               const Done& done) {
  using iv_detail::IvStarted;
  iv_detail::IvLanes<W> lanes;
  IvStarted queue[W];  // begun, waiting for a lane
  int queued = 0;
  std::ptrdiff_t owner[W];  // element of each slot's solve, or -1 when idle
  std::ptrdiff_t next = 0;
  int busy = 0;

  // Begins options until one waits for a lane or none is left; those the
  // bounds decide are finished on the way.
  auto begin = [&] {
    while (queued == 0 && next < n) {
      if (n - next >= W) {
        Lanes<W> w;
        const IvBlockInputs<W> inputs = block(next, w);
        const iv_detail::IvBegun<W> begun(w, inputs);
        const int solving = LaneBits(begun.solving);
        for (int j = 0; j < W; ++j) {
          if (solving >> j & 1) {
            queue[queued++] = begun.Lane(j, next + j);
          } else {
            done(next + j, WithCanonicalNaN(begun.value[j]),
                 static_cast<IvStatus>(begun.status[j]));
          }
        }
        next += W;
      } else {
        const std::ptrdiff_t i = next++;
        IvSolve solve;
        if (auto result = one(i, solve)) {
          done(i, IvElement(*result), result->status);
        } else {
          queue[queued++] = iv_detail::Started(solve, i);
        }
      }
    }
  };
  // Slot j takes up the next begun solve, if any.
  auto fill = [&](int j) {
    begin();
    if (queued == 0) {
      owner[j] = -1;
      lanes.Idle(j);
      return false;
    }
    const IvStarted& solve = queue[--queued];
    owner[j] = solve.element;
    lanes.Start(j, solve);
    return true;
  };
  for (int j = 0; j < W; ++j) busy += fill(j);

  while (busy > 0) {
    Lanes<W> d1;
    const Lanes<W> m =
        ForwardModelPrice(lanes.w, lanes.F, lanes.K, lanes.t, lanes.L, lanes.st, lanes.sigma, d1);
    // Every Newton step needs the density; a lane bisecting ignores it.
    const Lanes<W> density_exp = Exp(d1 * (d1 * -0.5));
    typename Lanes<W>::Vec value;
    typename Lanes<W>::Mask status;
    const int ended = LaneBits(lanes.Advance(m.v, density_exp.v, value, status));
    for (int j = 0; j < W; ++j) {
      if ((ended >> j & 1) == 0) continue;
      done(owner[j], WithCanonicalNaN(value[j]), static_cast<IvStatus>(status[j]));
      if (!fill(j)) --busy;
    }
  }
}

KV_TARGET_END
