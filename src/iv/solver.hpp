#pragma once

// Implied volatility of a European option on a forward F, in undiscounted
// terms: the rate only undiscounts the given price. A Newton iteration from a
// closed-form guess gives way, when a step misbehaves, to bisection on the
// fixed bracket [1e-6, 5].
//
// The solve is written once, as a small state machine -- IvBegin, then
// IvAdvance with the model price at each requested volatility -- over a value
// type T: double for one option, Lanes<W> for W solves side by side. Every
// test is a mask and every branch a selection, so a lane goes through exactly
// the operations its solve takes alone and ends with the same value and
// status. SolveImpliedVol below drives one option; SolveBlocks
// (block_solver.hpp) drives blocks of them.

#include <cmath>
#include <limits>

#include "../math/block_math.hpp"
#include "../math/normal.hpp"
#include "../models/option_kind.hpp"
#include "../simd/lanes.hpp"
#include "../simd/target.hpp"

KV_TARGET_BEGIN

enum class IvError : unsigned char { BelowIntrinsic, AboveMaximum, NoConvergence };

// How a solve ended, for callers that report it beside the value.
enum class IvStatus : signed char {
  Solved = 0,
  LowerBound = 1,  // 1e-6 at once: the price is at or below the intrinsic value
  UpperBound = 2,  // bisection closed on the top of the bracket (its upper end never moved)
  BelowIntrinsic = 3,
  AboveMaximum = 4,
  NanInput = 5,  // NaN: a NaN price, t, r, F or K, or a NaN model price
  NoConvergence = 6,
  Expired = 7,  // NaN: t <= 0, in the whole-book API only
};

// A volatility, or the reason there is none.
struct IvResult {
  double volatility;
  bool ok;
  IvError error;
  IvStatus status;

  // The result a solve ended with: a failed one carries NaN and its error.
  static IvResult Of(double value, IvStatus status) {
    switch (status) {
      case IvStatus::BelowIntrinsic:
        return {value, false, IvError::BelowIntrinsic, status};
      case IvStatus::AboveMaximum:
        return {value, false, IvError::AboveMaximum, status};
      case IvStatus::NoConvergence:
        return {value, false, IvError::NoConvergence, status};
      default:
        return {value, true, IvError::NoConvergence, status};
    }
  }
};

// One option's inputs in forward terms.
struct IvInputs {
  double price, F, K, t, r;
};

namespace iv_detail {

inline constexpr double kBoundSlack = 1e-14;
inline constexpr double kMinVol = 1e-6;
inline constexpr double kMaxVol = 5.0;
inline constexpr double kFallbackGuess = 0.2;
inline constexpr double kTwoPi = 6.283185307179586;
inline constexpr double kTolerance = 1e-12;
// The price tolerance never exceeds this fraction of the target. Above a
// target of 1/99 the absolute tolerance is the smaller and decides alone, so
// those solves are what they always were; below it an absolute tolerance
// would accept volatilities whose prices are many times the target, or a
// fraction of it. The two meet at 1/99: the tolerance is continuous.
inline constexpr double kRelativeTolerance = 1e-10;
inline constexpr double kMinVega = 1e-15;
inline constexpr int kNewtonLimit = 50;
inline constexpr int kBisectionLimit = 100;
inline constexpr double kBracketWidth = 1e-14;
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();

// The raw values a solve's terms are held in: for one solve doubles, bools
// and ints; for W solves GCC vectors of W lanes, whose comparisons give lane
// masks. The same expressions (arithmetic, comparisons, !, &&, ||, ?:) work
// on both.
template <class T>
struct IvTypes {
  using V = typename T::Vec;
  using M = typename T::Mask;
  using I = typename T::Mask;  // a step count or an IvStatus per lane
  static T Of(const V& v) { return {v}; }
  static V Raw(const T& x) { return x.v; }
  static V Abs(const V& x) { return (V)((M)x & 0x7fffffffffffffff); }
  static bool Any(const M& m) { return AnyLane(m); }
};
template <>
struct IvTypes<double> {
  using V = double;
  using M = bool;
  using I = int;
  static double Of(double v) { return v; }
  static double Raw(double x) { return x; }
  static double Abs(double x) { return std::fabs(x); }
  static bool Any(bool m) { return m; }
};

template <class T>
inline typename IvTypes<T>::I Code(IvStatus s) {
  return typename IvTypes<T>::I{} + static_cast<int>(s);
}

// The price tolerance of a positive target: the absolute (target + 1) * 1e-12,
// or the relative bound where that is smaller.
template <class V>
inline V Tolerance(const V& target) {
  const V absolute = (target + 1.0) * kTolerance;
  const V relative = target * kRelativeTolerance;
  return relative < absolute ? relative : absolute;
}

}  // namespace iv_detail

