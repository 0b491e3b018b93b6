#pragma once

// Black-Scholes-Merton on a spot price S with continuous dividend yield q.
// Black-Scholes is the same family called with q = 0.0, which makes the two
// agree bit for bit by construction. Every routine takes
// (kind, S, K, t, r, sigma, q), except BsmTheta, which takes sigma before t.

#include <cmath>

#include "carry.hpp"

namespace kv {

inline double BsmPrice(OptionKind kind, double S, double K, double t, double r, double sigma,
                       double q) {
  const double F = S * std::exp(t * (r - q));
  const double Dr = std::exp(-(r * t));
  return carry::ForwardPrice(kind, F, K, t, sigma, Dr);
}

inline double BsmDelta(OptionKind kind, double S, double K, double t, double r, double sigma,
                       double q) {
  return carry::Delta(kind, S, K, t, sigma, q, r - q);
}

inline double BsmGamma(OptionKind, double S, double K, double t, double r, double sigma,
                       double q) {
  return carry::Gamma(S, K, t, sigma, q, r - q);
}

inline double BsmVega(OptionKind, double S, double K, double t, double r, double sigma,
                      double q) {
  return carry::Vega(S, K, t, sigma, q, r - q);
}

inline double BsmTheta(OptionKind kind, double S, double K, double sigma, double t, double r,
                       double q) {
  return carry::Theta(kind, S, K, sigma, t, r, q, r - q);
}

// Per percentage point of r, q held fixed.
inline double BsmRho(OptionKind kind, double S, double K, double t, double r, double sigma,
                     double q) {
  const double w = Sign(kind);
  const carry::Terms x = carry::MakeTerms(S, K, t, sigma, r - q);
  const double Dr = std::exp(-(r * t));
  return ((Dr * (K * (t * w))) * NormCdf(w * x.d2)) * 0.01;
}

inline double BsmDualDelta(OptionKind kind, double S, double K, double t, double r,
                           double sigma, double q) {
  return carry::DualDelta(kind, S, K, t, r, sigma, r - q);
}

inline double BsmDualGamma(OptionKind, double S, double K, double t, double r, double sigma,
                           double q) {
  return carry::DualGamma(S, K, t, r, sigma, r - q);
}

inline double BsmVanna(OptionKind, double S, double K, double t, double r, double sigma,
                       double q) {
  return carry::Vanna(S, K, t, r, sigma, r - q);
}

inline double BsmCharm(OptionKind kind, double S, double K, double t, double r, double sigma,
                       double q) {
  return carry::Charm(kind, S, K, t, r, sigma, r - q);
}

inline double BsmVomma(OptionKind, double S, double K, double t, double r, double sigma,
                       double q) {
  return carry::Vomma(S, K, t, r, sigma, r - q);
}

inline double BsmSpeed(OptionKind, double S, double K, double t, double r, double sigma,
                       double q) {
  return carry::Speed(S, K, t, r, sigma, r - q);
}

inline double BsmZomma(OptionKind, double S, double K, double t, double r, double sigma,
                       double q) {
  return carry::Zomma(S, K, t, r, sigma, r - q);
}

inline double BsmColor(OptionKind, double S, double K, double t, double r, double sigma,
                       double q) {
  return carry::Color(S, K, t, r, sigma, r - q);
}

inline double BsmVeta(OptionKind, double S, double K, double t, double r, double sigma,
                      double q) {
  return carry::Veta(S, K, t, r, sigma, r - q);
}

inline double BsmUltima(OptionKind, double S, double K, double t, double r, double sigma,
                        double q) {
  return carry::Ultima(S, K, t, r, sigma, r - q);
}

}  // namespace kv
