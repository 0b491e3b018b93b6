#pragma once

// Black-76 on a forward or futures price F, discounted at r. The Greeks are
// the cost-of-carry forms with zero carry (b = 0.0, discounting at r), which
// is why, for finite r and t, every routine but rho equals its spot-model
// twin called with S = F and q = r. Every routine takes (kind, F, K, t, r,
// sigma), except Black76Theta, which takes sigma before t.

#include <cmath>

#include "carry.hpp"

namespace kv {

inline double Black76Price(OptionKind kind, double F, double K, double t, double r,
                           double sigma) {
  return carry::ForwardPrice(kind, F, K, t, sigma, std::exp(-(r * t)));
}

inline double Black76Delta(OptionKind kind, double F, double K, double t, double r,
                           double sigma) {
  return carry::Delta(kind, F, K, t, sigma, r, 0.0);
}

inline double Black76Gamma(OptionKind, double F, double K, double t, double r, double sigma) {
  return carry::Gamma(F, K, t, sigma, r, 0.0);
}

inline double Black76Vega(OptionKind, double F, double K, double t, double r, double sigma) {
  return carry::Vega(F, K, t, sigma, r, 0.0);
}

inline double Black76Theta(OptionKind kind, double F, double K, double sigma, double t,
                           double r) {
  return carry::Theta(kind, F, K, sigma, t, r, r, 0.0);
}

// With F held fixed the rate acts only through the discount: rho = -0.01 t V.
inline double Black76Rho(OptionKind kind, double F, double K, double t, double r,
                         double sigma) {
  return (Black76Price(kind, F, K, t, r, sigma) * t) * -0.01;
}

inline double Black76DualDelta(OptionKind kind, double F, double K, double t, double r,
                               double sigma) {
  return carry::DualDelta(kind, F, K, t, r, sigma, 0.0);
}

inline double Black76DualGamma(OptionKind, double F, double K, double t, double r,
                               double sigma) {
  return carry::DualGamma(F, K, t, r, sigma, 0.0);
}

inline double Black76Vanna(OptionKind, double F, double K, double t, double r, double sigma) {
  return carry::Vanna(F, K, t, r, sigma, 0.0);
}

inline double Black76Charm(OptionKind kind, double F, double K, double t, double r,
                           double sigma) {
  return carry::Charm(kind, F, K, t, r, sigma, 0.0);
}

inline double Black76Vomma(OptionKind, double F, double K, double t, double r, double sigma) {
  return carry::Vomma(F, K, t, r, sigma, 0.0);
}

inline double Black76Speed(OptionKind, double F, double K, double t, double r, double sigma) {
  return carry::Speed(F, K, t, r, sigma, 0.0);
}

inline double Black76Zomma(OptionKind, double F, double K, double t, double r, double sigma) {
  return carry::Zomma(F, K, t, r, sigma, 0.0);
}

inline double Black76Color(OptionKind, double F, double K, double t, double r, double sigma) {
  return carry::Color(F, K, t, r, sigma, 0.0);
}

inline double Black76Veta(OptionKind, double F, double K, double t, double r, double sigma) {
  return carry::Veta(F, K, t, r, sigma, 0.0);
}

inline double Black76Ultima(OptionKind, double F, double K, double t, double r,
                            double sigma) {
  return carry::Ultima(F, K, t, r, sigma, 0.0);
}

}  // namespace kv
