#pragma once

// The three models' implied volatility, each mapped onto the one forward-price
// solver. The forward is formed exactly as the spot models' price forms it.

#include <cmath>

#include "solver.hpp"

namespace kv {

// Black-Scholes-Merton: F = S * exp(t * (r - q)). Black-Scholes passes q = 0.0,
// for which r - 0.0 is r to the bit.
inline IvResult BsmImpliedVol(OptionKind kind, double price, double S, double K, double t, double r,
                              double q) {
  return SolveImpliedVol(kind, price, S * std::exp(t * (r - q)), K, t, r);
}

inline IvResult Black76ImpliedVol(OptionKind kind, double price, double F, double K, double t,
                                  double r) {
  return SolveImpliedVol(kind, price, F, K, t, r);
}

}  // namespace kv
