#include "boundary.hpp"

#include <cmath>
#include <limits>

#include "../simd/dispatch.hpp"
#include "solver_targets.hpp"

namespace kv::american {

double Drift(const PutInputs& in) {
  return in.r - in.q - 0.5 * (in.sigma * in.sigma);
}

namespace {

// The time T > 0 at which m T - c sqrt(T) = l (m > 0, c and l >= 0): the
// positive root of m v^2 - c v - l, squared.
double RootTime(double m, double c, double l) {
  const double v = (c + std::sqrt(c * c + 4.0 * m * l)) / (2.0 * m);
  return v * v;
}

// The solver of the process's SIMD target, chosen once.
SolveFunction* ActiveSolver() {
  static SolveFunction* const solve = SolverFor(ActiveTarget());
  return solve;
}

}  // namespace

// X = K min(1, r/q), the boundary's limit at expiry.
double ExpiryLimit(const PutInputs& in) {
  return (in.q > 0.0 && in.r < in.q) ? in.K * (in.r / in.q) : in.K;
}

// Where mu = r - q - sigma^2 / 2 > 0 the drift carries S away from the
// exercise region, and every integrand lives within a few sigma / mu of
// sqrt(s) = 0: with ln(B(tau) / B(u)) and ln(S / B(u)) at least
// -L = ln(B_inf / K) (B_inf the perpetual boundary, below every B), d- =
// (ln(.) + mu s) / (sigma sqrt(s)) exceeds c once sqrt(s) passes the root
// of mu v^2 - c sigma v - L. The integrals stop there, at s = span: beyond it
// only D's N(d+), 1 there, is left. Infinite (no cut) where mu <= 0.
double CutSpan(const PutInputs& in, double X) {
  const double s2 = in.sigma * in.sigma, mu = Drift(in);
  if (!(mu > 0.0)) return std::numeric_limits<double>::infinity();
  const double lambda = (-mu - std::sqrt(mu * mu + 2.0 * in.r * s2)) / s2;  // < 0
  const double L = std::log(in.K / X) + std::log1p(-1.0 / lambda);
  return RootTime(mu, 7.0 * in.sigma, L);
}

// Past T_cap the put is worth what it is at T_cap. Holding it longer adds at
// most K P(min_{t >= T} S_t <= K) (exercise after T needs S below K). With
// x = ln(S_T / K) ~ N(l + mu T, sigma^2 T), l = ln(S / K), mu = r - q -
// sigma^2 / 2 > 0, a drifted Brownian motion from x > 0 ever reaches 0 with
// probability e^{-2 mu x / sigma^2}; integrating over x gives
// N(-(l + mu T) / a) + e^{-2 mu l / sigma^2} N((l - mu T) / a), a = sigma sqrt(T),
// and with N(-z) <= e^{-z^2 / 2} / 2 (z >= 0) both terms are at most
// e^{-z^2 / 2} / 2, z = (mu T - |l|) / a. z = 13 makes that K e^{-84.5}:
// nothing in double precision. T_cap solves mu T - 13 sigma sqrt(T) = |l|.
double CapExpiry(const PutInputs& in) {
  const double mu = Drift(in);
  if (!(mu > 0.0)) return std::numeric_limits<double>::infinity();
  return RootTime(mu, 13.0 * in.sigma, std::fabs(std::log(in.S / in.K)));
}

// Where mu < 0 the drift carries S towards the exercise region instead, and
// S reaches the perpetual put's boundary B_inf = K lambda / (lambda - 1)
// (lambda the negative root of sigma^2 l^2 / 2 + mu l - r = 0) within about
// ln(S / B_inf) / |mu|. The finite put is worth at most the perpetual one,
// and at least what exercising at B_inf before T earns: they differ by at
// most (K - B_inf) P(B_inf not reached by T) <= K N(-z) <= K e^{-z^2 / 2} / 2,
// z = (|mu| T - ln(S / B_inf)) / (sigma sqrt T). Past T_perp, where z = 13,
// the put is the perpetual one to double precision. (Against a small
// sigma the finite boundary moves only in a thin layer at expiry, which
// interpolation in sqrt(tau) cannot follow: measured, "fast" off by 5e-2
// and "accurate" by 6e-4 at sigma = 0.0056, 24 years, q - r = 5.8 %.)
struct Perpetual {
  double lambda, boundary;
};

Perpetual PerpetualPut(const PutInputs& in) {
  const double s2 = in.sigma * in.sigma, mu = Drift(in);
  // The negative root without the cancellation of -mu - sqrt(mu^2 + 2 r sigma^2).
  const double lambda = -2.0 * in.r / (std::fabs(mu) + std::sqrt(mu * mu + 2.0 * in.r * s2));
  return {lambda, in.K * (-lambda / (1.0 - lambda))};
}

double PerpetualExpiry(const PutInputs& in) {
  const double mu = Drift(in);
  if (!(mu < 0.0)) return std::numeric_limits<double>::infinity();
  const double l = std::log(in.S / PerpetualPut(in).boundary);
  if (!(l > 0.0)) return std::numeric_limits<double>::infinity();  // exercised at once anyway
  return RootTime(-mu, 13.0 * in.sigma, l);
}

// (K - B_inf) (S / B_inf)^lambda above B_inf; it does not age (theta 0).
PutValues PerpetualValues(const PutInputs& in) {
  const Perpetual p = PerpetualPut(in);
  const double price = (in.K - p.boundary) * std::pow(in.S / p.boundary, p.lambda);
  const double delta = p.lambda * price / in.S;
  return {price, delta, (p.lambda - 1.0) * delta / in.S, 0.0};
}

bool Confined(const PutInputs& in) {
  return std::min(in.tau, CapExpiry(in)) > CutSpan(in, ExpiryLimit(in));
}

double DriftRatio(const PutInputs& in) {
  return std::fabs(Drift(in)) * std::sqrt(std::min(in.tau, CapExpiry(in))) / in.sigma;
}

PutValues SolvePut(const Setting& setting, const PutInputs& in, bool greeks) {
  if (in.tau > PerpetualExpiry(in)) return PerpetualValues(in);
  const double cap = CapExpiry(in);
  if (in.tau > cap) {
    PutInputs capped = in;
    capped.tau = cap;
    PutValues v = SolvePut(setting, capped, greeks);
    v.theta = 0.0;
    return v;
  }
  return ActiveSolver()(setting, in, greeks);
}

}  // namespace kv::american
