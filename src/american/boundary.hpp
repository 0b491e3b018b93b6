#pragma once

// The early-exercise boundary of an American put and the put's value, delta,
// gamma and theta from it.
//
// The method is Andersen, Lake and Offengenden, "High-performance American
// option pricing" (J. Comput. Finance 20(1), 2016), started from the QD+
// boundary of Li, "Analytical approximations for the critical stock prices of
// American options" (J. Comput. Finance 13(1), 2009). With tau the time to
// expiry and X = K min(1, r/q) the boundary's limit at expiry, the put value is
// the European value plus the early-exercise premium
//   int_0^tau [r K e^{-r s} N(-d-(s, S/B(u))) - q S e^{-q s} N(-d+(s, S/B(u)))] du,
// s = tau - u. B solves B = K e^{-(r-q) tau} N(tau, B) / D(tau, B) (the
// smooth-pasting form of the paper), found at the Chebyshev extrema of
// z = 2 sqrt(tau / tau_max) - 1 from the QD+ start by Newton's method on all
// nodes at once (where the paper takes fixed-point steps, which converge
// only linearly). What is interpolated is H = ln(B / X)^2, which is close to
// linear in sqrt(tau) near expiry.
// Every integral substitutes s = tau (1 + y)^2 / 4 before Gauss-Legendre:
// that takes the 1/sqrt(s) out of the integrands and crowds the points
// towards u = tau, where the premium's integrand turns on. Where the drift
// r - q - sigma^2 / 2 > 0 confines the integrands to s much shorter than
// tau, they stop there instead, and past an expiry where later exercise is
// out of reach the put is priced at that expiry (boundary.cpp).

namespace kv::american {

// Nodes: intervals of the Chebyshev grid (n + 1 extrema); iterations: the
// most Newton steps; points: Gauss-Legendre points of each boundary
// integral; price_points: of the premium integral; tolerance: the steps stop
// once the error they leave in every node is below this, relative (0: all
// of them run).
struct Setting {
  int nodes, iterations, points, price_points;
  double tolerance = 0.0;
};
inline constexpr int kMaxNodes = 64, kMaxPoints = 128;

// A put under r > 0, sigma > 0, tau > 0, S > 0, K > 0.
struct PutInputs {
  double S, K, tau, r, q, sigma;
};

struct PutValues {
  double price, delta, gamma, theta;  // theta per year
};

// Whether the put's integrands, and the boundary's movement, are confined to
// a span near expiry shorter than its time to expiry: a strong drift away from
// the exercise region against a small volatility.
bool Confined(const PutInputs& in);

// mu = r - q - sigma^2 / 2, the drift of ln S.
double Drift(const PutInputs& in);

// X = K min(1, r/q), the boundary's limit at expiry.
double ExpiryLimit(const PutInputs& in);

// The span of s = tau - u beyond which a drift away from the exercise region
// leaves nothing of the integrands but what is known in closed form
// (boundary.cpp); infinite where there is no such drift. X: ExpiryLimit.
double CutSpan(const PutInputs& in, double X);

// kappa = |mu| sqrt(T) / sigma, T the time to expiry
// or, where mu > 0, the expiry past which nothing changes if shorter: how far
// the drift outruns the volatility. Against a small sigma it squeezes the
// boundary's movement into a layer at expiry about (sigma / mu)^2 long.
double DriftRatio(const PutInputs& in);

// greeks: whether delta, gamma and theta are wanted beside the price.
PutValues SolvePut(const Setting& setting, const PutInputs& in, bool greeks);

}  // namespace kv::american