// The undiscounted Black price w * (F N(w d1) - K N(w d2)) at volatility s,
// with d1 returned for the vega; L = ln(F / K) and st = sqrt(t) are taken once
// per solve. T is double, or Lanes for a block of options; the sign w is a
// double, or per lane.
template <class T, class WT>
inline T ForwardModelPrice(const WT& w, const T& F, const T& K, const T& t, const T& L, const T& st,
                           const T& s, T& d1) {
  d1 = (L + t * (s * (s * 0.5))) / (st * s);
  const T d2 = d1 - st * s;
  return w * (F * NormCdf(w * d1) - K * NormCdf(w * d2));
}

// The state of a solve in progress (T = double), or of one per lane
// (T = Lanes<W>).
template <class T>
struct IvState {
  using V = typename iv_detail::IvTypes<T>::V;
  using M = typename iv_detail::IvTypes<T>::M;
  using I = typename iv_detail::IvTypes<T>::I;
  // Per solve: the sign, the problem, ln(F / K), sqrt(t), F * sqrt(t), the
  // forward target and its tolerance.
  V w, F, K, t, L, st, Fst, target, tol;
  // The volatility to price next, the previous Newton iterate (NaN before
  // the first step) and the bisection bracket.
  V sigma, previous, lo, hi;
  I steps;
  M bisecting;

  // The model price at sigma, and its d1.
  V ModelPrice(V& d1) const {
    using Ty = iv_detail::IvTypes<T>;
    T d;
    const T m = ForwardModelPrice(Ty::Of(w), Ty::Of(F), Ty::Of(K), Ty::Of(t), Ty::Of(L), Ty::Of(st),
                                  Ty::Of(sigma), d);
    d1 = Ty::Raw(d);
    return Ty::Raw(m);
  }
};

// Checks the bounds and prepares the first volatility to price. Returns the
// solves that go on; the others end here with their value and status. A NaN
// target, F or K yields NaN rather than a volatility that would pass for a
// genuine answer (a price beyond a bound that can still be decided is
// rejected as such).
template <class T>
inline typename IvState<T>::M IvBegin(IvState<T>& s, const T& sign, const T& price, const T& F,
                                      const T& K, const T& t, const T& r,
                                      typename IvState<T>::V& value,
                                      typename IvState<T>::I& status) {
  using namespace iv_detail;
  using Ty = IvTypes<T>;
  using V = typename Ty::V;
  using M = typename Ty::M;
  const V zero{};
  s.w = Ty::Raw(sign);
  s.F = Ty::Raw(F);
  s.K = Ty::Raw(K);
  s.t = Ty::Raw(t);
  s.target = Ty::Raw(price * Exp(t * r));
  const M call = s.w > 0.0;
  const V difference = call ? s.F - s.K : s.K - s.F;
  const V intrinsic = difference > 0.0 ? difference : zero;  // a NaN difference counts as 0
  const V maximum = call ? s.F : s.K;
  const M below = s.target < intrinsic - kBoundSlack;
  const M above = s.target > maximum + kBoundSlack;
  const M nan = (s.target != s.target) || (s.F != s.F) || (s.K != s.K);
  const M lower = s.target <= intrinsic;
  const M solving = !(below || above || nan || lower);
  value = (below || above || nan) ? zero + kNaN : zero + kMinVol;
  status = below   ? Code<T>(IvStatus::BelowIntrinsic)
           : above ? Code<T>(IvStatus::AboveMaximum)
           : nan   ? Code<T>(IvStatus::NanInput)
                   : Code<T>(IvStatus::LowerBound);
  if (!Ty::Any(solving)) return solving;

  s.tol = Tolerance(s.target);
  // At-the-money approximation sigma ~ sqrt(2 pi / t) * price / forward.
  V guess = Ty::Raw(Sqrt(kTwoPi / t) * Ty::Of(s.target)) / maximum;
  guess = (!(Ty::Abs(guess) < kInf) || guess < kMinVol) ? zero + kFallbackGuess : guess;
  s.sigma = guess > kMaxVol ? zero + kMaxVol : guess;
  // Lanes decided already take the log of 1, off the log's slow path.
  s.L = Ty::Raw(Log(Ty::Of(solving ? s.F / s.K : zero + 1.0)));
  s.st = Ty::Raw(Sqrt(t));
  s.Fst = s.F * s.st;
  s.previous = zero + kNaN;
  s.lo = s.hi = zero;
  s.steps = typename Ty::I{};
  s.bisecting = !(zero == zero);
  return solving;
}

