#pragma once

// exp and log of a block of lanes. Every exp and log the block evaluations
// take goes through here: the vector implementations of vector_math.hpp where
// the running process's platform functions give the same bits (checked once,
// on first use), the platform functions lane by lane otherwise.

#include <cmath>

#include "../simd/lanes.hpp"
#include "../simd/target.hpp"
#include "../simd/vector_math.hpp"

KV_TARGET_BEGIN

// Whether this target's blocks use the vector exp and log. Only targets with
// fused multiply-adds in hardware can reproduce the platform's results at
// speed; elsewhere, and in KESTROVANE_PLATFORM_MATH builds, the platform
// functions serve. Decided on first use, never at load: the kernels of wider
// targets run no code before they are chosen. The whole-book module asks at
// its import, for the chosen target only (PrepareBookKernels), so that no
// call of a book runs the check on its caller's stack.
inline bool FastMathEnabled() {
#if defined(KV_PLATFORM_MATH) || !defined(__FMA__)
  return false;
#else
  static const bool enabled = VectorMathMatchesPlatform();
  return enabled;
#endif
}

// The platform's exp lane by lane. The same argument gives the same result,
// so a lane whose argument has the bits of the previous lane's reuses that
// result. In an option chain the discount and forward factors depend on t
// alone, and neighbouring options share their expiry: most of those
// exponentials are then never taken.
template <int N>
KV_INLINE Lanes<N> PlatformExp(const Lanes<N>& a) {
  double previous = 0.0;
  return FromLanes<N>([&](int i) {
    if (i == 0 || Bits(a.v[i]) != Bits(a.v[i - 1])) previous = std::exp(a.v[i]);
    return previous;
  });
}

template <int N>
KV_INLINE Lanes<N> PlatformLog(const Lanes<N>& a) {
  return FromLanes<N>([&](int i) { return std::log(a.v[i]); });
}

// exp(+-0) is exactly 1. Without a dividend (Black-Scholes) or a cost of
// carry, the dividend and carry discounts are exp of zeros: a block of them
// takes no exponential.
template <int N>
KV_INLINE Lanes<N> Exp(const Lanes<N>& a) {
  if (AllLanes(a.v == 0.0)) return {typename Lanes<N>::Vec{} + 1.0};
  if (FastMathEnabled()) return VectorExp(a);
  return PlatformExp(a);
}

template <int N>
KV_INLINE Lanes<N> Log(const Lanes<N>& a) {
  if (FastMathEnabled()) return VectorLog(a);
  return PlatformLog(a);
}

KV_TARGET_END
