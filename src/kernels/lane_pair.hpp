#pragma once

// LanePair<N>: two blocks of N lanes, evaluated side by side. Every operation
// applies to each block on its own, with exactly the Lanes<N> operations, so
// each lane keeps its bits. What a pair adds is interleaving: the two blocks'
// long chains of dependent steps (exponentials, divisions, the normal
// distribution's rational functions) stand side by side in the instruction
// stream, where the processor overlaps them.

#include "../math/block_math.hpp"
#include "../math/normal.hpp"
#include "../models/terms.hpp"
#include "../simd/lanes.hpp"
#include "../simd/target.hpp"

KV_TARGET_BEGIN

template <int N>
struct LanePair {
  Lanes<N> lo, hi;
};

// Pairs pay where the registers hold both blocks' values: with the 32 vector
// registers of AVX-512, not with 16 (measured: slower there).
template <int N>
inline constexpr bool kPairBlocks = N == 8;

#define KV_PAIR_BINARY(op)                                                        \
  template <int N>                                                                \
  KV_INLINE LanePair<N> operator op(const LanePair<N>& a, const LanePair<N>& b) { \
    return {a.lo op b.lo, a.hi op b.hi};                                          \
  }                                                                               \
  template <int N>                                                                \
  KV_INLINE LanePair<N> operator op(const LanePair<N>& a, double b) {             \
    return {a.lo op b, a.hi op b};                                                \
  }                                                                               \
  template <int N>                                                                \
  KV_INLINE LanePair<N> operator op(double a, const LanePair<N>& b) {             \
    return {a op b.lo, a op b.hi};                                                \
  }
KV_PAIR_BINARY(+)
KV_PAIR_BINARY(-)
KV_PAIR_BINARY(*)
KV_PAIR_BINARY(/)
#undef KV_PAIR_BINARY

template <int N>
KV_INLINE LanePair<N> operator-(const LanePair<N>& a) {
  return {-a.lo, -a.hi};
}

// The functions of a block, on each block.
#define KV_PAIR_FUNCTION(name)                       \
  template <int N>                                   \
  KV_INLINE LanePair<N> name(const LanePair<N>& a) { \
    return {name(a.lo), name(a.hi)};                 \
  }
KV_PAIR_FUNCTION(Sqrt)
KV_PAIR_FUNCTION(Exp)
KV_PAIR_FUNCTION(Log)
KV_PAIR_FUNCTION(NormCdf)
KV_PAIR_FUNCTION(WithCanonicalNaN)
#undef KV_PAIR_FUNCTION

// The shortcuts the routines take where a whole block allows them give every
// lane the same bits either way, so a pair takes one only where both blocks
// allow it.
template <int N>
KV_INLINE bool AllZero(const LanePair<N>& x) {
  return AllZero(x.lo) && AllZero(x.hi);
}
template <int N>
KV_INLINE bool AllCalls(const LanePair<N>& w) {
  return AllCalls(w.lo) && AllCalls(w.hi);
}
template <int N>
KV_INLINE bool AllCallOrBelow(double w, const LanePair<N>& x, double bound) {
  return AllCallOrBelow(w, x.lo, bound) && AllCallOrBelow(w, x.hi, bound);
}
template <int N>
KV_INLINE bool AllCallOrBelow(const LanePair<N>& w, const LanePair<N>& x, double bound) {
  return AllCallOrBelow(w.lo, x.lo, bound) && AllCallOrBelow(w.hi, x.hi, bound);
}
template <int N>
KV_INLINE LanePair<N> ByKind(const LanePair<N>& w, const LanePair<N>& call,
                             const LanePair<N>& put) {
  return {ByKind(w.lo, call.lo, put.lo), ByKind(w.hi, call.hi, put.hi)};
}

// 2N consecutive doubles from p: two vector loads.
template <int N>
KV_INLINE LanePair<N> LoadLanePair(const char* p) {
  return {LoadLanes<N>(p), LoadLanes<N>(p + N * sizeof(double))};
}

KV_TARGET_END
