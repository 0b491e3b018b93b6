#pragma once

// Black-Scholes-Merton on a spot price S with continuous dividend yield q.
// Black-Scholes is the same family called with q = 0.0, which makes the two
// agree bit for bit by construction. Every routine takes
// (kind, S, K, t, r, sigma, q), except BsmTheta, which takes sigma before t.

#include <cmath>

#include "carry.hpp"
#include "target.hpp"

KV_TARGET_BEGIN

template <class T>
inline T BsmPrice(OptionKind kind, T S, T K, T t, double r, T sigma, double q) {
  const T F = S * Exp(t * (r - q));
  const T Dr = Exp(-(r * t));
  return carry::ForwardPrice(kind, F, K, t, sigma, Dr);
}

template <class T>
inline T BsmDelta(OptionKind kind, T S, T K, T t, double r, T sigma, double q) {
  return carry::Delta(kind, S, K, t, sigma, q, r - q);
}

template <class T>
inline T BsmGamma(OptionKind, T S, T K, T t, double r, T sigma, double q) {
  return carry::Gamma(S, K, t, sigma, q, r - q);
}

template <class T>
inline T BsmVega(OptionKind, T S, T K, T t, double r, T sigma, double q) {
  return carry::Vega(S, K, t, sigma, q, r - q);
}

template <class T>
inline T BsmTheta(OptionKind kind, T S, T K, T sigma, T t, double r, double q) {
  return carry::Theta(kind, S, K, sigma, t, r, q, r - q);
}

// Per percentage point of r, q held fixed.
template <class T>
inline T BsmRho(OptionKind kind, T S, T K, T t, double r, T sigma, double q) {
  const double w = Sign(kind);
  const carry::Terms<T> x = carry::MakeTerms(S, K, t, sigma, r - q);
  const T Dr = Exp(-(r * t));
  return ((Dr * (K * (t * w))) * NormCdf(w * x.d2)) * 0.01;
}

template <class T>
inline T BsmDualDelta(OptionKind kind, T S, T K, T t, double r, T sigma, double q) {
  return carry::DualDelta(kind, S, K, t, r, sigma, r - q);
}

template <class T>
inline T BsmDualGamma(OptionKind, T S, T K, T t, double r, T sigma, double q) {
  return carry::DualGamma(S, K, t, r, sigma, r - q);
}

template <class T>
inline T BsmVanna(OptionKind, T S, T K, T t, double r, T sigma, double q) {
  return carry::Vanna(S, K, t, r, sigma, r - q);
}

template <class T>
inline T BsmCharm(OptionKind kind, T S, T K, T t, double r, T sigma, double q) {
  return carry::Charm(kind, S, K, t, r, sigma, r - q);
}

template <class T>
inline T BsmVomma(OptionKind, T S, T K, T t, double r, T sigma, double q) {
  return carry::Vomma(S, K, t, r, sigma, r - q);
}

template <class T>
inline T BsmSpeed(OptionKind, T S, T K, T t, double r, T sigma, double q) {
  return carry::Speed(S, K, t, r, sigma, r - q);
}

template <class T>
inline T BsmZomma(OptionKind, T S, T K, T t, double r, T sigma, double q) {
  return carry::Zomma(S, K, t, r, sigma, r - q);
}

template <class T>
inline T BsmColor(OptionKind, T S, T K, T t, double r, T sigma, double q) {
  return carry::Color(S, K, t, r, sigma, r - q);
}

template <class T>
inline T BsmVeta(OptionKind, T S, T K, T t, double r, T sigma, double q) {
  return carry::Veta(S, K, t, r, sigma, r - q);
}

template <class T>
inline T BsmUltima(OptionKind, T S, T K, T t, double r, T sigma, double q) {
  return carry::Ultima(S, K, t, r, sigma, r - q);
}

KV_TARGET_END
