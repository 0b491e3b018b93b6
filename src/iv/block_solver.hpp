#pragma once

// Many implied-volatility solves side by side. W solves are in flight at
// once, their state held lane by lane (IvState<Lanes<W>>); each round prices
// every in-flight solve's requested volatility as one block and advances
// them all with IvAdvance (solver.hpp), the routine a single solve runs, so
// each lane ends with its scalar function's value and status. Options are
// begun W at a time the same way (IvBegin on a block); those that need model
// prices wait in a short queue, and a solve that ends hands its slot to the
// next of them, so the lanes stay busy while solves take different numbers of
// steps.

#include <cstddef>

#include "../math/block_math.hpp"
#include "../simd/lanes.hpp"
#include "../simd/target.hpp"
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
KV_INLINE Lanes<W> PerLane(double x) {
  return FromLanes<W>([&](int) { return x; });
}
template <int W>
KV_INLINE const Lanes<W>& PerLane(const Lanes<W>& x) {
  return x;
}

namespace iv_detail {

// A begun solve waiting for a lane, and the element it answers.
struct IvWaiting {
  IvState<double> solve;
  std::ptrdiff_t element;
};

// Lane j of a block's state, as one solve's.
template <int W>
IvState<double> LaneOf(const IvState<Lanes<W>>& s, int j) {
  return {s.w[j],
          s.F[j],
          s.K[j],
          s.t[j],
          s.L[j],
          s.st[j],
          s.Fst[j],
          s.target[j],
          s.tol[j],
          s.sigma[j],
          s.previous[j],
          s.lo[j],
          s.hi[j],
          static_cast<int>(s.steps[j]),
          s.bisecting[j] != 0};
}

// Lane j takes up a solve.
template <int W>
void SetLane(IvState<Lanes<W>>& s, int j, const IvState<double>& one) {
  s.w[j] = one.w;
  s.F[j] = one.F;
  s.K[j] = one.K;
  s.t[j] = one.t;
  s.L[j] = one.L;
  s.st[j] = one.st;
  s.Fst[j] = one.Fst;
  s.target[j] = one.target;
  s.tol[j] = one.tol;
  s.sigma[j] = one.sigma;
  s.previous[j] = one.previous;
  s.lo[j] = one.lo;
  s.hi[j] = one.hi;
  s.steps[j] = one.steps;
  s.bisecting[j] = one.bisecting ? -1 : 0;
}

// What an idle lane holds: a harmless at-the-money call, bisecting so that
// it asks for no density; whatever it arrives at is ignored.
inline constexpr IvState<double> kIdle = {1.0, 1.0, 1.0, 1.0, 0.0, 1.0, 0.0, 0.0,
                                          0.0, 1.0, 0.0, 0.0, 0.0, 0,   true};

}  // namespace iv_detail

// Solves elements 0 .. n-1. block(e, w) states the problems of elements
// e .. e+W-1 (IvBlockInputs) and sets their signs w; one(i, w) states element
// i's (IvInputs) and its sign, for the last elements that fill no block.
// done(i, value, status) takes each element's array value and IvStatus. Each
// solve keeps its own sign, so one block may mix calls and puts.
template <int W, class Block, class One, class Done>
KV_INLINE void SolveBlocks(std::ptrdiff_t n, const Block& block, const One& one, const Done& done) {
  using iv_detail::IvWaiting;
  using State = IvState<Lanes<W>>;
  using V = typename State::V;
  using M = typename State::M;
  using I = typename State::I;
  State lanes;
  M live{};
  for (int j = 0; j < W; ++j) iv_detail::SetLane(lanes, j, iv_detail::kIdle);
  IvWaiting queue[W];  // begun, waiting for a lane
  int queued = 0;
  std::ptrdiff_t owner[W];  // element of each slot's solve
  std::ptrdiff_t next = 0;
  int busy = 0;

  // Begins options until one waits for a lane or none is left; those the
  // bounds decide are finished on the way.
  auto begin = [&] {
    while (queued == 0 && next < n) {
      if (n - next >= W) {
        Lanes<W> w;
        const IvBlockInputs<W> in = block(next, w);
        State begun{};  // left unset by IvBegin where the bounds decide every lane
        V value;
        I status;
        const int solving =
            LaneBits(IvBegin<Lanes<W>>(begun, w, in.price, in.F, in.K, in.t, in.r, value, status));
        for (int j = 0; j < W; ++j) {
          if (solving >> j & 1) {
            queue[queued++] = {iv_detail::LaneOf(begun, j), next + j};
          } else {
            done(next + j, WithCanonicalNaN(value[j]), static_cast<IvStatus>(status[j]));
          }
        }
        next += W;
      } else {
        const std::ptrdiff_t i = next++;
        double w;
        const IvInputs in = one(i, w);
        IvState<double> begun{};
        double value;
        int status;
        if (IvBegin<double>(begun, w, in.price, in.F, in.K, in.t, in.r, value, status)) {
          queue[queued++] = {begun, i};
        } else {
          done(i, WithCanonicalNaN(value), static_cast<IvStatus>(status));
        }
      }
    }
  };
  // Slot j takes up the next begun solve, if any.
  auto fill = [&](int j) {
    begin();
    if (queued == 0) {
      iv_detail::SetLane(lanes, j, iv_detail::kIdle);
      live[j] = 0;
      return false;
    }
    const IvWaiting& waiting = queue[--queued];
    owner[j] = waiting.element;
    iv_detail::SetLane(lanes, j, waiting.solve);
    live[j] = -1;
    return true;
  };
  for (int j = 0; j < W; ++j) busy += fill(j);

  while (busy > 0) {
    V d1;
    const V m = lanes.ModelPrice(d1);
    V value;
    I status;
    const int ended = LaneBits(IvAdvance(lanes, m, d1, value, status) & live);
    for (int j = 0; j < W; ++j) {
      if ((ended >> j & 1) == 0) continue;
      done(owner[j], WithCanonicalNaN(value[j]), static_cast<IvStatus>(status[j]));
      if (!fill(j)) --busy;
    }
  }
}

KV_TARGET_END
