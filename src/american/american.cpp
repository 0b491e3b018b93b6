#include "american.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "../iv/implied_vol.hpp"
#include "../models/black76.hpp"
#include "../models/spot.hpp"
#include "boundary.hpp"

namespace kv::american {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// (nodes, most iterations, points, price points, tolerance), from
// tools/american_accuracy.py. The boundary integrals need far fewer points
// than the premium's: their error is below the interpolation's with about one
// point per node. Each setting's error is its nodes' (interpolation) error;
// the tolerance stops the Newton steps once they change the price well below
// it.
constexpr Setting kSettings[kAccuracyCount] = {
    {10, 8, 8, 20, 1e-6},      // fast
    {24, 16, 20, 64, 1e-8},    // accurate
    {48, 24, 40, 128, 1e-11},  // high
};

// The option as a put or call on an underlying with yield q (Black-76: the
// futures price with q = r, which makes its carry zero).
struct Market {
  bool call;
  double S, K, t, r, q, sigma;
};

Market MarketOf(Model model, const Option& o) {
  const double q = model == Model::Bsm ? o.q : model == Model::Black76 ? o.r : 0.0;
  return {o.call, o.X, o.K, o.t, o.r, q, o.sigma};
}

// Where the option stands: early exercise never pays (the European values
// are the answer), the single boundary this method solves, or no answer.
enum class Regime { Nan, European, Boundary };

// A call is the put with S and K, r and q swapped; with that put's rate rp
// and yield qp, rp > 0 has one exercise boundary. With rp <= 0 the premium's
// integrand rp K - qp S (the gain of holding cash K instead of the asset, per
// unit time, in the exercise region) is negative wherever S < K if qp >= rp:
// early exercise never pays. With qp < rp <= 0 it is positive between
// K rp / qp and K: two boundaries, which this method does not solve (NaN).
Regime RegimeOf(const Market& m) {
  if (std::isnan(m.S) || std::isnan(m.K) || std::isnan(m.t) || std::isnan(m.r) || std::isnan(m.q) ||
      std::isnan(m.sigma)) {
    return Regime::Nan;
  }
  if (!(m.S > 0.0 && m.K > 0.0 && m.sigma >= 0.0) || std::isinf(m.S) || std::isinf(m.K) ||
      std::isinf(m.t) || std::isinf(m.r) || std::isinf(m.q) || std::isinf(m.sigma)) {
    return Regime::Nan;
  }
  if (m.t <= 0.0) return Regime::European;
  const double rp = m.call ? m.q : m.r, qp = m.call ? m.r : m.q;
  if (rp <= 0.0) return qp >= rp ? Regime::European : Regime::Nan;
  return Regime::Boundary;
}

// The European value of one quantity, by the European routines themselves.
template <class Q>
double EuropeanValue(Model model, const Option& o) {
  const OptionKind kind = o.call ? OptionKind::Call : OptionKind::Put;
  switch (model) {
    case Model::Bs:
      return Bsm<Q>(kind, o.X, o.K, o.t, o.r, o.sigma, 0.0);
    case Model::Bsm:
      return Bsm<Q>(kind, o.X, o.K, o.t, o.r, o.sigma, o.q);
    case Model::Black76:
      return Black76<Q>(kind, o.X, o.K, o.t, o.r, o.sigma);
  }
  return kNaN;
}

void EuropeanValues(Model model, const Option& o, unsigned wanted, Values& out) {
  const auto want = [&](Quantity k) { return (wanted >> k) & 1u; };
  if (want(kPrice)) out.v[kPrice] = EuropeanValue<greeks::Price>(model, o);
  if (want(kDelta)) out.v[kDelta] = EuropeanValue<greeks::Delta>(model, o);
  if (want(kGamma)) out.v[kGamma] = EuropeanValue<greeks::Gamma>(model, o);
  if (want(kTheta)) out.v[kTheta] = EuropeanValue<greeks::Theta>(model, o);
  if (want(kVega)) out.v[kVega] = EuropeanValue<greeks::Vega>(model, o);
  if (want(kRho)) out.v[kRho] = EuropeanValue<greeks::Rho>(model, o);
  if (want(kDualDelta)) out.v[kDualDelta] = EuropeanValue<greeks::DualDelta>(model, o);
  if (want(kDualGamma)) out.v[kDualGamma] = EuropeanValue<greeks::DualGamma>(model, o);
}

// A put without volatility: the underlying moves as S e^{(r-q) u}, and the
// holder exercises at the best time u in [0, t], if ever. r > 0.
PutValues DeterministicPut(const PutInputs& in) {
  const double S = in.S, K = in.K, r = in.r, q = in.q, t = in.tau;
  const auto f = [&](double u) { return K * std::exp(-r * u) - S * std::exp(-q * u); };
  double best = 0.0, value = f(0.0);
  const double candidates[2] = {t, (q > 0.0 && r != q) ? std::log(r * K / (q * S)) / (r - q) : 0.0};
  for (const double u : candidates) {
    if (u > 0.0 && u <= t && f(u) > value) {
      value = f(u);
      best = u;
    }
  }
  if (!(value > 0.0)) return {0.0, 0.0, 0.0, 0.0};
  // Theta (per year, as time passes) moves the value only if the best time
  // is the expiry itself.
  const double slope = -r * K * std::exp(-r * t) + q * S * std::exp(-q * t);
  return {value, -std::exp(-q * best), 0.0, best == t ? slope : 0.0};
}

// The least setting whose nodes follow the put's boundary. Spread in
// sqrt(tau), they resolve the layer at expiry into which a strong drift
// against a small volatility squeezes the boundary's movement (DriftRatio)
// only while kappa is moderate. Measured on 5500 random puts (sigma down to
// 0.001, expiries to 30 years) against the high setting, and on a few
// against finite differences: "fast" is off by 1e-4 to 5e-3 from kappa = 4
// on (and by the whole price where the drift confines the integrals too:
// 0 for a value of 2.3e-2); where mu < 0, "accurate" by 2e-8 to 5e-6 from
// kappa = 16 on. Such options take the finer setting whichever was asked
// for. (On the portfolio the settings are measured on, kappa < 2.)
Accuracy LeastAccuracy(const PutInputs& in) {
  const double kappa = DriftRatio(in);
  if (Drift(in) < 0.0 && kappa >= 16.0) return Accuracy::High;
  if (kappa >= 4.0 || Confined(in)) return Accuracy::Accurate;
  return Accuracy::Fast;
}

// The option's put: a call is the put with S and K, r and q swapped.
PutInputs PutOf(const Market& m) {
  return m.call ? PutInputs{m.K, m.S, m.t, m.q, m.r, m.sigma}
                : PutInputs{m.S, m.K, m.t, m.r, m.q, m.sigma};
}

// The setting an option is priced with: the one asked for, or finer where
// its boundary needs it. Evaluate picks it once, at the option itself, so
// that the differences for vega and rho never straddle a change of setting.
Accuracy SettingFor(Accuracy asked, const Market& m) {
  if (!(m.sigma > 0.0)) return asked;
  return std::max(asked, LeastAccuracy(PutOf(m)));
}

// Price, delta, gamma and theta (per year) of the option in the boundary
// regime. A call is the put P(K, S, q, r): its delta is the put's derivative
// in its strike, (P - K dP/dS') / S by homogeneity, and its gamma likewise.
PutValues BoundaryValues(Accuracy accuracy, const Market& m, bool greeks) {
  const PutInputs put = PutOf(m);
  const PutValues p = put.sigma == 0.0
                          ? DeterministicPut(put)
                          : SolvePut(kSettings[static_cast<int>(accuracy)], put, greeks);
  if (!m.call) return p;
  return {p.price, (p.price - m.K * p.delta) / m.S, m.K * m.K * p.gamma / (m.S * m.S), p.theta};
}

// Steps of the central differences for vega and rho: small enough that the
// truncation (h^2 / 6 times the third derivative) stays below 1e-10 of the
// price's scale, large enough that the solver's rounding divided by h does
// too. The boundary is solved afresh at every step with the same nodes, so
// its error is smooth in sigma and r and largely cancels in the difference.
double SigmaStep(double sigma) {
  return 1e-4 * sigma;
}
double RateStep(double r) {
  return 1e-4 * std::max(std::fabs(r), 0.01);
}

// Evaluate at a setting already chosen (SettingFor), bumps included.
void EvaluateAt(Model model, Accuracy setting, const Option& option, unsigned wanted, Values& out) {
  const Market m = MarketOf(model, option);
  const Regime regime = RegimeOf(m);
  if (regime == Regime::European) return EuropeanValues(model, option, wanted, out);
  if (regime == Regime::Nan) {
    for (int k = 0; k < kCount; ++k) {
      if ((wanted >> k) & 1u) out.v[k] = kNaN;
    }
    return;
  }
  const auto want = [&](Quantity k) { return (wanted >> k) & 1u; };
  const unsigned local = (1u << kPrice) | (1u << kDelta) | (1u << kGamma) | (1u << kTheta) |
                         (1u << kDualDelta) | (1u << kDualGamma);
  if (wanted & local) {
    const bool greeks = (wanted & ~(1u << kPrice)) != 0;
    const PutValues v = BoundaryValues(setting, m, greeks);
    out.v[kPrice] = want(kPrice) ? v.price : out.v[kPrice];
    if (want(kDelta)) out.v[kDelta] = v.delta;
    if (want(kGamma)) out.v[kGamma] = v.gamma;
    if (want(kTheta)) out.v[kTheta] = v.theta / 365.0;
    // Homogeneity of degree one in (S, K): V = S dV/dS + K dV/dK.
    if (want(kDualDelta)) out.v[kDualDelta] = (v.price - m.S * v.delta) / m.K;
    if (want(kDualGamma)) out.v[kDualGamma] = m.S * m.S * v.gamma / (m.K * m.K);
  }
  const auto price = [&](const Option& o) {
    Values p;
    EvaluateAt(model, setting, o, 1u << kPrice, p);
    return p.v[kPrice];
  };
  if (want(kVega)) {
    const double h = SigmaStep(option.sigma);
    Option up = option, down = option;
    up.sigma += h;
    down.sigma -= h;
    out.v[kVega] = (price(up) - price(down)) / (2.0 * h) * 0.01;
  }
  if (want(kRho)) {
    // Black-76 moves q with r: the futures price is held.
    const double h = RateStep(option.r);
    Option up = option, down = option;
    up.r += h;
    down.r -= h;
    out.v[kRho] = (price(up) - price(down)) / (2.0 * h) * 0.01;
  }
}

}  // namespace