// Takes the model price m (and its d1) at s.sigma: ends the solves whose
// test is met, with their value and status, and prepares the next
// volatility of the others. Returns the solves that ended.
template <class T>
inline typename IvState<T>::M IvAdvance(IvState<T>& s, const typename IvState<T>::V& m,
                                        const typename IvState<T>::V& d1,
                                        typename IvState<T>::V& value,
                                        typename IvState<T>::I& status) {
  using namespace iv_detail;
  using Ty = IvTypes<T>;
  using V = typename Ty::V;
  using M = typename Ty::M;
  using I = typename Ty::I;
  const V zero{};
  const V sigma = s.sigma;
  const M nan_m = m != m;
  const M newton = !s.bisecting;

  // Newton, in its order of tests: the price close enough, the step small
  // enough, then a step unless the vega vanishes or is infinite (which would
  // make every step zero), or the step leaves (0, 5], or the limit is reached.
  // Each phase's arithmetic runs only where some solve is in that phase.
  const M close = Ty::Abs(m - s.target) < s.tol;
  const M settled =
      (s.previous == s.previous) && (Ty::Abs(sigma - s.previous) < (sigma + 1.0) * kTolerance);
  const M newton_ends = close || settled;
  const M stepping = newton && !newton_ends && !nan_m;
  const I steps = s.steps + 1;
  V next = zero;
  M to_bisection{};
  if (Ty::Any(stepping)) {
    const V vega = s.Fst * Ty::Raw(NormPdfFromExp(Exp(Ty::Of(d1 * (d1 * -0.5)))));
    const M flat = (vega < kMinVega) || (Ty::Abs(vega) == kInf);
    next = sigma - (m - s.target) / vega;
    const M astray = !(Ty::Abs(next) < kInf) || (next <= 0.0) || (next > kMaxVol);
    to_bisection = flat || astray || (steps == kNewtonLimit);
  }

  // Bisection, in its order of tests: the price close enough, the bracket
  // narrow enough, the limit reached. A NaN m lowers hi.
  V lo = s.lo, hi = s.hi, bisect_value = zero;
  M bisect_ends{};
  I bisect_status{};
  if (Ty::Any(s.bisecting)) {
    const M below = m < s.target;
    lo = below ? sigma : s.lo;
    hi = below ? s.hi : sigma;
    const M narrow = hi - lo < kBracketWidth;
    bisect_ends = close || narrow || (steps == kBisectionLimit);
    bisect_value = close ? sigma : (narrow ? (lo + hi) * 0.5 : zero + kNaN);
    bisect_status =
        close    ? Code<T>(IvStatus::Solved)
        : narrow ? (hi == kMaxVol ? Code<T>(IvStatus::UpperBound) : Code<T>(IvStatus::Solved))
                 : Code<T>(IvStatus::NoConvergence);
  }

  const M ended = nan_m || (newton && newton_ends) || (s.bisecting && bisect_ends);
  value = nan_m ? zero + kNaN : (s.bisecting ? bisect_value : sigma);
  status = nan_m ? Code<T>(IvStatus::NanInput)
                 : (s.bisecting ? bisect_status : Code<T>(IvStatus::Solved));

  // The solves that go on: a Newton step, a fresh bisection (which keeps
  // nothing from the Newton phase), or a bisection step. After the last
  // permitted Newton evaluation its step is never priced.
  const M newton_on = stepping && !to_bisection;
  const M starting = stepping && to_bisection;
  const M bisect_on = s.bisecting && !bisect_ends;
  s.previous = newton_on ? sigma : s.previous;
  s.lo = starting ? zero + kMinVol : (bisect_on ? lo : s.lo);
  s.hi = starting ? zero + kMaxVol : (bisect_on ? hi : s.hi);
  s.sigma = newton_on ? next : ((starting || bisect_on) ? (s.hi + s.lo) * 0.5 : sigma);
  s.steps = newton_on ? steps : (starting ? I{} : (bisect_on ? steps : s.steps));
  s.bisecting = s.bisecting || starting;
  return ended;
}

// One option, one model price at a time.
inline IvResult SolveImpliedVol(OptionKind kind, const IvInputs& in) {
  IvState<double> s{};
  double value;
  int status;
  bool ended = !IvBegin<double>(s, Sign(kind), in.price, in.F, in.K, in.t, in.r, value, status);
  while (!ended) {
    double d1;
    const double m = s.ModelPrice(d1);
    ended = IvAdvance(s, m, d1, value, status);
  }
  return IvResult::Of(value, static_cast<IvStatus>(status));
}

KV_TARGET_END
