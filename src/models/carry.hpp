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

namespace kv::carry {

// sqt, sd, d1 and d2 of the formulas; d2 is always formed as d1 - sd.
struct Terms {
  double sqt;
  double sd;
  double d1;
  double d2;
};

inline Terms MakeTerms(double S, double K, double t, double sigma, double b) {
  Terms x;
  x.sqt = std::sqrt(t);
  x.sd = sigma * x.sqt;
  x.d1 = (std::log(S / K) + t * (sigma * (sigma * 0.5) + b)) / x.sd;
  x.d2 = x.d1 - x.sd;
  return x;
}

// Price of an option on a forward F discounted by Dr. The variance term comes
// before the logarithm here, unlike in the Greeks' d1.
inline double ForwardPrice(OptionKind kind, double F, double K, double t, double sigma,
                           double Dr) {
  const double w = Sign(kind);
  const double sd = std::sqrt(t) * sigma;
  const double d1 = (t * (sigma * (sigma * 0.5)) + std::log(F / K)) / sd;
  const double d2 = d1 - sd;
  return Dr * (w * (F * NormCdf(d1 * w) - K * NormCdf(d2 * w)));
}

// ---- first order ----------------------------------------------------------

inline double Delta(OptionKind kind, double S, double K, double t, double sigma, double q,
                    double b) {
  const double w = Sign(kind);
  const Terms x = MakeTerms(S, K, t, sigma, b);
  const double Dq = std::exp(-(q * t));
  return (w * Dq) * NormCdf(w * x.d1);
}

inline double Gamma(double S, double K, double t, double sigma, double q, double b) {
  const Terms x = MakeTerms(S, K, t, sigma, b);
  const double Dq = std::exp(-(q * t));
  return (Dq * NormPdf(x.d1)) / (x.sqt * (S * sigma));
}

// Per percentage point of sigma.
inline double Vega(double S, double K, double t, double sigma, double q, double b) {
  const Terms x = MakeTerms(S, K, t, sigma, b);
  const double Dq = std::exp(-(q * t));
  return (x.sqt * ((S * Dq) * NormPdf(x.d1))) * 0.01;
}

// Per calendar day: the price's change as one day passes. The call divides by
// -365.0 instead of negating its terms, so a +0.0 bracket gives -0.0.
// sigma comes before t, as in the routines built on it.
inline double Theta(OptionKind kind, double S, double K, double sigma, double t, double r,
                    double q, double b) {
  const double sqt = std::sqrt(t);
  const double d1 = (std::log(S / K) + t * (sigma * (sigma * 0.5) + b)) / (sigma * sqt);
  const double d2 = d1 - sigma * sqt;
  const double Dq = std::exp(-(q * t));
  const double Dr = std::exp(-(r * t));
  const double A = (sigma * ((S * Dq) * NormPdf(d1))) / (sqt + sqt);
  const double B = (-(q * S)) * Dq;
  const double C = (K * r) * Dr;
  if (kind == OptionKind::Call) return ((A + B * NormCdf(d1)) + C * NormCdf(d2)) / -365.0;
  return ((B * NormCdf(-d1) - A) + C * NormCdf(-d2)) / 365.0;
}

inline double DualDelta(OptionKind kind, double S, double K, double t, double r, double sigma,
                        double b) {
  const Terms x = MakeTerms(S, K, t, sigma, b);
  const double Dr = std::exp(-(r * t));
  if (kind == OptionKind::Put) return Dr * NormCdf(-x.d2);
  return -(Dr * NormCdf(x.d2));
}

inline double DualGamma(double S, double K, double t, double r, double sigma, double b) {
  const Terms x = MakeTerms(S, K, t, sigma, b);
  const double Dr = std::exp(-(r * t));
  return (Dr * NormPdf(x.d2)) / (K * x.sd);
}

// ---- higher order: discounted with Dc = exp(t * (b - r)) ------------------

inline double Vanna(double S, double K, double t, double r, double sigma, double b) {
  const Terms x = MakeTerms(S, K, t, sigma, b);
  const double Dc = std::exp(t * (b - r));
  return (x.d2 * (NegNormPdf(x.d1) * Dc)) / sigma;
}

// The put's M is N(d1) + -1.0; with zero dividend T2 vanishes and both agree.
inline double Charm(OptionKind kind, double S, double K, double t, double r, double sigma,
                    double b) {
  const Terms x = MakeTerms(S, K, t, sigma, b);
  const double Dc = std::exp(t * (b - r));
  const double T1 = ((b / x.sd) - (x.d2 / (t + t))) * (Dc * NormPdf(x.d1));
  const double T2 = (b - r) * Dc;
  const double N1 = NormCdf(x.d1);
  const double M = kind == OptionKind::Call ? N1 : N1 + -1.0;
  return T1 + T2 * M;
}

inline double Vomma(double S, double K, double t, double r, double sigma, double b) {
  const Terms x = MakeTerms(S, K, t, sigma, b);
  const double Dc = std::exp(t * (b - r));
  return (x.d2 * (x.d1 * (x.sqt * ((S * Dc) * NormPdf(x.d1))))) / sigma;
}

inline double Speed(double S, double K, double t, double r, double sigma, double b) {
  const Terms x = MakeTerms(S, K, t, sigma, b);
  const double Dc = std::exp(t * (b - r));
  return ((x.d1 / x.sd) + 1.0) * (((Dc * NegNormPdf(x.d1)) / (S * x.sd)) / S);
}

inline double Zomma(double S, double K, double t, double r, double sigma, double b) {
  const Terms x = MakeTerms(S, K, t, sigma, b);
  const double Dc = std::exp(t * (b - r));
  return (((x.d1 * x.d2) + -1.0) * ((Dc * NormPdf(x.d1)) / (S * x.sd))) / sigma;
}

inline double Color(double S, double K, double t, double r, double sigma, double b) {
  const Terms x = MakeTerms(S, K, t, sigma, b);
  const double Dc = std::exp(t * (b - r));
  return (((b - r) - ((b * x.d1) / x.sd)) + (((x.d1 * x.d2) + -1.0) / (t + t))) *
         ((Dc * NormPdf(x.d1)) / (S * x.sd));
}

// Time derivative of the unscaled vega (100 times the reported vega).
inline double Veta(double S, double K, double t, double r, double sigma, double b) {
  const Terms x = MakeTerms(S, K, t, sigma, b);
  const double Dc = std::exp(t * (b - r));
  return (((b - r) - ((b * x.d1) / x.sd)) + (((x.d1 * x.d2) + 1.0) / (t + t))) *
         (x.sqt * ((S * Dc) * NormPdf(x.d1)));
}

inline double Ultima(double S, double K, double t, double r, double sigma, double b) {
  const Terms x = MakeTerms(S, K, t, sigma, b);
  const double Dc = std::exp(t * (b - r));
  const double p = x.d1 * x.d2;
  return ((x.d2 * x.d2) + ((x.d1 * x.d1) + (p * (1.0 - p)))) *
         ((x.sqt * ((S * Dc) * NegNormPdf(x.d1))) / (sigma * sigma));
}

}  // namespace kv::carry
