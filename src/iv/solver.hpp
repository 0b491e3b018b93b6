#pragma once

// Implied volatility of a European option on a forward F, in undiscounted
// terms: the rate only undiscounts the given price. A Newton iteration from a
// closed-form guess gives way, when a step misbehaves, to bisection on the
// fixed bracket [1e-6, 5].

#include <cmath>
#include <limits>

#include "../models/normal.hpp"
#include "../models/option_kind.hpp"

namespace kv {

enum class IvError : unsigned char { BelowIntrinsic, AboveMaximum, NoConvergence };

// A volatility, or the reason there is none.
struct IvResult {
  double volatility;
  bool ok;
  IvError error;

  static IvResult Value(double v) { return {v, true, IvError::NoConvergence}; }
  static IvResult Error(IvError e) { return {std::numeric_limits<double>::quiet_NaN(), false, e}; }
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

// max(x, 0) where a NaN difference counts as 0 and -0 as +0.
inline double PositivePart(double x) {
  return x > 0.0 ? x : 0.0;
}

// The undiscounted Black price at volatility s, with the terms that do not
// depend on s computed once per solve.
struct ForwardModel {
  double w, F, K, t, L, st;

  double Price(double s, double& d1) const {
    d1 = (L + t * (s * (s * 0.5))) / (st * s);
    const double d2 = d1 - st * s;
    return w * (F * NormCdf(w * d1) - K * NormCdf(w * d2));
  }
};

}  // namespace iv_detail

// A NaN target, F or K, or a model price that cannot be evaluated (NaN),
// yields NaN rather than a volatility that would pass for a genuine answer.
inline IvResult SolveImpliedVol(OptionKind kind, double price, double F, double K, double t,
                                double r) {
  using namespace iv_detail;
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  const bool call = kind == OptionKind::Call;

  const double target = price * std::exp(t * r);
  const double intrinsic = PositivePart(call ? F - K : K - F);
  const double maximum = call ? F : K;
  if (target < intrinsic - kBoundSlack) return IvResult::Error(IvError::BelowIntrinsic);
  if (target > maximum + kBoundSlack) return IvResult::Error(IvError::AboveMaximum);
  if (target <= intrinsic) return IvResult::Value(kMinVol);
  if (std::isnan(target) || std::isnan(F) || std::isnan(K)) return IvResult::Value(kNaN);

  const double tol = (std::fabs(target) + 1.0) * kTolerance;

  // At-the-money approximation sigma ~ sqrt(2 pi / t) * price / forward.
  double guess = (std::sqrt(kTwoPi / t) * target) / maximum;
  if (!std::isfinite(guess) || guess < kMinVol) guess = kFallbackGuess;
  if (guess > kMaxVol) guess = kMaxVol;

  const double st = std::sqrt(t);
  const ForwardModel model{Sign(kind), F, K, t, std::log(F / K), st};
  const double Fst = F * st;

  double sigma = guess;
  double previous = kNaN;
  for (int step = 0; step < kNewtonLimit; ++step) {
    double d1;
    const double m = model.Price(sigma, d1);
    if (std::isnan(m)) return IvResult::Value(kNaN);
    if (std::fabs(m - target) < tol) return IvResult::Value(sigma);
    if (!std::isnan(previous) && std::fabs(sigma - previous) < (sigma + 1.0) * kTolerance) {
      return IvResult::Value(sigma);
    }
    const double vega = Fst * (std::exp(d1 * (d1 * -0.5)) * kDensityFactor);
    if (vega < kMinVega) break;
    const double next = sigma - (m - target) / vega;
    if (!std::isfinite(next) || next <= 0.0 || next > kMaxVol) break;
    previous = sigma;
    sigma = next;
  }

  // Bisection starts afresh: nothing from the Newton phase is kept.
  double lo = kMinVol;
  double hi = kMaxVol;
  for (int step = 0; step < kBisectionLimit; ++step) {
    const double mid = (hi + lo) * 0.5;
    double d1;
    const double m = model.Price(mid, d1);
    if (std::isnan(m)) return IvResult::Value(kNaN);
    if (std::fabs(m - target) < tol) return IvResult::Value(mid);
    if (m < target) {
      lo = mid;
    } else {
      hi = mid;
    }
    if (hi - lo < kBracketWidth) return IvResult::Value((lo + hi) * 0.5);
  }
  return IvResult::Error(IvError::NoConvergence);
}

}  // namespace kv
