#pragma once

// Black-76 on a forward or futures price F, discounted at r. The Greeks are
// the cost-of-carry forms with zero carry (b = 0.0, discounting at r), which
// is why, for finite r and t, every routine but rho equals its spot-model
// twin called with S = F and q = r. Every routine takes (kind, F, K, t, r,
// sigma), except Black76Theta, which takes sigma before t.

#include <cmath>

#include "carry.hpp"
#include "target.hpp"

KV_TARGET_BEGIN

template <class T>
inline T Black76Price(OptionKind kind, T F, T K, T t, double r, T sigma) {
  return carry::ForwardPrice(kind, F, K, t, sigma, Exp(-(r * t)));
}

template <class T>
inline T Black76Delta(OptionKind kind, T F, T K, T t, double r, T sigma) {
  return carry::Delta(kind, F, K, t, sigma, r, 0.0);
}

template <class T>
inline T Black76Gamma(OptionKind, T F, T K, T t, double r, T sigma) {
  return carry::Gamma(F, K, t, sigma, r, 0.0);
}

template <class T>
inline T Black76Vega(OptionKind, T F, T K, T t, double r, T sigma) {
  return carry::Vega(F, K, t, sigma, r, 0.0);
}

template <class T>
inline T Black76Theta(OptionKind kind, T F, T K, T sigma, T t, double r) {
  return carry::Theta(kind, F, K, sigma, t, r, r, 0.0);
}

// With F held fixed the rate acts only through the discount: rho = -0.01 t V.
template <class T>
inline T Black76Rho(OptionKind kind, T F, T K, T t, double r, T sigma) {
  return (Black76Price(kind, F, K, t, r, sigma) * t) * -0.01;
}

template <class T>
inline T Black76DualDelta(OptionKind kind, T F, T K, T t, double r, T sigma) {
  return carry::DualDelta(kind, F, K, t, r, sigma, 0.0);
}

template <class T>
inline T Black76DualGamma(OptionKind, T F, T K, T t, double r, T sigma) {
  return carry::DualGamma(F, K, t, r, sigma, 0.0);
}

template <class T>
inline T Black76Vanna(OptionKind, T F, T K, T t, double r, T sigma) {
  return carry::Vanna(F, K, t, r, sigma, 0.0);
}

template <class T>
inline T Black76Charm(OptionKind kind, T F, T K, T t, double r, T sigma) {
  return carry::Charm(kind, F, K, t, r, sigma, 0.0);
}

template <class T>
inline T Black76Vomma(OptionKind, T F, T K, T t, double r, T sigma) {
  return carry::Vomma(F, K, t, r, sigma, 0.0);
}

template <class T>
inline T Black76Speed(OptionKind, T F, T K, T t, double r, T sigma) {
  return carry::Speed(F, K, t, r, sigma, 0.0);
}

template <class T>
inline T Black76Zomma(OptionKind, T F, T K, T t, double r, T sigma) {
  return carry::Zomma(F, K, t, r, sigma, 0.0);
}

template <class T>
inline T Black76Color(OptionKind, T F, T K, T t, double r, T sigma) {
  return carry::Color(F, K, t, r, sigma, 0.0);
}

template <class T>
inline T Black76Veta(OptionKind, T F, T K, T t, double r, T sigma) {
  return carry::Veta(F, K, t, r, sigma, 0.0);
}

template <class T>
inline T Black76Ultima(OptionKind, T F, T K, T t, double r, T sigma) {
  return carry::Ultima(F, K, t, r, sigma, 0.0);
}

KV_TARGET_END
