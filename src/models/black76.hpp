#pragma once

// Black-76 on a forward or futures price F, discounted at r: the shared terms
// with X = F, q = r and zero carry (b = 0.0). That is why, for finite r and
// t, every quantity but rho equals its spot-model twin called with S = F and
// q = r. Black76<Q> evaluates quantity Q (greeks.hpp) in the argument order
// (kind, F, K, t, r, sigma).

#include "../simd/target.hpp"
#include "greeks.hpp"

KV_TARGET_BEGIN

template <class Q, class T>
inline T Black76(OptionKind kind, T F, T K, T t, double r, T sigma) {
  auto x = ForwardModel::Make<T, double>(Sign(kind), F, K, t, r, sigma, r);
  return Q::Of(x);
}

KV_TARGET_END