void Evaluate(Model model, Accuracy accuracy, const Option& option, unsigned wanted, Values& out) {
  EvaluateAt(model, SettingFor(accuracy, MarketOf(model, option)), option, wanted, out);
}

double Price(Model model, Accuracy accuracy, const Option& option) {
  Values v;
  Evaluate(model, accuracy, option, 1u << kPrice, v);
  return v.v[kPrice];
}

namespace {

constexpr double kMinVol = 1e-6, kMaxVol = 5.0;
constexpr int kIvSteps = 60;

IvResult EuropeanIv(Model model, const Option& o, double price) {
  const OptionKind kind = o.call ? OptionKind::Call : OptionKind::Put;
  const IvInputs in = model == Model::Black76 ? Black76IvInputs(kind, price, o.X, o.K, o.t, o.r)
                                              : BsmIvInputs(kind, price, o.X, o.K, o.t, o.r,
                                                            model == Model::Bsm ? o.q : 0.0);
  const kv::IvResult r = SolveImpliedVol(kind, in);
  return {r.volatility, static_cast<std::int8_t>(r.status)};
}

// Secant steps on the American price at one accuracy, from x0 with the
// first step a Newton step on `slope`, kept inside the bracket [lo, hi] of
// volatilities whose prices lie either side (bisection when a step leaves
// it). Done when a secant step moves by no more than `done`: the steps
// converge superlinearly, so the point it reaches is far closer than that.
// `slope` returns the last secant slope.
struct Search {
  Model model;
  Accuracy accuracy;
  Option o;
  double price;
  double lo = kMinVol, hi = kMaxVol;
  bool top_known = false;  // whether hi's price is known to lie above

