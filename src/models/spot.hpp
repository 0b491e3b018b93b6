#pragma once

// Black-Scholes-Merton on a spot price S with continuous dividend yield q:
// the shared terms with X = S and carry b = r - q. Black-Scholes is the same
// model called with q = 0.0, which makes the two agree bit for bit by
// construction. Bsm<Q> evaluates quantity Q (greeks.hpp) for one option or a
// block of options, in the argument order (kind, S, K, t, r, sigma, q).

#include "../simd/target.hpp"
#include "greeks.hpp"

KV_TARGET_BEGIN

template <class Q, class T>
inline T Bsm(OptionKind kind, T S, T K, T t, double r, T sigma, double q) {
  auto x = SpotModel::Make<T, double>(Sign(kind), S, K, t, r, sigma, q);
  return Q::Of(x);
}

KV_TARGET_END
