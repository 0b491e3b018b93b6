#pragma once

// Closed-form Greeks of a European option on an underlying S with cost of
// carry b, in the general cost-of-carry form shared by both model families:
//   Black-Scholes-Merton:  q = dividend yield, b = r - q
//   Black-76 (S = F):      q = r,              b = 0.0
// The dividend discount exp(-(q * t)) serves the first-order Greeks, the carry
// discount exp(t * (b - r)) the higher-order ones; they agree in exact
// arithmetic but not always in the last bit, and each Greek keeps its own.
//
// Every expression is evaluated in exactly the grouping written, each
// operation rounded on its own (the build forbids contraction into fused
// multiply-adds). No input is validated: IEEE arithmetic decides the edges.

#include <cmath>

#include "normal.hpp"
#include "option_kind.hpp"
#include "target.hpp"

KV_TARGET_BEGIN
namespace carry {

// Whether every lane is a zero (of either sign), or below a bound (not NaN).
inline bool AllZero(double x) {
  return x == 0.0;
}
inline bool AllBelow(double x, double bound) {
  return x < bound;
}
template <int N>
inline bool AllZero(const Lanes<N>& x) {
  bool all = true;
  for (int i = 0; i < N; ++i) all &= x.v[i] == 0.0;
  return all;
}
template <int N>
inline bool AllBelow(const Lanes<N>& x, double bound) {
  bool all = true;
  for (int i = 0; i < N; ++i) all &= x.v[i] < bound;
  return all;
}

// factor * NormCdf(x). NormCdf is never negative, so a zero factor -- the
// dividend term without a dividend, the carry term without carry -- gives
// that zero back, sign and all, and the distribution function is skipped.
// (A NaN x makes every formula using this NaN through its other terms.)
template <class T>
inline T TimesCdf(const T& factor, const T& x) {
  if (AllZero(factor)) return factor;
  return factor * NormCdf(x);
}

// sqt, sd, d1 and d2 of the formulas; d2 is always formed as d1 - sd.
template <class T>
struct Terms {
  T sqt;
  T sd;
  T d1;
  T d2;
};

template <class T>
inline Terms<T> MakeTerms(T S, T K, T t, T sigma, double b) {
  Terms<T> x;
  x.sqt = Sqrt(t);
  x.sd = sigma * x.sqt;
  x.d1 = (Log(S / K) + t * (sigma * (sigma * 0.5) + b)) / x.sd;
  x.d2 = x.d1 - x.sd;
  return x;
}

// Price of an option on a forward F discounted by Dr. The variance term comes
// before the logarithm here, unlike in the Greeks' d1.
template <class T>
inline T ForwardPrice(OptionKind kind, T F, T K, T t, T sigma, T Dr) {
  const double w = Sign(kind);
  const T sd = Sqrt(t) * sigma;
  const T d1 = (t * (sigma * (sigma * 0.5)) + Log(F / K)) / sd;
  const T d2 = d1 - sd;
  return Dr * (w * (F * NormCdf(d1 * w) - K * NormCdf(d2 * w)));
}

// ---- first order ----------------------------------------------------------

template <class T>
inline T Delta(OptionKind kind, T S, T K, T t, T sigma, double q, double b) {
  const double w = Sign(kind);
  const Terms<T> x = MakeTerms(S, K, t, sigma, b);
  const T Dq = Exp(-(q * t));
  return (w * Dq) * NormCdf(w * x.d1);
}

template <class T>
inline T Gamma(T S, T K, T t, T sigma, double q, double b) {
  const Terms<T> x = MakeTerms(S, K, t, sigma, b);
  const T Dq = Exp(-(q * t));
  return (Dq * NormPdf(x.d1)) / (x.sqt * (S * sigma));
}

// Per percentage point of sigma.
template <class T>
inline T Vega(T S, T K, T t, T sigma, double q, double b) {
  const Terms<T> x = MakeTerms(S, K, t, sigma, b);
  const T Dq = Exp(-(q * t));
  return (x.sqt * ((S * Dq) * NormPdf(x.d1))) * 0.01;
}

// Per calendar day: the price's change as one day passes. The call divides by
// -365.0 instead of negating its terms, so a +0.0 bracket gives -0.0.
// sigma comes before t, as in the routines built on it.
template <class T>
inline T Theta(OptionKind kind, T S, T K, T sigma, T t, double r, double q, double b) {
  const T sqt = Sqrt(t);
  const T d1 = (Log(S / K) + t * (sigma * (sigma * 0.5) + b)) / (sigma * sqt);
  const T d2 = d1 - sigma * sqt;
  const T Dq = Exp(-(q * t));
  const T Dr = Exp(-(r * t));
  const T A = (sigma * ((S * Dq) * NormPdf(d1))) / (sqt + sqt);
  const T B = (-(q * S)) * Dq;
  const T C = (K * r) * Dr;
  if (kind == OptionKind::Call) return ((A + TimesCdf(B, d1)) + C * NormCdf(d2)) / -365.0;
  return ((TimesCdf(B, -d1) - A) + C * NormCdf(-d2)) / 365.0;
}

template <class T>
inline T DualDelta(OptionKind kind, T S, T K, T t, double r, T sigma, double b) {
  const Terms<T> x = MakeTerms(S, K, t, sigma, b);
  const T Dr = Exp(-(r * t));
  if (kind == OptionKind::Put) return Dr * NormCdf(-x.d2);
  return -(Dr * NormCdf(x.d2));
}

template <class T>
inline T DualGamma(T S, T K, T t, double r, T sigma, double b) {
  const Terms<T> x = MakeTerms(S, K, t, sigma, b);
  const T Dr = Exp(-(r * t));
  return (Dr * NormPdf(x.d2)) / (K * x.sd);
}

// ---- higher order: discounted with Dc = exp(t * (b - r)) ------------------

template <class T>
inline T Vanna(T S, T K, T t, double r, T sigma, double b) {
  const Terms<T> x = MakeTerms(S, K, t, sigma, b);
  const T Dc = Exp(t * (b - r));
  return (x.d2 * (NegNormPdf(x.d1) * Dc)) / sigma;
}

// The put's M is N(d1) + -1.0; with zero dividend T2 vanishes and both agree.
template <class T>
inline T Charm(OptionKind kind, T S, T K, T t, double r, T sigma, double b) {
  const Terms<T> x = MakeTerms(S, K, t, sigma, b);
  const T Dc = Exp(t * (b - r));
  const T T1 = ((b / x.sd) - (x.d2 / (t + t))) * (Dc * NormPdf(x.d1));
  const T T2 = (b - r) * Dc;
  if (kind == OptionKind::Call) return T1 + TimesCdf(T2, x.d1);
  // The put's M = N(d1) + -1.0 is negative wherever N(d1) < 1, as it is
  // below d1 = 8: a zero T2 then gives T2 * M = -T2.
  if (AllZero(T2) && AllBelow(x.d1, 8.0)) return T1 + -T2;
  return T1 + T2 * (NormCdf(x.d1) + -1.0);
}

template <class T>
inline T Vomma(T S, T K, T t, double r, T sigma, double b) {
  const Terms<T> x = MakeTerms(S, K, t, sigma, b);
  const T Dc = Exp(t * (b - r));
  return (x.d2 * (x.d1 * (x.sqt * ((S * Dc) * NormPdf(x.d1))))) / sigma;
}

template <class T>
inline T Speed(T S, T K, T t, double r, T sigma, double b) {
  const Terms<T> x = MakeTerms(S, K, t, sigma, b);
  const T Dc = Exp(t * (b - r));
  return ((x.d1 / x.sd) + 1.0) * (((Dc * NegNormPdf(x.d1)) / (S * x.sd)) / S);
}

template <class T>
inline T Zomma(T S, T K, T t, double r, T sigma, double b) {
  const Terms<T> x = MakeTerms(S, K, t, sigma, b);
  const T Dc = Exp(t * (b - r));
  return (((x.d1 * x.d2) + -1.0) * ((Dc * NormPdf(x.d1)) / (S * x.sd))) / sigma;
}

template <class T>
inline T Color(T S, T K, T t, double r, T sigma, double b) {
  const Terms<T> x = MakeTerms(S, K, t, sigma, b);
  const T Dc = Exp(t * (b - r));
  return (((b - r) - ((b * x.d1) / x.sd)) + (((x.d1 * x.d2) + -1.0) / (t + t))) *
         ((Dc * NormPdf(x.d1)) / (S * x.sd));
}

// Time derivative of the unscaled vega (100 times the reported vega).
template <class T>
inline T Veta(T S, T K, T t, double r, T sigma, double b) {
  const Terms<T> x = MakeTerms(S, K, t, sigma, b);
  const T Dc = Exp(t * (b - r));
  return (((b - r) - ((b * x.d1) / x.sd)) + (((x.d1 * x.d2) + 1.0) / (t + t))) *
         (x.sqt * ((S * Dc) * NormPdf(x.d1)));
}

template <class T>
inline T Ultima(T S, T K, T t, double r, T sigma, double b) {
  const Terms<T> x = MakeTerms(S, K, t, sigma, b);
  const T Dc = Exp(t * (b - r));
  const T p = x.d1 * x.d2;
  return ((x.d2 * x.d2) + ((x.d1 * x.d1) + (p * (1.0 - p)))) *
         ((x.sqt * ((S * Dc) * NegNormPdf(x.d1))) / (sigma * sigma));
}

}  // namespace carry
KV_TARGET_END