  double Value(double sigma) {
    o.sigma = sigma;
    return Price(model, accuracy, o) - price;
  }
  void Narrow(double x, double f) {
    if (f < 0.0) {
      lo = std::max(lo, x);
    } else {
      hi = std::min(hi, x);
      top_known = true;
    }
  }
  IvResult Run(double x0, double& slope, double done) {
    double f0 = Value(x0);
    if (std::isnan(f0)) return {kNaN, kNanInput};
    if (f0 == 0.0) return {x0, kSolved};
    Narrow(x0, f0);
    double x1 = x0 - f0 / slope;
    bool bisected = false;
    if (!(std::isfinite(x1) && x1 > lo && x1 < hi && x1 != x0)) {
      x1 = std::clamp(x0 * (f0 > 0.0 ? 0.99 : 1.01), kMinVol, kMaxVol);
      bisected = true;
    }
    for (int step = 0; step < kIvSteps; ++step) {
      if (!bisected && std::fabs(x1 - x0) <= done) return {x1, kSolved};
      const double f1 = Value(x1);
      if (std::isnan(f1)) return {kNaN, kNanInput};
      if (f1 == 0.0) return {x1, kSolved};
      Narrow(x1, f1);
      if (lo == kMaxVol) return {kMaxVol, kUpperBound};  // the price is above the top's
      if (f1 != f0) slope = (f1 - f0) / (x1 - x0);
      double x2 = x1 - f1 / slope;
      bisected = !(x2 > lo && x2 < hi);
      if (bisected) x2 = top_known ? 0.5 * (lo + hi) : kMaxVol;
      if (std::fabs(x2 - x1) <= 1e-13 * x1) return {x2, kSolved};
      x0 = x1;
      f0 = f1;
      x1 = x2;
    }
    return {kNaN, kNoConvergence};
  }
};

}  // namespace

