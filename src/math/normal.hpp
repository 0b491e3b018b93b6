#pragma once

// The standard normal density and distribution function.
//
// NormCdf keeps full double precision over the whole real line: the far left
// tail is summed directly from its asymptotic series instead of being formed
// as 1 minus the right tail, so NormCdf(-37.5) is about 4.6e-308, not 0.
// It is written once as pieces of arithmetic, composed with branches for one
// value and stage by stage for a block of values (Lanes); both compositions
// run the same operations on each value and give the same doubles.

#include <cmath>

#include "../simd/lanes.hpp"
#include "../simd/target.hpp"
#include "block_math.hpp"

namespace kv {

// exp(-y*y) is split as exp(-yq*yq) * exp(-(y+yq)*(y-yq)), with yq = y truncated
// to a multiple of 1/16: yq*yq is exact, so only the small second factor
// carries the rounding of its argument. The first factor takes at most 425
// values, one per k = 16*yq, computed by the compiler: GCC evaluates exp at
// compile time correctly rounded, which is the double the platform's exp
// returns at these arguments (the kernel test checks every one). Nothing is
// filled at load, so no kernel unit of a wider target runs code at load;
// each unit holds its own copy (internal linkage).
inline constexpr int kSplitSteps = 425;  // k <= trunc(26.543 * 16)

struct SplitTable {
  double head[kSplitSteps];  // exp(-(yq * yq)) for yq = k * 0.0625
};

constexpr SplitTable MakeSplitTable() {
  SplitTable table{};
  for (int k = 0; k < kSplitSteps; ++k) {
    const double yq = static_cast<double>(k) * 0.0625;
    table.head[k] = std::exp(-(yq * yq));
  }
  return table;
}
constexpr SplitTable kSplitTable = MakeSplitTable();

}  // namespace kv

KV_TARGET_BEGIN

inline constexpr double kDensityFactor = 0.3989422804014327;  // 1/sqrt(2*pi)

// The density from its exponential e = exp(x * (x * -0.5)), for callers that
// take that exponential once for several uses or for a block of lanes.
template <class T>
inline T NormPdfFromExp(const T& e) {
  return e * kDensityFactor;
}

// exp(x * (x * -0.5)) * 1/sqrt(2*pi), in exactly that order.
template <class T>
inline T NormPdf(const T& x) {
  return NormPdfFromExp(Exp(x * (x * -0.5)));
}

// -NormPdf(x), formed with the negated constant so it is exactly the negation.
template <class T>
inline T NegNormPdf(const T& x) {
  return Exp(x * (x * -0.5)) * -kDensityFactor;
}

namespace detail {

// W. J. Cody's rational Chebyshev approximations of erfc, in the three-interval
// arrangement of his erf/erfc routine. Each pair (num, den) is one Horner step;
// the numerator starts from its lead multiplier, the denominator from the bare
// variable, and the last pair is added after the final step.
struct ErfcPair {
  double num;
  double den;
};

// y <= 0.46875, variable y*y.
inline constexpr double kSmallLead = 0.18577770618460315;
inline constexpr ErfcPair kSmallSteps[] = {
    {3.1611237438705655, 23.601290952344122},
    {113.86415415105016, 244.02463793444417},
    {377.485237685302, 1282.6165260773723},
};
inline constexpr ErfcPair kSmallLast = {3209.3775891384694, 2844.236833439171};

// 0.46875 < y <= 4, variable y. The two last values differ in their ninth
// digit: they are two coefficients, not one typed twice.
inline constexpr double kMiddleLead = 2.1531153547440383e-08;
inline constexpr ErfcPair kMiddleSteps[] = {
    {0.5641884969886701, 15.744926110709835}, {8.883149794388377, 117.6939508913125},
    {66.11919063714163, 537.1811018620099},   {298.6351381974001, 1621.3895745666903},
    {881.952221241769, 3290.7992357334597},   {1712.0476126340707, 4362.619090143247},
    {2051.0783778260716, 3439.3676741437216},
};
inline constexpr ErfcPair kMiddleLast = {1230.3393547979972, 1230.3393548037495};

// 4 < y < 26.543, variable 1/(u*u).
inline constexpr double kLargeLead = 0.016315387137302097;
inline constexpr ErfcPair kLargeSteps[] = {
    {0.30532663496123236, 2.568520192289822},
    {0.36034489994980445, 1.8729528499234604},
    {0.12578172611122926, 0.5279051029514285},
    {0.016083785148742275, 0.06051834131244132},
};
inline constexpr ErfcPair kLargeLast = {0.0006587491615298378, 0.0023352049762686918};

inline constexpr double kTailFactor = 0.5641895835477563;  // 1/sqrt(pi)
inline constexpr double kSaturation = 26.543;

// Horner steps shared by the three intervals: num = (num + a) * v, den = (den + b) * v.
template <class T, unsigned N>
KV_INLINE void ErfcHorner(const ErfcPair (&steps)[N], T v, T& num, T& den) {
  for (const ErfcPair& step : steps) {
    num = (num + step.num) * v;
    den = (den + step.den) * v;
  }
}

// The pieces below serve one value (T = double) and a block of values
// (T = a generic vector, where the comparison selects lane by lane).
inline double Select(bool c, double a, double b) {
  return c ? a : b;
}
template <class M, class V>
KV_INLINE V Select(M c, V a, V b) {
  return c ? a : b;
}

// erfc(u) for y = |u| <= 0.46875; below 1.11e-16 the square is taken as 0.
template <class T>
KV_INLINE T SmallErfc(T u, T y) {
  const T s = Select(y > 1.11e-16, y * y, T{});
  T num = kSmallLead * s;
  T den = s;
  ErfcHorner(kSmallSteps, s, num, den);
  num = num + kSmallLast.num;
  den = den + kSmallLast.den;
  return 1.0 - (u * num) / den;
}

// The rational factor R of erfc(y) = exp(-y*y) * R for 0.46875 < y <= 4.
template <class T>
KV_INLINE T MiddleRatio(T y) {
  T num = kMiddleLead * y;
  T den = y;
  ErfcHorner(kMiddleSteps, y, num, den);
  return (num + kMiddleLast.num) / (den + kMiddleLast.den);
}

// The same for 4 < y < 26.543, in the variable 1/(u*u).
template <class T>
KV_INLINE T LargeRatio(T u, T y) {
  const T s = 1.0 / (u * u);
  T num = kLargeLead * s;
  T den = s;
  ErfcHorner(kLargeSteps, s, num, den);
  num = num + kLargeLast.num;
  den = den + kLargeLast.den;
  return (kTailFactor - (s * num) / den) / y;
}

// erfc(y) * (1 or 2 - .) for y in (0.46875, 26.543), from its ratio R.
// k = trunc(y * 16) is formed in an integer, exact for these y.
inline double SplitErfc(double u, double y, double R) {
  const int k = static_cast<int>(y * 16.0);
  const double yq = static_cast<double>(k) * 0.0625;
  const double erfc = (kSplitTable.head[k] * std::exp(-((y + yq) * (y - yq)))) * R;
  return u < 0.0 ? 2.0 - erfc : erfc;
}

// Phi(x) for x <= -10 from the asymptotic series
//   Phi(x) ~ -phi(x)/x * (1 - 1/x^2 + 1*3/x^4 - 1*3*5/x^6 + ...),
// two terms per step, stopped when the terms stop shrinking (the series has
// begun to diverge) or no longer change the sum. Below -2^26 the correction
// is far below one ulp and the series is not summed.
inline double NormCdfLeftTail(double x) {
  double sum = 1.0;
  if (x >= -67108864.0) {
    const double z2 = x * x;
    double i = 1.0;
    double g = 1.0;
    double a = 1.7976931348623157e308;
    double previous;
    do {
      previous = a;
      const double p = (4.0 * i - 3.0) / z2;
      const double q = p * ((4.0 * i - 1.0) / z2);
      a = g * (p - q);
      sum = sum - a;
      g = g * q;
      i = i + 1.0;
      a = std::fabs(a);
    } while (previous > a && a >= std::fabs(sum) * 2.220446049250313e-16);
  }
  return ((std::exp(x * (x * -0.5)) * -kDensityFactor) * sum) / x;
}

}  // namespace detail

