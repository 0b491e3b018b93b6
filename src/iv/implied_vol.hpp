#pragma once

// The three models' implied volatility, each mapped onto the one forward-price
// solver. These routines only state the problem in forward terms; the
// scalar functions solve it at once, the array functions in blocks.

#include <cmath>

#include "../simd/lanes.hpp"
#include "../simd/target.hpp"
#include "block_solver.hpp"
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

// The same for a block of W options, by the same operations lane by lane; the
// rates are shared by the block (double) or one per lane (Lanes).
template <int W, class P>
inline IvBlockInputs<W> BsmIvInputs(OptionKind, const Lanes<W>& price, const Lanes<W>& S,
                                    const Lanes<W>& K, const Lanes<W>& t, const P& r, const P& q) {
  return {price, S * Exp(t * (r - q)), K, t, PerLane<W>(r)};
}

template <int W, class P>
inline IvBlockInputs<W> Black76IvInputs(OptionKind, const Lanes<W>& price, const Lanes<W>& F,
                                        const Lanes<W>& K, const Lanes<W>& t, const P& r) {
  return {price, F, K, t, PerLane<W>(r)};
}

KV_TARGET_END