// The volatility whose American price is `price`, in two stages. Secant
// steps on the fast setting's price from the European implied volatility of
// the same price (never below the American one's, as the American price is
// the higher at every volatility; the first step a Newton step with the
// European vega, as the premium changes slowly with the volatility) find the
// fast setting's root, until a step moves by no more than 1e-7 (it is then
// far closer than that); that root lies within about 1e-6 of the requested
// setting's, whose price is then taken at it. A Newton step on the fast
// stage's last slope (the fast vega: within 1e-3 relative of the requested
// one's for most options, a few percent where the vega is small, deep in the
// money) is the answer where it moves less than 1e-7, which leaves it within
// 1e-8; otherwise secant steps go on. Most options so take one or two prices
// at the requested setting.
IvResult ImpliedVol(Model model, Accuracy accuracy, const Option& given, double price) {
  Option o = given;
  o.sigma = 0.0;
  const Market m = MarketOf(model, o);
  const Regime regime = std::isnan(price) ? Regime::Nan : RegimeOf(m);
  if (regime == Regime::Nan) return {kNaN, kNanInput};
  if (regime == Regime::European) return EuropeanIv(model, o, price);

  const double exercise = std::max(m.call ? m.S - m.K : m.K - m.S, 0.0);
  const double maximum = m.call ? m.S : m.K;
  if (price < exercise) return {kNaN, kBelowExercise};
  if (price > maximum) return {kNaN, kAboveMaximum};
  // The price without volatility is the least any volatility gives.
  if (price <= Price(model, accuracy, o)) return {kMinVol, kLowerBound};

  const IvResult euro = EuropeanIv(model, o, price);
  const double x0 = std::clamp(euro.status == kSolved ? euro.sigma : 0.2, kMinVol, kMaxVol);
  o.sigma = x0;
  double slope = EuropeanValue<greeks::Vega>(model, o) * 100.0;
  if (accuracy == Accuracy::Fast) return Search{model, accuracy, o, price}.Run(x0, slope, 0.0);
  const IvResult rough = Search{model, Accuracy::Fast, o, price}.Run(x0, slope, 1e-7);
  if (rough.status != kSolved) {  // the bracket search again, at the setting asked for
    slope = EuropeanValue<greeks::Vega>(model, o) * 100.0;
    return Search{model, accuracy, o, price}.Run(x0, slope, 0.0);
  }
  return Search{model, accuracy, o, price}.Run(rough.sigma, slope, 1e-7);
}

}  // namespace kv::american