// Phi(x) = erfc(-x/sqrt(2)) / 2. The reflection erfc(-y) = 2 - erfc(y) lives
// inside the erfc evaluation, so NormCdf(x) + NormCdf(-x) is 1 to rounding.
inline double NormCdf(double x) {
  using namespace detail;
  if (x <= -10.0) return NormCdfLeftTail(x);
  const double u = x * -0.7071067811865476;
  const double y = std::fabs(u);
  double erfc;
  if (y <= 0.46875) {
    erfc = SmallErfc(u, y);
  } else if (y <= 4.0) {
    erfc = SplitErfc(u, y, MiddleRatio(y));
  } else if (y >= kSaturation) {
    erfc = u < 0.0 ? 2.0 : 0.0;
  } else if (y == y) {
    erfc = SplitErfc(u, y, LargeRatio(u, y));
  } else {
    erfc = y;  // NaN, kept out of the table
  }
  return erfc * 0.5;
}

// The same function over a block, as vector arithmetic: every lane runs the
// rational function of each interval some lane of the block needs, with the
// split exponential unless all lanes are small, and then keeps the piece its
// interval calls for. Lanes in the far left tail, or NaN, are rare and are
// finished one at a time.
template <int N>
inline Lanes<N> NormCdf(const Lanes<N>& x) {
  using namespace detail;
  using V = typename Lanes<N>::Vec;
  using M = typename Lanes<N>::Mask;
  using Index = typename Lanes<N>::Index;

  const V u = x.v * -0.7071067811865476;
  const V y = (V)((M)u & 0x7fffffffffffffff);  // fabs, lane by lane
  const M common = x.v > -10.0;                // false for NaN too
  // Neighbouring options of a sorted chain mostly share an interval. A lane
  // in the small one is neither NaN nor in the far left tail, so a block of
  // them needs no lane finished on its own.
  const M in_small = y <= 0.46875;
  if (AllLanes(in_small)) return {SmallErfc(u, y) * 0.5};
  const V small = AnyLane(in_small) ? SmallErfc(u, y) : V{};
  V ratio = MiddleRatio(y);
  if (AnyLane(y > 4.0)) ratio = Select(y <= 4.0, ratio, LargeRatio(u, y));

  // Saturated, tail and NaN lanes take index 0: their split value is unused.
  const V yc = Select(common & (y < kSaturation), y, V{});
  const Index k = __builtin_convertvector(yc * 16.0, Index);
  const V yq = __builtin_convertvector(k, V) * 0.0625;
  const V arg = -((yc + yq) * (yc - yq));
  const V head = FromLanes<N>([&](int i) { return kSplitTable.head[k[i]]; }).v;
  const V split = Exp(Lanes<N>{arg}).v;
  V erfc = (head * split) * ratio;
  erfc = Select(u < 0.0, 2.0 - erfc, erfc);
  erfc = Select(y >= kSaturation, Select(u < 0.0, V{} + 2.0, V{}), erfc);
  erfc = Select(in_small, small, erfc);

  const Lanes<N> out{erfc * 0.5};
  if (AllLanes(common)) return out;
  return FromLanes<N>([&](int i) { return common[i] ? out.v[i] : NormCdf(x.v[i]); });
}

KV_TARGET_END
