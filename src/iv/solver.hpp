#pragma once

// Implied volatility of a European option on a forward F, in undiscounted
// terms: the rate only undiscounts the given price. A Newton iteration from a
// closed-form guess gives way, when a step misbehaves, to bisection on the
// fixed bracket [1e-6, 5].
//
// The solve is written as a small state machine -- Begin, then Advance with
// the model price at each requested volatility -- which SolveImpliedVol below
// drives one option at a time. The block driver of the array functions
// (block_solver.hpp) takes the same steps in vector form, W solves side by
// side, test for test; a change to one must be made to the other.

#include <cmath>
#include <limits>
#include <optional>

#include "../models/normal.hpp"
#include "../models/option_kind.hpp"
#include "../models/target.hpp"

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
};

// A volatility, or the reason there is none.
struct IvResult {
  double volatility;
  bool ok;
  IvError error;
  IvStatus status;

  static IvResult Volatility(double v, IvStatus s = IvStatus::Solved) {
    return {v, true, IvError::NoConvergence, s};
  }
  static IvResult Error(IvError e) {
    constexpr IvStatus kStatus[] = {IvStatus::BelowIntrinsic, IvStatus::AboveMaximum,
                                    IvStatus::NoConvergence};
    return {std::numeric_limits<double>::quiet_NaN(), false, e, kStatus[static_cast<int>(e)]};
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
inline constexpr double kMinVega = 1e-15;
inline constexpr int kNewtonLimit = 50;
inline constexpr int kBisectionLimit = 100;
inline constexpr double kBracketWidth = 1e-14;
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// max(x, 0) where a NaN difference counts as 0 and -0 as +0.
inline double PositivePart(double x) {
  return x > 0.0 ? x : 0.0;
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

// One solve in progress.
class IvSolve {
 public:
  // Checks the bounds and prepares the first volatility to price. Returns the
  // result at once where no model price is needed. A NaN target, F or K
  // yields NaN rather than a volatility that would pass for a genuine answer
  // (a price beyond a bound that can still be decided is rejected as such).
  std::optional<IvResult> Begin(OptionKind kind, const IvInputs& in) {
    using namespace iv_detail;
    const bool call = kind == OptionKind::Call;
    w_ = Sign(kind);
    F_ = in.F;
    K_ = in.K;
    t_ = in.t;
    target_ = in.price * std::exp(in.t * in.r);
    const double intrinsic = PositivePart(call ? F_ - K_ : K_ - F_);
    const double maximum = call ? F_ : K_;
    if (target_ < intrinsic - kBoundSlack) return IvResult::Error(IvError::BelowIntrinsic);
    if (target_ > maximum + kBoundSlack) return IvResult::Error(IvError::AboveMaximum);
    if (std::isnan(target_) || std::isnan(F_) || std::isnan(K_)) {
      return IvResult::Volatility(kNaN, IvStatus::NanInput);
    }
    if (target_ <= intrinsic) return IvResult::Volatility(kMinVol, IvStatus::LowerBound);

    tol_ = (std::fabs(target_) + 1.0) * kTolerance;
    // At-the-money approximation sigma ~ sqrt(2 pi / t) * price / forward.
    double guess = (std::sqrt(kTwoPi / t_) * target_) / maximum;
    if (!std::isfinite(guess) || guess < kMinVol) guess = kFallbackGuess;
    if (guess > kMaxVol) guess = kMaxVol;
    L_ = std::log(F_ / K_);
    st_ = std::sqrt(t_);
    Fst_ = F_ * st_;

    bisecting_ = false;
    steps_ = 0;
    sigma_ = guess;
    previous_ = kNaN;
    return std::nullopt;
  }

  // The volatility whose model price Advance needs next.
  double Next() const { return sigma_; }

  // Takes the model price m (and its d1) at Next(); returns the result when
  // the solve ends, or prepares the next volatility.
  std::optional<IvResult> Advance(double m, double d1) {
    using namespace iv_detail;
    if (std::isnan(m)) return IvResult::Volatility(kNaN, IvStatus::NanInput);
    return bisecting_ ? Bisect(m) : Newton(m, [d1] { return NormPdf(d1); });
  }

  // Per-solve terms, for drivers that price several solves together.
  double w() const { return w_; }
  double F() const { return F_; }
  double K() const { return K_; }
  double t() const { return t_; }
  double L() const { return L_; }
  double st() const { return st_; }
  double Fst() const { return Fst_; }
  double target() const { return target_; }
  double tol() const { return tol_; }

 private:
  // density() is n(d1) at the priced volatility, taken only when the step
  // needs the vega.
  template <class Density>
  std::optional<IvResult> Newton(double m, const Density& density) {
    using namespace iv_detail;
    if (std::fabs(m - target_) < tol_) return IvResult::Volatility(sigma_);
    if (!std::isnan(previous_) && std::fabs(sigma_ - previous_) < (sigma_ + 1.0) * kTolerance) {
      return IvResult::Volatility(sigma_);
    }
    const double vega = Fst_ * density();
    // An infinite vega (F * sqrt(t) beyond the largest double) would make
    // every step zero, and the step test would then accept the first guess
    // whatever its price: such solves go to bisection, like a vanishing vega.
    if (vega < kMinVega || std::isinf(vega)) return StartBisection();
    const double next = sigma_ - (m - target_) / vega;
    if (!std::isfinite(next) || next <= 0.0 || next > kMaxVol) return StartBisection();
    // After the last permitted evaluation its step is never priced.
    if (++steps_ == kNewtonLimit) return StartBisection();
    previous_ = sigma_;
    sigma_ = next;
    return std::nullopt;
  }

  // Bisection starts afresh: nothing from the Newton phase is kept.
  std::optional<IvResult> StartBisection() {
    using namespace iv_detail;
    bisecting_ = true;
    steps_ = 0;
    lo_ = kMinVol;
    hi_ = kMaxVol;
    sigma_ = (hi_ + lo_) * 0.5;
    return std::nullopt;
  }

  std::optional<IvResult> Bisect(double m) {
    using namespace iv_detail;
    const double mid = sigma_;
    if (std::fabs(m - target_) < tol_) return IvResult::Volatility(mid);
    if (m < target_) {
      lo_ = mid;
    } else {
      hi_ = mid;
    }
    if (hi_ - lo_ < kBracketWidth) {
      return IvResult::Volatility((lo_ + hi_) * 0.5,
                                  hi_ == kMaxVol ? IvStatus::UpperBound : IvStatus::Solved);
    }
    if (++steps_ == kBisectionLimit) return IvResult::Error(IvError::NoConvergence);
    sigma_ = (hi_ + lo_) * 0.5;
    return std::nullopt;
  }

  double w_ = 0, F_ = 0, K_ = 0, t_ = 0, target_ = 0, tol_ = 0, L_ = 0, st_ = 0, Fst_ = 0;
  bool bisecting_ = false;
  int steps_ = 0;
  double sigma_ = 0, previous_ = 0, lo_ = 0, hi_ = 0;
};

// One option, one model price at a time.
inline IvResult SolveImpliedVol(OptionKind kind, const IvInputs& in) {
  IvSolve solve;
  if (auto done = solve.Begin(kind, in)) return *done;
  const double w = Sign(kind);
  for (;;) {
    double d1;
    const double m = ForwardModelPrice(w, solve.F(), solve.K(), solve.t(), solve.L(), solve.st(),
                                       solve.Next(), d1);
    if (auto done = solve.Advance(m, d1)) return *done;
  }
}

KV_TARGET_END
