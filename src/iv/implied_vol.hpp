#pragma once

// The three models' implied volatility, each mapped onto the one forward-price
// solver. These routines only state the problem in forward terms; the
// scalar functions solve it at once, the array functions in blocks.

#include <cmath>

#include "../models/target.hpp"
#include "solver.hpp"

KV_TARGET_BEGIN

// Black-Scholes-Merton: F = S * exp(t * (r - q)), the difference taken first.
// Black-Scholes passes q = 0.0, for which r - 0.0 is r to the bit.
inline IvInputs BsmIvInputs(OptionKind, double price, double S, double K, double t, double r,
                            double q) {
  return {price, S * std::exp(t * (r - q)), K, t, r};
}

inline IvInputs Black76IvInputs(OptionKind, double price, double F, double K, double t, double r) {
  return {price, F, K, t, r};
}

KV_TARGET_END
