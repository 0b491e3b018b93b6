#pragma once

// Lanes<N>: N doubles evaluated side by side. The formulas are written once,
// as templates over their per-option value type: double for a single option,
// Lanes<N> for a block of N options in the array loops. Every operation on
// Lanes is the same IEEE operation applied lane by lane (the compiler's
// generic vectors, lowered to whatever SIMD registers the target has), so each
// lane's result is bit for bit the double evaluation of that lane. A block
// gains independence -- N chains of arithmetic and N library calls in flight
// instead of one long dependent chain per option -- and SIMD arithmetic.

#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "target.hpp"

KV_TARGET_BEGIN

// The generic vector types of N lanes (sizes spelled out: the compiler
// does not take a dependent size in the vector attribute).
template <int N>
struct VectorTypes;
#define KV_VECTOR_TYPES(N)                                          \
  template <>                                                       \
  struct VectorTypes<N> {                                           \
    typedef double Vec __attribute__((vector_size(N * 8)));         \
    typedef std::int64_t Mask __attribute__((vector_size(N * 8)));  \
    typedef std::int32_t Index __attribute__((vector_size(N * 4))); \
  };
KV_VECTOR_TYPES(2)
KV_VECTOR_TYPES(4)
KV_VECTOR_TYPES(8)
#undef KV_VECTOR_TYPES

// The lanes of a block on this target: one vector register of doubles.
#if defined(__AVX512F__)
inline constexpr int kBlockLanes = 8;
#elif defined(__AVX2__)
inline constexpr int kBlockLanes = 4;
#else
inline constexpr int kBlockLanes = 2;
#endif

template <int N>
struct Lanes {
  using Vec = typename VectorTypes<N>::Vec;
  using Mask = typename VectorTypes<N>::Mask;
  using Index = typename VectorTypes<N>::Index;
  Vec v;

  double operator[](int i) const { return v[i]; }
};

// Elementwise arithmetic, with a shared double on either side.
#define KV_LANES_BINARY(op)                                           \
  template <int N>                                                    \
  inline Lanes<N> operator op(const Lanes<N>& a, const Lanes<N>& b) { \
    return {a.v op b.v};                                              \
  }                                                                   \
  template <int N>                                                    \
  inline Lanes<N> operator op(const Lanes<N>& a, double b) {          \
    return {a.v op b};                                                \
  }                                                                   \
  template <int N>                                                    \
  inline Lanes<N> operator op(double a, const Lanes<N>& b) {          \
    return {a op b.v};                                                \
  }
KV_LANES_BINARY(+)
KV_LANES_BINARY(-)
KV_LANES_BINARY(*)
KV_LANES_BINARY(/)
#undef KV_LANES_BINARY

template <int N>
inline Lanes<N> operator-(const Lanes<N>& a) {
  return {-a.v};
}

// ---- the math functions, for one value and for a block ---------------------

inline double Exp(double x) {
  return std::exp(x);
}
inline double Log(double x) {
  return std::log(x);
}
inline double Sqrt(double x) {
  return std::sqrt(x);
}

inline std::uint64_t Bits(double x) {
  std::uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

// Every NaN a result carries leaves the library as the default quiet NaN
// (0x7ff8000000000000). Which NaN operand an operation propagates depends on
// how the compiler ordered its operands, which differs between the one-option
// and the block evaluation; one NaN for all keeps the two paths bit-identical.
inline double WithCanonicalNaN(double x) {
  return x == x ? x : __builtin_nan("");
}
template <int N>
KV_INLINE Lanes<N> WithCanonicalNaN(const Lanes<N>& x) {
  const typename Lanes<N>::Vec nan = typename Lanes<N>::Vec{} + __builtin_nan("");
  return {x.v == x.v ? x.v : nan};
}

// The vector of f(0), ..., f(N-1), called in lane order. The lanes are put
// together in registers: writing them one by one into a vector in memory and
// reading it back whole would stall on every block (a wide load cannot be
// forwarded from narrow stores).
template <int N, class F>
KV_INLINE Lanes<N> FromLanes(F&& f) {
  if constexpr (N == 2) {
    const double a = f(0);
    const double b = f(1);
    return {typename Lanes<N>::Vec{a, b}};
  } else if constexpr (N == 4) {
    const double a = f(0);
    const double b = f(1);
    const double c = f(2);
    const double d = f(3);
    return {typename Lanes<N>::Vec{a, b, c, d}};
  } else {
    static_assert(N == 8);
    const double a = f(0);
    const double b = f(1);
    const double c = f(2);
    const double d = f(3);
    const double e = f(4);
    const double g = f(5);
    const double h = f(6);
    const double k = f(7);
    return {typename Lanes<N>::Vec{a, b, c, d, e, g, h, k}};
  }
}

// N consecutive doubles from p, which need not be aligned: one vector load.
// The intrinsics keep the compiler from splitting the load in halves, whose
// stores into a block in memory could not be forwarded to a whole-vector read.
template <int N>
KV_INLINE Lanes<N> LoadLanes(const char* p) {
#if defined(__AVX512F__)
  if constexpr (N == 8) return {(typename Lanes<N>::Vec)_mm512_loadu_pd(p)};
#endif
#if defined(__AVX__)
  if constexpr (N == 4) return {(typename Lanes<N>::Vec)_mm256_loadu_pd((const double*)p)};
#endif
#if defined(__SSE2__)
  if constexpr (N == 2) return {(typename Lanes<N>::Vec)_mm_loadu_pd((const double*)p)};
#endif
  Lanes<N> out;
  std::memcpy(&out.v, p, sizeof out.v);
  return out;
}

// Whether any lane, or every lane, of a comparison result is set: one mask
// extraction instead of a comparison per lane.
template <class M>
KV_INLINE int LaneBits(M m) {
  constexpr int n = sizeof(M) / 8;
#if defined(__AVX512F__)
  if constexpr (n == 8) return _mm512_test_epi64_mask((__m512i)m, (__m512i)m);
#endif
#if defined(__AVX__)
  if constexpr (n == 4) return _mm256_movemask_pd((__m256d)m);
#endif
#if defined(__SSE2__)
  if constexpr (n == 2) return _mm_movemask_pd((__m128d)m);
#endif
  int bits = 0;
  for (int i = 0; i < n; ++i) bits |= (m[i] != 0) << i;
  return bits;
}
template <class M>
KV_INLINE bool AnyLane(M m) {
  return LaneBits(m) != 0;
}
template <class M>
KV_INLINE bool AllLanes(M m) {
  return LaneBits(m) == (1 << (sizeof(M) / 8)) - 1;
}

// exp and log of a block are in block_math.hpp.

// Square roots are correctly rounded, so the vector instruction gives each
// lane exactly the double std::sqrt gives.
template <int N>
KV_INLINE Lanes<N> Sqrt(const Lanes<N>& a) {
#if defined(__SSE2__)
  if constexpr (N == 2) return {(typename Lanes<N>::Vec)_mm_sqrt_pd((__m128d)a.v)};
#endif
#if defined(__AVX__)
  if constexpr (N == 4) return {(typename Lanes<N>::Vec)_mm256_sqrt_pd((__m256d)a.v)};
#endif
#if defined(__AVX512F__)
  // The zero-masked form: the plain one trips GCC 12's uninitialised-value warning.
  if constexpr (N == 8) return {(typename Lanes<N>::Vec)_mm512_maskz_sqrt_pd(0xff, (__m512d)a.v)};
#endif
  return FromLanes<N>([&](int i) { return std::sqrt(a.v[i]); });
}

KV_TARGET_END
