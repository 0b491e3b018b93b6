#pragma once

// Implied volatility to machine precision, after P. Jaeckel, "Let's Be
// Rational" (Wilmott, 2015): the price is reduced to the normalised Black
// function of an out-of-the-money call, a rational guess is taken from four
// interpolation branches, and two third-order Householder steps on a
// branch-dependent objective finish the solve.
//
// Every routine is written once over its value type T: double for one option,
// a generic vector of doubles for a block (Lanes<N>::Vec). Where a formula
// has regions, one option takes its own; a block evaluates each region some
// lane needs and keeps, lane by lane, the one that lane calls for. Each lane
// thus runs exactly the operations of the one-option path and gets its
// double, bit for bit.

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "../math/block_math.hpp"
#include "../math/normal.hpp"
#include "../simd/lanes.hpp"
#include "../simd/target.hpp"

KV_TARGET_BEGIN
namespace rational {

// ---- one value or a block ---------------------------------------------------

template <class T>
inline constexpr bool kIsBlock = !std::is_same_v<T, double>;

template <class T>
using LanesOf = Lanes<sizeof(T) / sizeof(double)>;

template <class T>
KV_INLINE T Fill(double v) {
  if constexpr (kIsBlock<T>) {
    return T{} + v;
  } else {
    return v;
  }
}

// Any lane of a comparison set; for one value, the comparison itself.
KV_INLINE bool Any(bool c) {
  return c;
}
KV_INLINE bool Any(int c) {  // bool & bool
  return c != 0;
}
template <class M>
KV_INLINE bool Any(M c) {
  return AnyLane(c);
}

using detail::Select;

// The bits of a double, or of each lane, as unsigned integers (and back).
template <class T>
KV_INLINE auto BitsOf(T x) {
  if constexpr (kIsBlock<T>) {
    return (typename VectorMath<sizeof(T) / sizeof(double)>::Bits) x;
  } else {
    return std::bit_cast<std::uint64_t>(x);
  }
}
template <class T, class B>
KV_INLINE T FromBits(B b) {
  if constexpr (kIsBlock<T>) {
    return (T)b;
  } else {
    return std::bit_cast<double>(b);
  }
}

// Two neighbouring entries of the table from `entry` on (an offset held as
// a double), lane by lane.
template <class T>
KV_INLINE void EntryPair(const double* table, T entry, T& first, T& second) {
  if constexpr (kIsBlock<T>) {
    const auto row = BitsOf(entry + 0x1.8p52) - BitsOf(Fill<T>(0x1.8p52));
    vector_math_detail::GatherPairs<sizeof(T) / sizeof(double)>(table, row, first, second);
  } else {
    const double* e = table + static_cast<int>(entry);
    first = e[0], second = e[1];
  }
}

template <class T>
KV_INLINE T ExpOf(T x) {
  if constexpr (kIsBlock<T>) {
    return Exp(LanesOf<T>{x}).v;
  } else {
    return std::exp(x);
  }
}
template <class T>
KV_INLINE T LogOf(T x) {
  if constexpr (kIsBlock<T>) {
    return Log(LanesOf<T>{x}).v;
  } else {
    return std::log(x);
  }
}
template <class T>
KV_INLINE T SqrtOf(T x) {
  if constexpr (kIsBlock<T>) {
    return Sqrt(LanesOf<T>{x}).v;
  } else {
    return std::sqrt(x);
  }
}
template <class T>
KV_INLINE T CdfOf(T x) {
  if constexpr (kIsBlock<T>) {
    return NormCdf(LanesOf<T>{x}).v;
  } else {
    return NormCdf(x);
  }
}
template <class T>
KV_INLINE T Abs(T x) {
  return Select(x < 0.0, -x, x);
}
template <class T>
KV_INLINE T Max(T a, T b) {
  return Select(a < b, b, a);
}
template <class T>
KV_INLINE T Min(T a, T b) {
  return Select(b < a, b, a);
}

inline constexpr double kInvSqrt2Pi = 0.3989422804014327;
inline constexpr double kSqrt2Pi = 2.5066282746310002;
inline constexpr double kSqrtPiOver2 = 1.2533141373155003;
inline constexpr double kInvSqrt2 = 0.7071067811865476;
inline constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

// ---- the scaled complementary error function --------------------------------

// density sqrt(pi/2) erfcx(y), erfcx(y) = exp(y*y) erfc(y), for the y = -(h +- u)/sqrt2
// of the normalised Black function, given e = density sqrt(2 pi) exp(y*y) (there
// exp(+-x/2)). Cody's rational approximations of erfc (normal.hpp) give it
// without an exponential: near zero as (e/2) erfc(y); beyond 0.46875 erfc is
// exp(-y*y) times a ratio that is erfcx itself, and below -0.46875 the
// reflection erfcx(y) = 2 exp(y*y) - erfcx(-y) is e - density sqrt(pi/2) erfcx(-y).
template <class T>
inline T ScaledErfcx(T y, T e, T scaled_density) {
  using namespace kv::detail;
  const T a = Abs(y);
  const auto small = a <= 0.46875;
  const auto large = a > 4.0;
  T out = Fill<T>(0.0);
  if (Any(!small)) {
    T ratio = MiddleRatio(a);
    if (Any(large)) ratio = Select(large, LargeRatio(a, a), ratio);
    out = scaled_density * ratio;
    out = Select(y < 0.0, e - out, out);
  }
  if (Any(small)) out = Select(small, (0.5 * e) * SmallErfc(y, a), out);
  return out;
}

// ---- the normalised Black function ------------------------------------------
//
// For x = ln(F/K) <= 0 and s = sigma sqrt(t) > 0, the undiscounted
// out-of-the-money call price over sqrt(F K):
//   b(x, s) = exp(x/2) Phi(h + u) - exp(-x/2) Phi(h - u),  h = x/s, u = s/2
//           = exp(-(h^2 + u^2)/2) / sqrt(2 pi) * (Y(h + u) - Y(h - u)),
// with Y = Phi/phi. The first form cancels for small prices, so it serves only
// where h + u > 0.85; elsewhere the second form is taken through erfcx or,
// where even that difference cancels, through series whose terms share one
// sign.

inline constexpr double kSmallU = 0.21022410381342863;  // 2 eps^(1/16)
inline constexpr double kAsymptoticH = -10.0;
inline constexpr double kCodyD1 = 0.85;

// b for h << -1: Y(z) ~ -sum_n (-1)^n (2n-1)!! z^-(2n+1) turns the difference
// into (2u/r) sum_n (-1)^n (2n-1)!! q^n sum_j C(2n+1, 2j+1) e^j with r = h^2 -
// u^2, q = (h/r)^2, e = (u/h)^2; every inner sum is positive. 24 terms reach
// full precision over the region (q (1 + sqrt e)^2 < 1/96 there).
inline constexpr int kAsymptoticTerms = 24;
struct AsymptoticTable {
  double c[kAsymptoticTerms][kAsymptoticTerms];  // c[n][j] = (-1)^n (2n-1)!! C(2n+1, 2j+1)
};
inline constexpr AsymptoticTable kAsymptotic = [] {
  AsymptoticTable t{};
  double odd = 1.0;  // (2n-1)!!
  for (int n = 0; n < kAsymptoticTerms; ++n) {
    if (n > 0) odd *= 2.0 * n - 1.0;
    const int m = 2 * n + 1;
    for (int j = 0; j <= n; ++j) {
      double binomial = 1.0;
      for (int i = 0; i < 2 * j + 1; ++i) binomial = binomial * (m - i) / (i + 1);
      t.c[n][j] = (n % 2 == 0 ? odd : -odd) * binomial;
    }
  }
  return t;
}();

template <class T>
inline T AsymptoticRatio(T h, T u) {
  const T r = (h + u) * (h - u);
  const T q = (h / r) * (h / r);
  const T e = (u / h) * (u / h);
  T sum = Fill<T>(0.0);
  for (int n = kAsymptoticTerms - 1; n >= 0; --n) {
    T inner = Fill<T>(kAsymptotic.c[n][n]);
    for (int j = n - 1; j >= 0; --j) inner = inner * e + kAsymptotic.c[n][j];
    sum = sum * q + inner;
  }
  return ((2.0 * u) / r) * sum;
}

// b for u < kSmallU: Y(h + u) - Y(h - u) = 2 sum_k odd Y^(k)(h) u^k / k!, the
// derivatives from Y' = 1 + h Y, Y^(k+1) = h Y^(k) + k Y^(k-1); all positive.
// The recurrence is linear: it runs on density Y and density, giving b.
inline constexpr int kSmallTerms = 7;  // u^1 .. u^13
inline constexpr double kInvOddFactorials[kSmallTerms] = {1.0,
                                                          1.0 / 6.0,
                                                          1.0 / 120.0,
                                                          1.0 / 5040.0,
                                                          1.0 / 362880.0,
                                                          1.0 / 39916800.0,
                                                          1.0 / 6227020800.0};

// For h < 0 the derivatives are the recurrence's minimal solution (Y^(k) ~
// k!/|h|^(k+1)): Y' = 1 + h Y alone loses a factor of about h^2 of Y's
// precision, and Y'' = Y + h Y' as much again (measured: b off by up to 13
// ulps at h = -2, 48 at h = -3.5, 250 near h = -10). Below kSlopesFrom, Y'
// and Y'' come instead from Taylor's series about the nearest of the nodes
// h_i = -i/8 (|h - h_i| <= 1/16, twelve terms), whose Y^(1..13) are
// tabulated; from them the recurrence loses little, since every later term
// is smaller by (u/h)^2. (b is then within 7 ulps at h = -3.5; what remains
// near h = -10, up to 60, is the density's: exp(-h^2/2) moves by h^2 ulps
// with one ulp of h, as b does with one ulp of s.) Above h = -2 the table
// would buy little: the recurrence's error there moves the solved s by Y'(h)
// (< 1) times it, at most about 2 ulps, and the table's loads cost a block
// more than the recurrence (5 % of a solve, measured).
inline constexpr double kSlopesFrom = -2.0;
struct SlopeTable {
  static constexpr int kFirst = 16;  // the node of kSlopesFrom
  static constexpr int kNodes = 82;  // to h = -10.125, beyond the asymptotic series' bound
  static constexpr double kPerUnit = 8.0;
  static constexpr int kTerms = 12;
  static constexpr int kStride = 14;  // Y^(1) .. Y^(13), and one unused
  double node[kNodes][kStride];
};

// Each node's derivatives as products of the ratios r_k = Y^(k)/Y^(k-1),
// which satisfy r_k = k/(r_(k+1) - h): a continued fraction evaluated
// downward, every step a positive sum, from a depth where its tail no
// longer matters (about 800/h^2 steps; its start is r's limit for large
// k). Y itself is the erfcx of -h/sqrt2.
inline const SlopeTable& Slopes() {
  static const SlopeTable table = [] {
    SlopeTable t{};
    for (int i = SlopeTable::kFirst; i < SlopeTable::kNodes; ++i) {
      const double a = i / SlopeTable::kPerUnit, y = a * kInvSqrt2;  // h = -a
      double derivative = ScaledErfcx(y, kSqrt2Pi * std::exp(y * y), kSqrtPiOver2);
      const int depth = 100 + static_cast<int>(800.0 / (a * a));
      double ratio = 0.5 * (std::sqrt(a * a + 4.0 * (depth + 1)) - a);
      double ratios[SlopeTable::kTerms + 2] = {};
      for (int k = depth; k >= 1; --k) {
        ratio = k / (ratio + a);
        if (k <= SlopeTable::kTerms + 1) ratios[k] = ratio;
      }
      for (int k = 1; k <= SlopeTable::kTerms + 1; ++k) {
        derivative *= ratios[k];
        t.node[i][k - 1] = derivative;
      }
    }
    return t;
  }();
  return table;
}

// Y'(h) and Y''(h) from the table, for the lanes where `slopes` holds.
template <class T, class M>
inline void SlopesAt(T h, M slopes, T& first, T& second) {
  const SlopeTable& table = Slopes();
  const T at = Select(slopes, -h * SlopeTable::kPerUnit, Fill<T>(SlopeTable::kFirst));
  const T node = (at + 0x1.8p52) - 0x1.8p52;                // rounded to an integer
  const T delta = h + node * (1.0 / SlopeTable::kPerUnit);  // exact: h and -node/8 within 2x
  T entry[SlopeTable::kTerms + 2];
  for (int k = 0; k < SlopeTable::kTerms + 2; k += 2) {
    EntryPair(&table.node[0][k], node * SlopeTable::kStride, entry[k], entry[k + 1]);
  }
  // sum_j Y^(m+j)(h_i) delta^j / j!, m = 1 and 2, by Horner's rule.
  first = entry[SlopeTable::kTerms - 1];
  second = entry[SlopeTable::kTerms];
  for (int j = SlopeTable::kTerms - 1; j >= 1; --j) {
    const T step = delta * (1.0 / j);
    first = entry[j - 1] + step * first;
    second = entry[j] + step * second;
  }
}

template <class T, class M>
inline T SmallUSeries(T h, T u, T density_y, T density, M slopes) {
  T current = density + h * density_y;  // density Y'(h)
  T next = h * current + density_y;     // density Y''(h)
  if (Any(slopes)) {
    T first, second;
    SlopesAt(h, slopes, first, second);
    current = Select(slopes, density * first, current);
    next = Select(slopes, density * second, next);
  }
  // Two steps at a time, Y^(k+2) = h Y^(k+1) + (k+1) Y^(k) and Y^(k+3) =
  // (h^2 + k + 2) Y^(k+1) + h (k+1) Y^(k), both from the pair in hand: the
  // chain of dependent operations is half as long.
  const T w = u * u, hh = h * h;
  T terms[kSmallTerms];
  for (int j = 0; j < kSmallTerms; ++j) {
    terms[j] = current * kInvOddFactorials[j];
    const int k = 2 * j + 1;  // current is Y^(k), next Y^(k+1)
    const T after = h * next + (k + 1) * current;
    next = (hh + (k + 2)) * next + (h * (k + 1)) * current;
    current = after;
  }
  // sum_j terms[j] w^j by Estrin's scheme, again for a shorter chain.
  const T w2 = w * w, w4 = w2 * w2;
  const T p01 = terms[0] + terms[1] * w, p23 = terms[2] + terms[3] * w;
  const T p45 = terms[4] + terms[5] * w;
  const T sum = (p01 + p23 * w2) + (p45 + terms[6] * w2) * w4;
  return (2.0 * u) * sum;
}

// Phi(h + u) and Phi(h - u) through erfc, for s so large that the density
// underflows: b and b_max - b are then both far from zero.
inline constexpr double kHugeU = 26.0;

// h = x/s, with h = 0 at the money even for s = 0.
template <class T>
KV_INLINE T Moneyness(T x, T s) {
  return Select(x == 0.0, Fill<T>(0.0), x / s);
}

// exp(-(h^2 + u^2)/2) / sqrt(2 pi): the vega db/ds, and the factor of every
// form of b but the first.
template <class T>
KV_INLINE T Density(T h, T u) {
  return ExpOf(-0.5 * (h * h + u * u)) * kInvSqrt2Pi;
}

// b at one s, with what the solver's objectives need beside it.
template <class T>
struct Black {
  T b;
  T rest;   // b_max - b, without the cancellation of forming it from b
  T log_b;  // ln b where b < 1e-290, kept where b underflows (with_log only)
  T vega;   // db/ds
};

// exp(-w) for 0 <= w <= kSmallU^2 / 2, to a unit in the last place: nine terms
// of its series, where the argument is too small to need an exponential.
template <class T>
KV_INLINE T ExpOfSmall(T w) {
  T sum = Fill<T>(1.0 / 40320.0);
  constexpr double kInverseFactorials[] = {1.0 / 5040.0, 1.0 / 720.0, 1.0 / 120.0, 1.0 / 24.0,
                                           1.0 / 6.0,    0.5,         1.0,         1.0};
  for (double c : kInverseFactorials) sum = c - w * sum;
  return sum;
}

// The evaluation for x <= 0, s > 0, b_max = exp(x/2) and its inverse. Between
// the asymptotic and small-u series and the largest s, b and b_max - b come
// from the same two erfcx values:
//   b_max - b = density sqrt(pi/2) (erfcx(d1/sqrt2) + erfcx(-d2/sqrt2)),
// b = density sqrt(pi/2) (erfcx(-d1/sqrt2) - erfcx(-d2/sqrt2)) up to d1 = 0.85
// and b = b_max - (b_max - b) beyond, where b is at least 0.6 b_max.
template <class T>
inline Black<T> NormalisedBlack(T x, T s, T bmax, T inverse_bmax, bool with_log = false) {
  const T h = Moneyness(x, s), u = s * 0.5;
  const T density = Density(h, u), scaled = density * kSqrtPiOver2;
  const auto asymptotic = (h < kAsymptoticH) & (h + u < kAsymptoticH + kSmallU);
  const auto small = (!asymptotic) & (u < kSmallU);
  const auto huge = (!asymptotic) & (!small) & (u >= kHugeU);
  const auto middle = (!asymptotic) & (!small) & (!huge);
  const auto high = middle & (h + u > kCodyD1);
  T ratio = Fill<T>(0.0);  // b / density, where b may underflow
  if (Any(asymptotic)) ratio = Select(asymptotic, AsymptoticRatio(h, u), ratio);
  T b = density * ratio;
  // One erfcx serves the small-u series (density Y(h), where density
  // sqrt(2 pi) exp(h^2/2) = exp(-u^2/2)) and the first erfcx of the middle.
  const T d1 = (h + u) * kInvSqrt2, d2 = (h - u) * kInvSqrt2;
  const auto slopes = small & (h < kSlopesFrom);
  T first = Fill<T>(0.0);
  if (Any(middle | (small & !slopes))) {
    first = ScaledErfcx(Select(small, h * -kInvSqrt2, Select(high, d1, -d1)),
                        Select(small, ExpOfSmall(u * u * 0.5), bmax), scaled);
  }
  if (Any(small)) b = Select(small, SmallUSeries(h, u, first, density, slopes), b);
  T rest = bmax - b;
  if (Any(middle)) {
    const T second = ScaledErfcx(-d2, inverse_bmax, scaled);
    const auto low = middle & (!high);
    b = Select(low, first - second, b);
    rest = Select(low, bmax - b, rest);
    b = Select(high, bmax - (first + second), b);
    rest = Select(high, first + second, rest);
  }
  if (Any(huge)) {
    const T half = x * 0.5;
    const T ep = ExpOf(half), em = ExpOf(-half);
    b = Select(huge, ep * CdfOf(h + u) - em * CdfOf(h - u), b);
    rest = Select(huge, ep * CdfOf(-(h + u)) + em * CdfOf(h - u), rest);
  }
  T log_b = Fill<T>(0.0);
  const auto tiny = !(b > 1e-290);  // above, callers take ln b (or a ratio's) themselves
  if (with_log && Any(tiny)) {
    // b is a normal double but where the asymptotic series serves.
    log_b = LogOf(b);
    if (Any(asymptotic)) {
      log_b = Select(asymptotic, -0.5 * (h * h + u * u) + LogOf(kInvSqrt2Pi * ratio), log_b);
    }
  }
  // s = 0 prices nothing.
  const auto zero = !(s > 0.0);
  return {Select(zero, Fill<T>(0.0), b), Select(zero, bmax, rest), log_b, density};
}

// ---- the initial guess --------------------------------------------------------

// The inverse of Phi on (0, 0.5], to about 1e-9 relative (Acklam's rational
// approximation): ample for a starting point the Householder steps refine.
template <class T>
inline T InverseCdfLower(T p) {
  constexpr double a[] = {-39.6968302866538, 220.946098424521,  -275.928510446969,
                          138.357751867269,  -30.6647980661472, 2.50662827745924};
  constexpr double b[] = {-54.4760987982241, 161.585836858041, -155.698979859887, 66.8013118877197,
                          -13.2806815528857};
  constexpr double c[] = {-7.78489400243029e-03, -0.322396458041136, -2.40075827716184,
                          -2.54973253934373,     4.37466414146497,   2.93816398269878};
  constexpr double d[] = {7.78469570904146e-03, 0.32246712907004, 2.445134137143, 3.75440866190742};
  const auto tail = p < 0.02425;
  T out = Fill<T>(0.0);
  if (Any(tail)) {
    const T q = SqrtOf(-2.0 * LogOf(Select(tail, p, Fill<T>(0.5))));
    const T num = ((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5];
    const T den = (((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1.0;
    out = Select(tail, num / den, out);
  }
  if (Any(!tail)) {
    const T q = p - 0.5, r = q * q;
    const T num = (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q;
    const T den = ((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1.0;
    out = Select(!tail, num / den, out);
  }
  return out;
}

// Rational cubic interpolation between (xl, yl) and (xr, yr) with slopes dl,
// dr and control parameter c (Delbourgo and Gregory); a huge c is linear.
inline constexpr double kMaxControl = 2.0 / (kEpsilon * kEpsilon);
inline constexpr double kMinControl = -(1.0 - 1.4901161193847656e-08);  // -(1 - sqrt(eps))

template <class T>
inline T RationalCubic(T x, T xl, T xr, T yl, T yr, T dl, T dr, T c) {
  const T w = xr - xl;
  const T z = (x - xl) / w, y = 1.0 - z;
  const T cubic = (yr * (z * z * z) + (c * yr - w * dr) * (z * z * y) +
                   (c * yl + w * dl) * (z * y * y) + yl * (y * y * y)) /
                  (1.0 + (c - 3.0) * (z * y));
  const T linear = yr * z + yl * y;
  return Select(w == 0.0, 0.5 * (yl + yr), Select(c < kMaxControl, cubic, linear));
}

// The smallest control parameter that keeps the interpolant monotone and
// convex (or concave) where the data are.
template <class T, class M>
inline T MinimumControl(T dl, T dr, T slope, M prefer_shape) {
  const auto monotone = (dl * slope >= 0.0) & (dr * slope >= 0.0);
  const auto convex = (dl <= slope) & (slope <= dr);
  const auto concave = (dl >= slope) & (slope >= dr);
  const T none = Fill<T>(-kMaxControl);
  const T top = Select(prefer_shape, Fill<T>(kMaxControl), Fill<T>(-kMaxControl));
  const T r1 = Select(monotone, Select(slope != 0.0, (dr + dl) / slope, top), none);
  const T sl = slope - dl, rs = dr - slope, span = dr - dl;
  // max(|span/rs|, |span/sl|) in one division: rounding is monotone.
  const T shaped = Select((sl != 0.0) & (rs != 0.0), Abs(span) / Min(Abs(rs), Abs(sl)), top);
  const T r2 = Select(convex | concave, shaped, Select(monotone, top, none));
  const T r = Max(Fill<T>(kMinControl), Max(r1, r2));
  return Select(monotone | convex | concave, r, Fill<T>(kMinControl));
}

// The control parameter matching a second derivative at the left (at_left)
// or the right end, raised to the minimum above.
template <class T, class M>
inline T ControlFor(T xl, T xr, T yl, T yr, T dl, T dr, T second, M at_left, M prefer_shape) {
  const T w = xr - xl, slope = (yr - yl) / w;
  const T num = 0.5 * w * second + (dr - dl);
  const T den = Select(at_left, slope - dl, dr - slope);
  const T fit = Select(
      num == 0.0, Fill<T>(0.0),
      Select(den == 0.0, Select(num > 0.0, Fill<T>(kMaxControl), Fill<T>(kMinControl)), num / den));
  return Max(fit, MinimumControl(dl, dr, slope, prefer_shape));
}

// b''/b' = h^2/s - s/4 and b'''/b' = (b''/b')^2 - 3 h^2/s^2 - 1/4.
template <class T>
KV_INLINE T Curvature(T h, T s) {
  return h * h / s - s * 0.25;
}

// The lower map's constants.
inline constexpr double kLowerScale = 1.2091995761561452;  // 2 pi / sqrt(27)
inline constexpr double kInvSqrt3 = 0.5773502691896258;
inline constexpr double kSqrt3 = 1.7320508075688772;

namespace branch_of {
inline constexpr double kLower = 0, kLowMiddle = 1, kHighMiddle = 2, kUpper = 3;
}

// The outer branches' map f of beta and its first two derivatives in beta
// at the side point ss (s_l where low, s_u elsewhere), ivs = 1/b'(ss); the
// lower map only where some lane of `lower` needs it.
template <class T, class M, class L>
inline void OuterMap(T x, T ss, T ivs, M low, L lower, T& f, T& df, T& d2f) {
  const T ax = Abs(x);
  // Below, the map f = 2 pi |x| / sqrt(27) Phi(-z)^3, z = |x| / (sqrt(3) s),
  // which b follows as s -> 0; above, f = Phi(-s/2), which b_max - b
  // follows as s grows. f(beta) is a rational cubic from (0, 0) to
  // (b_l, f_l), or from (b_u, f_u) to (b_max, 0).
  const T hs = Moneyness(x, ss);
  const T z = kInvSqrt3 * ax / ss, y = z * z, s2 = ss * ss;
  // Phi(-a) = phi(a) sqrt(pi/2) erfcx(a/sqrt2) for a >= 0 (a = z below, s/2
  // above): one erfcx and the density, which the maps need anyway, instead
  // of a normal CDF.
  const T a = Select(low, z, ss * 0.5);
  const T g = ExpOf(a * a * -0.5);  // exp(-s^2/8) above
  const T density = kInvSqrt2Pi * g;
  const T phi = ScaledErfcx(a * kInvSqrt2, Fill<T>(1.0), density * kSqrtPiOver2);
  // The upper map's derivatives in s, turned into derivatives in beta.
  const T up = -0.5 * kInvSqrt2Pi * g, upp = up * (ss * -0.25);
  f = phi, df = up * ivs, d2f = (upp - up * Curvature(hs, ss)) * (ivs * ivs);
  if (Any(lower)) {
    // The lower map's derivatives in beta, in closed form.
    const T e = ExpOf(y + 0.125 * s2);
    const T lf = kLowerScale * ax * (phi * phi * phi);
    const T lfp = 6.283185307179586 * y * (phi * phi) * e;
    const T lfpp =
        (0.5235987755982988 * y / (s2 * ss)) * phi *
        (8.0 * kSqrt3 * ss * ax + (3.0 * s2 * (s2 - 8.0) - 8.0 * x * x) * phi / density) * (e * e);
    f = Select(low, lf, f);
    df = Select(low, lfp, df);
    d2f = Select(low, lfpp, d2f);
  }
}

// b at the centre s_c = sqrt(2|x|), and b and b' at the side points s_l
// and s_u below, over b_max, are functions of z = sqrt|x| alone: tabulated,
// so that the guess takes them without an erfcx or a Black evaluation. Near
// the money b_c vanishes like z and b_l like z^2, so the table holds them
// over those, which tend to constants there. Linear interpolation between
// nodes 1/32 apart holds each of them to 5e-4 relative (measured on a grid
// of 8e6 points): it moves the guess's nodes by that much, which the steps
// absorb (the guess itself is off by up to 1e-1). Beyond the table (|x| >
// 64) the exact values serve.
// The outer maps at the side points, f and its derivatives in beta, are
// functions of |x| too, so that an outer lane needs no erfcx or exponential.
// Each is held over its trend, which leaves smooth functions of sqrt|x| that
// linear interpolation holds to 2e-4 relative (f, f') and 5e-5 absolute (the
// curvature term), near the money included: with q = sqrt(b_max),
//   below: f_l / (|x| q), f'_l q, f''_l b_l / f'_l;
//   above: f_u / q, f'_u q, f''_u (b_max - b_u) / f'_u.
struct SideTable {
  static constexpr int kNodes = 257;
  static constexpr double kPerUnit = 32.0;  // nodes per unit of sqrt|x|
  static constexpr int kStride = 12;
  static constexpr int kMaps = 6;  // the first column of the maps
  // Per node i: b_l / (b_max |x|), b'_l / b_max, b_u / b_max, b'_u / b_max,
  // b_c / (b_max z) at nodes i and i + 1, then the lower and the upper map's
  // three columns above. A last row takes the read past the last node's
  // upper map (a pair of entries whose second goes unused).
  double node[kNodes + 1][kStride];
};

// b_c = b_max/2 - Phi(-s_c)/b_max (at s_c, h + u = 0 and h - u = -s_c), the
// second term the erfcx term of -d2; b'_c = b_max/sqrt(2 pi).
template <class T>
KV_INLINE T ExactCentre(T sc, T vc, T bmax, T inverse_bmax) {
  return 0.5 * bmax - ScaledErfcx(sc * kInvSqrt2, inverse_bmax, vc * kSqrtPiOver2);
}

inline const SideTable& SidePoints() {
  static const SideTable table = [] {
    SideTable t{};
    const auto centre = [](double z, double x, double bmax, double inverse) {
      return ExactCentre(std::sqrt(-2.0 * x), bmax * kInvSqrt2Pi, bmax, inverse) / (bmax * z);
    };
    for (int i = 0; i < SideTable::kNodes; ++i) {
      const double z = i == 0 ? 1e-4 : i / SideTable::kPerUnit;  // the limit, nearly
      const double x = -z * z, bmax = std::exp(0.5 * x), inverse = std::exp(-0.5 * x);
      const double sc = std::sqrt(-2.0 * x), vc = bmax * kInvSqrt2Pi;
      const double bc = ExactCentre(sc, vc, bmax, inverse);
      const double sl = sc - bc / vc, su = sc + (bmax - bc) / vc, q = std::sqrt(bmax);
      const Black<double> l = NormalisedBlack(x, sl, bmax, inverse);
      const Black<double> u = NormalisedBlack(x, su, bmax, inverse);
      const double next = (i + 1) / SideTable::kPerUnit;
      t.node[i][0] = l.b / (bmax * -x);
      t.node[i][1] = l.vega / bmax;
      t.node[i][2] = u.b / bmax;
      t.node[i][3] = u.vega / bmax;
      t.node[i][4] = bc / (bmax * z);
      t.node[i][5] =
          centre(next, -next * next, std::exp(-0.5 * next * next), std::exp(0.5 * next * next));
      double* maps = &t.node[i][SideTable::kMaps];
      double f, df, d2f;
      OuterMap(x, sl, 1.0 / l.vega, true, true, f, df, d2f);
      maps[0] = f / (-x * q);
      maps[1] = df * q;
      maps[2] = d2f * l.b / df;
      OuterMap(x, su, 1.0 / u.vega, false, false, f, df, d2f);
      maps[3] = f / q;
      maps[4] = df * q;
      maps[5] = d2f * u.rest / df;
    }
    return t;
  }();
  return table;
}

// Where a = sqrt|x| kPerUnit lies in the table (inside): the offset of the
// first entry of node i <= a and the weight a - i of node i + 1 (in [0, 1]).
// Lanes outside take node 0.
template <class T, class M>
KV_INLINE void TablePlace(T a, M inside, T& entry, T& weight) {
  const T at = Select(inside, a, Fill<T>(0.0));
  const T node = ((at - 0.5) + 0x1.8p52) - 0x1.8p52;  // rounded to an integer
  weight = at - node;
  entry = node * SideTable::kStride;
}

// b and b' at s (s_l where low, s_u elsewhere), from the table where
// inside.
template <class T, class M>
inline void SidePoint(const SideTable& table, T x, T s, T bmax, T inverse_bmax, M low, M inside,
                      T entry, T weight, T& b, T& vega) {
  T v0, d0, v1, d1;  // the entries at nodes i and i + 1
  const T at = entry + Select(low, Fill<T>(0.0), Fill<T>(2.0));
  EntryPair(&table.node[0][0], at, v0, d0);
  EntryPair(&table.node[1][0], at, v1, d1);
  const T share = v0 + weight * (v1 - v0);
  b = bmax * Select(low, share * -x, share);
  vega = bmax * (d0 + weight * (d1 - d0));
  if (Any(!inside)) {
    const Black<T> exact = NormalisedBlack(x, s, bmax, inverse_bmax);
    b = Select(inside, b, exact.b);
    vega = Select(inside, vega, exact.vega);
  }
}

// The starting s for beta in (0, b_max), and which of the four branches it
// lies in (as a double per lane). Below b_c = b(s_c), s_c = sqrt(2|x|) the
// inflection point, the guess needs b at s_l = s_c - b_c/b'_c, above it at
// s_u = s_c + (b_max - b_c)/b'_c: one side per option, so a block evaluates
// one b for both, each lane at its own side. Each branch is one rational
// cubic, in s between the sides and the centre, in a map f of s outside
// them: a block interpolates once, each lane on its own data.
template <class T>
inline T InitialGuess(T x, T beta, T bmax, T inverse_bmax, T& branch) {
  const SideTable& table = SidePoints();
  const T sc = SqrtOf(-2.0 * x);  // s_c, where b'' = 0
  const T vc = bmax * kInvSqrt2Pi;
  const T a = sc * (kInvSqrt2 * SideTable::kPerUnit);
  const auto inside = a < SideTable::kNodes - 1.0;  // and not NaN
  T entry, weight, c0, c1;
  TablePlace(a, inside, entry, weight);
  EntryPair(&table.node[0][4], entry, c0, c1);
  T bc = bmax * ((sc * kInvSqrt2) * (c0 + weight * (c1 - c0)));
  if (Any(!inside)) bc = Select(inside, bc, ExactCentre(sc, vc, bmax, inverse_bmax));
  const auto low = beta < bc;
  const T ss = sc + Select(low, -bc, bmax - bc) / vc;  // s_l or s_u
  T bs, vs;
  SidePoint(table, x, ss, bmax, inverse_bmax, low, inside, entry, weight, bs, vs);
  const auto outer = Select(low, beta<bs, beta> bs);  // the lower or upper branch
  const auto lower = low & outer, upper = (!low) & outer;
  branch = Select(low, Fill<T>(branch_of::kLowMiddle), Fill<T>(branch_of::kHighMiddle));
  branch = Select(lower, Fill<T>(branch_of::kLower), branch);
  branch = Select(upper, Fill<T>(branch_of::kUpper), branch);
  const T zero = Fill<T>(0.0);

  // Between: s as a rational cubic in beta from (b_l, s_l) to (b_c, s_c), or
  // (b_c, s_c) to (b_u, s_u), with b'' = 0 at the inflection point.
  const T ivs = 1.0 / vs, ivc = kSqrt2Pi * inverse_bmax;  // 1 / vc
  T xl = Select(low, bs, bc), xr = Select(low, bc, bs);
  T yl = Select(low, ss, sc), yr = Select(low, sc, ss);
  T dl = Select(low, ivs, ivc), dr = Select(low, ivc, ivs);
  T second = zero;
  const bool any_outer = Any(outer);
  const T ax = Abs(x);
  if (any_outer) {
    // The maps from their table (the lower or upper half of a node, lane by
    // lane), exactly beyond it.
    constexpr int kMaps = SideTable::kMaps;
    const T half = entry + Select(low, zero, Fill<T>(3.0));
    T f0, df0, g0, f1, df1, g1, unused;
    EntryPair(&table.node[0][kMaps], half, f0, df0);
    EntryPair(&table.node[0][kMaps + 2], half, g0, unused);
    EntryPair(&table.node[1][kMaps], half, f1, df1);
    EntryPair(&table.node[1][kMaps + 2], half, g1, unused);
    const T q = SqrtOf(bmax), iq = q * inverse_bmax;  // sqrt(b_max) and its inverse
    T f = (f0 + weight * (f1 - f0)) * Select(low, ax * q, q);
    T df = (df0 + weight * (df1 - df0)) * iq;
    T d2f = (g0 + weight * (g1 - g0)) * df / Select(low, bs, bmax - bs);
    if (Any(outer & (!inside))) {
      T ef, edf, ed2f;
      OuterMap(x, ss, ivs, low, lower & (!inside), ef, edf, ed2f);
      f = Select(inside, f, ef);
      df = Select(inside, df, edf);
      d2f = Select(inside, d2f, ed2f);
    }
    xl = Select(outer, Select(low, zero, bs), xl);
    xr = Select(outer, Select(low, bs, bmax), xr);
    yl = Select(outer, Select(low, zero, f), yl);
    yr = Select(outer, Select(low, f, zero), yr);
    dl = Select(outer, Select(low, Fill<T>(1.0), df), dl);
    dr = Select(outer, Select(low, df, Fill<T>(-0.5)), dr);
    second = Select(outer, d2f, second);
  }
  const T c = ControlFor(xl, xr, yl, yr, dl, dr, second, (!low), outer);
  T s = RationalCubic(beta, xl, xr, yl, yr, dl, dr, c);
  if (any_outer) {
    // Where the cubic underflows below, f(beta) ~ beta still holds.
    const T fb = Select(low & (!(s > 0.0)), beta, s);
    // s from f: |x| / (sqrt(3) N^-1((f / (2 pi |x| / sqrt(27)))^(1/3))) below,
    // -2 N^-1(f) above; at the maximum f is 0 and s unbounded.
    // (Scaled by 2^200 first: a subnormal fb would lose its digits in the division.)
    T p = fb;
    if (Any(lower)) {
      const T cube =
          ExpOf((LogOf(fb * 0x1p200 / (kLowerScale * ax)) - 138.62943611198906) * (1.0 / 3.0));
      p = Select(low, cube, fb);
    }
    const T n = InverseCdfLower(Select(fb > 0.0, p, Fill<T>(0.25)));
    const T so = Select(low, Abs(x / (kSqrt3 * n)), -2.0 * n);
    const T empty = Select(low, zero, Fill<T>(HUGE_VAL));
    s = Select(outer, Select(fb > 0.0, so, empty), s);
  }
  return s;
}

// ---- the Householder steps ------------------------------------------------------

// b at s, as a step from s needs it (with ln b where the lower branch may).
template <class T>
inline Black<T> StepPoint(T x, T s, T bmax, T inverse_bmax, T branch) {
  return NormalisedBlack(x, s, bmax, inverse_bmax, Any(branch == branch_of::kLower));
}

// One third-order step from s, where b is `at` (StepPoint), on the branch's
// objective: 1/ln b - 1/ln beta below (b falls off like exp(-x^2 / 2 s^2)
// there), ln of the distances to b_max above, b - beta between. slope is
// b'/b at s, for the solve's conditioning.
template <class T>
inline T HouseholderStep(T x, T s, T beta, T log_beta, T gap, T branch, const Black<T>& at,
                         T& slope) {
  const T h = Moneyness(x, s);
  const T c2 = Curvature(h, s);
  const T c3 = c2 * c2 - 3.0 * (h / s) * (h / s) - 0.25;
  const auto lower = branch == branch_of::kLower;
  const auto upper = branch == branch_of::kUpper;
  const bool any_lower = Any(lower);
  const T vega = at.vega;
  T nu = (beta - at.b) / vega, h2 = c2, h3 = c3;
  slope = vega / at.b;
  if (any_lower) {
    // The objective's residual ln(beta / b), from the ratio where both are
    // normal doubles: as ln beta - ln b it would carry the rounding of both
    // logarithms, |ln b| ulps each, which near the solution is most of it.
    const auto direct = (at.b > 1e-290) & (beta > 1e-290);
    T residual = LogOf(Select(direct, beta / at.b, Fill<T>(1.0)));
    if (Any(lower & (!direct))) {
      const T log_b = Select(at.b > 1e-290, LogOf(Select(direct, Fill<T>(1.0), at.b)), at.log_b);
      residual = Select(direct, residual, log_beta - log_b);
    }
    const T lb = log_beta - residual;
    // p = b'/b, from the logarithms where either may underflow.
    T p = vega / at.b;
    const auto tiny = !((at.b > 1e-290) & (vega > 1e-290));
    if (Any(lower & tiny)) {
      p = Select(tiny, ExpOf(-0.5 * (h * h + s * s * 0.25) - 0.9189385332046728 - lb), p);
    }
    slope = Select(lower, p, slope);
    nu = Select(lower, lb * residual / (log_beta * p), nu);
    h2 = Select(lower, c2 - p * (lb + 2.0) / lb, h2);
    h3 = Select(
        lower,
        c3 + p * p * ((2.0 * lb + 6.0) * lb + 6.0) / (lb * lb) - 3.0 * p * c2 * (lb + 2.0) / lb,
        h3);
  }
  if (Any(upper)) {
    const T g = vega / at.rest;
    nu = Select(upper, LogOf(at.rest / gap) / g, nu);
    h2 = Select(upper, c2 + g, h2);
    h3 = Select(upper, c3 + 3.0 * c2 * g + 2.0 * g * g, h3);
  }
  const T factor = (1.0 + 0.5 * h2 * nu) / (1.0 + nu * (h2 + h3 * nu * (1.0 / 6.0)));
  const T next = s + nu * factor;
  // A step must keep s positive; one that would not is halved toward zero.
  return Select(next > 0.0, next, s * 0.5);
}

// ln(F/K) without the rounding of the quotient, which near the money would
// be most of x: q = F/K is corrected by (F - q K)/(q K), the product split
// into two halves (Dekker) so that F - q K is exact.
template <class T>
inline T LogMoneyness(T F, T K) {
  const T q = F / K;
  const T qh = q * 134217729.0 - (q * 134217729.0 - q), ql = q - qh;
  const T kh = K * 134217729.0 - (K * 134217729.0 - K), kl = K - kh;
  const T hi = q * K;
  const T lo = ((qh * kh - hi) + qh * kl + ql * kh) + ql * kl;
  const T rest = (F - hi) - lo;
  const T log_q = LogOf(q);
  return Select((hi < 1e300) & (hi > 1e-290), log_q + rest / hi, log_q);
}

// ---- the solve ------------------------------------------------------------------

// How a solve ended (the book's status codes, as doubles lane by lane).
inline constexpr double kSolved = 0, kAtIntrinsic = 1, kAtMaximum = 2, kBelowIntrinsic = 3,
                        kAboveMaximum = 4, kNanInput = 5, kNoConvergence = 6, kExpired = 7,
                        kImprecise = 9;

// The most one ulp of the price may move sigma (relative) for a solved
// volatility. The solve lands within a few such units of the exact inverse
// (tools/iv_surface.py), so a solved sigma holds to 1e-6 with room to spare;
// where the price pins sigma less well (deep in the money at short expiries,
// sigma sqrt(t) in the tens) the best sigma comes back as kImprecise.
inline constexpr double kMaxSolvedSpread = 1e-8;

template <class T>
struct Solution {
  T sigma;
  T status;
};

// A solve runs in stages: Begin states the problem, Guess takes the initial
// guess, Evaluate and Advance make each of the two steps (b at the current
// s, then the step from it), End reads the result. SolveState carries a
// problem from one stage to the next. A block's stage is a long chain of
// dependent operations; with several blocks side by side (Solve over an
// array), each stage of one block stands beside another block's in the
// instruction stream, independent work the processor overlaps with it
// (a block solve 12 % faster on AVX-512 with two, 16 % on AVX2). Each
// problem sees the same operations either way.
template <class T>
struct SolveState {
  using Mask = decltype(Fill<T>(0.0) < 0.0);
  T t, target, time_value, root, beta;
  // The problem solved: lanes without one of their own solve a harmless one.
  T x, betas, gaps, bmax, inverse_bmax;
  T branch, guess, log_beta;
  T step, s, slope;  // s after the last step, taken at step
  Black<T> at;       // b at step
  Mask unpriceable, expired, below, above, at_intrinsic, at_maximum, solve, unbounded;
};

template <class T>
inline void Begin(SolveState<T>& z, T w, T price, T F, T K, T t, T r) {
  z.t = t;
  const T target = price * ExpOf(t * r);
  const T intrinsic = Max(w * (F - K), Fill<T>(0.0));
  const T time_value = target - intrinsic;
  const T cap = Select(F < K, F, K);  // the most a time value can be
  z.target = target, z.time_value = time_value;
  z.unpriceable = (F <= 0.0) | (K <= 0.0) | (F == HUGE_VAL) | (K == HUGE_VAL) | (t == HUGE_VAL) |
                  (target != target) | (F != F) | (K != K);
  z.expired = (t <= 0.0) & (price == price) & (F == F) & (K == K) & (r == r);
  // Undiscounting rounds: a price within 4 ulps of a bound is taken at it.
  z.below = time_value < intrinsic * (-4.0 * kEpsilon);
  z.above = time_value > cap + cap * (4.0 * kEpsilon);
  z.at_intrinsic = (!z.below) & (time_value <= 0.0);
  z.at_maximum = (!z.above) & (time_value >= cap);

  // The out-of-the-money call of the same time value, normalised by sqrt(F K).
  const T fk = F * K;
  const T root = Select((fk < HUGE_VAL) & (fk > 1e-300), SqrtOf(fk), SqrtOf(F) * SqrtOf(K));
  const T x = -Abs(LogMoneyness(F, K));
  const T beta = time_value / root;
  const T gap = (cap - time_value) / root;
  const T bmax = cap / root, inverse_bmax = root / cap;  // exp(x/2) and exp(-x/2)
  z.root = root, z.beta = beta;
  const auto solve = (!z.unpriceable) & (!z.expired) & (!z.below) & (!z.above) & (!z.at_intrinsic) &
                     (!z.at_maximum) & (beta > 0.0) & (t > 0.0);
  z.solve = solve;
  z.x = Select(solve, x, Fill<T>(-1.0));
  z.betas = Select(solve, beta, Fill<T>(0.1));
  z.gaps = Select(solve, gap, Fill<T>(0.6065306597126334 - 0.1));
  z.bmax = Select(solve, bmax, Fill<T>(0.6065306597126334));  // exp(-1/2)
  z.inverse_bmax = Select(solve, inverse_bmax, Fill<T>(1.6487212707001282));
}

template <class T>
inline void Guess(SolveState<T>& z) {
  z.guess = InitialGuess(z.x, z.betas, z.bmax, z.inverse_bmax, z.branch);
  z.unbounded = z.guess == HUGE_VAL;
  z.s = Select(z.unbounded, Fill<T>(1.0), z.guess);
  z.log_beta = Fill<T>(0.0);
  if (Any(z.branch == branch_of::kLower)) {
    // ln beta, from ln of its parts where beta itself loses digits.
    z.log_beta = LogOf(z.betas);
    const auto subnormal = z.solve & (z.beta < 1e-290);
    if (Any(subnormal)) {
      z.log_beta = Select(subnormal,
                          LogOf(Select(subnormal, z.time_value, Fill<T>(0.1))) -
                              LogOf(Select(subnormal, z.root, Fill<T>(1.0))),
                          z.log_beta);
    }
  }
}

// A step in two stages: b at the current s, then the step from there.
template <class T>
inline void Evaluate(SolveState<T>& z) {
  z.step = z.s;
  z.at = StepPoint(z.x, z.step, z.bmax, z.inverse_bmax, z.branch);
}
template <class T>
inline void Advance(SolveState<T>& z) {
  z.s = HouseholderStep(z.x, z.step, z.betas, z.log_beta, z.gaps, z.branch, z.at, z.slope);
}

template <class T>
inline Solution<T> End(const SolveState<T>& z) {
  const T nan = Fill<T>(std::numeric_limits<double>::quiet_NaN());
  const T s = Select(z.unbounded, z.guess, z.s);
  const T sigma = s / SqrtOf(Select(z.t > 0.0, z.t, Fill<T>(1.0)));
  // What one ulp of the undiscounted price (at most eps times it, or the
  // subnormal spacing) moves s by, relative: the time value carries the whole
  // price's rounding.
  const T ulp = Max(kEpsilon * z.target, Fill<T>(std::numeric_limits<double>::denorm_min()));
  const T spread = (ulp / z.time_value) / (z.slope * z.step);

  Solution<T> out{sigma, Select(sigma == sigma, Fill<T>(kSolved), Fill<T>(kNoConvergence))};
  out.status =
      Select((spread > kMaxSolvedSpread) & (sigma == sigma), Fill<T>(kImprecise), out.status);
  out.status = Select(z.unbounded, Fill<T>(kAtMaximum), out.status);
  const auto tiny = !(z.beta > 0.0);  // a time value that vanishes once normalised
  out.sigma = Select(z.at_intrinsic | tiny, Fill<T>(0.0), out.sigma);
  out.status = Select(z.at_intrinsic | tiny, Fill<T>(kAtIntrinsic), out.status);
  out.sigma = Select(z.at_maximum, Fill<T>(HUGE_VAL), out.sigma);
  out.status = Select(z.at_maximum, Fill<T>(kAtMaximum), out.status);
  out.sigma = Select(z.below | z.above, nan, out.sigma);
  out.status = Select(z.above, Fill<T>(kAboveMaximum), out.status);
  out.status = Select(z.below, Fill<T>(kBelowIntrinsic), out.status);
  out.sigma = Select(z.unpriceable | z.expired, nan, out.sigma);
  out.status = Select(z.unpriceable, Fill<T>(kNanInput), out.status);
  out.status = Select(z.expired, Fill<T>(kExpired), out.status);
  return out;
}

// The stages from the guess to the last step, of each problem in turn before
// the next stage of any.
template <class T, int Count>
inline void Solve(SolveState<T> (&problems)[Count]) {
  for (SolveState<T>& z : problems) Guess(z);
  for (int k = 0; k < 2; ++k) {
    for (SolveState<T>& z : problems) Evaluate(z);
    for (SolveState<T>& z : problems) Advance(z);
  }
}

// The implied volatility of a European option on a forward F (w = +1 for a
// call, -1 for a put) whose price, discounted at r over t, is price. The
// intrinsic value gives 0, the maximum (F for a call, K for a put) gives
// infinity; prices beyond either, NaN. The volatility is never capped. t <= 0
// has no volatility (kExpired), and a NaN input, a forward or strike not
// positive and finite, or an infinite t none either (kNanInput).
template <class T>
inline Solution<T> Solve(T w, T price, T F, T K, T t, T r) {
  SolveState<T> problem[1];
  Begin(problem[0], w, price, F, K, t, r);
  Solve(problem);
  return End(problem[0]);
}

// ---- the expected path of a solve -----------------------------------------------
//
// A block pays for every branch and region any of its lanes takes, so the
// block solver groups options whose solves are expected to take the same
// ones. The expected path comes from the exact inverse s*: the guess's branch
// (s* below s_l, below s_c, above s_u) and whether s* lies under the small-u
// series' bound. Each test is beta < b(x, s) at an s fixed by |x|, i.e.
// ln(beta / b_max) against ln(b(x, s) / b_max), a smooth function of |x|
// tabulated at nodes of sqrt|x|, the nearest taken. Approximate by design: it
// orders the work and never decides a result.
inline constexpr int kPathKeys = 8;

struct PathTable {
  static constexpr int kNodes = 257;
  static constexpr double kPerUnit = 32.0;  // nodes per unit of sqrt|x|
  // Per node: ln(b / b_max) at s_c, s_l, s_u and 2 kSmallU.
  double node[kNodes][4];
};

inline const PathTable& PathThresholds() {
  static const PathTable table = [] {
    PathTable t{};
    // ln(b(x, s) / b_max), bounded below where b vanishes.
    const auto log_share = [](double x, double s) {
      if (!(s > 0.0)) return -1e4;
      const Black<double> at = NormalisedBlack(x, s, std::exp(0.5 * x), std::exp(-0.5 * x), true);
      const double v = (at.b > 1e-290 ? std::log(at.b) : at.log_b) - 0.5 * x;
      return v > -1e4 ? v : -1e4;
    };
    for (int i = 0; i < PathTable::kNodes; ++i) {
      const double z = i == 0 ? 1e-3 : i / PathTable::kPerUnit;
      const double x = -z * z, bmax = std::exp(0.5 * x);
      const double sc = std::sqrt(-2.0 * x), vc = bmax * kInvSqrt2Pi;
      const double bc = NormalisedBlack(x, sc, bmax, 1.0 / bmax).b;
      t.node[i][0] = log_share(x, sc);
      t.node[i][1] = log_share(x, sc - bc / vc);
      t.node[i][2] = log_share(x, sc + (bmax - bc) / vc);
      t.node[i][3] = log_share(x, 2.0 * kSmallU);
    }
    return t;
  }();
  return table;
}

// ln and exp to about 1e-3, for ordering work only: a fraction of the exact
// functions' cost, without a division; any input gives a value (NaN or
// garbage, never a fault). Only bit operations and unsigned shifts, which
// every target has as vector instructions (unlike arithmetic 64-bit shifts
// and integer-to-double conversion).
template <class T>
KV_INLINE T RoughLog(T x) {
  const auto bits = BitsOf(x);
  // The biased exponent (2^52 + it, less 2^52) and the significand in [1, 2),
  // then in [sqrt 1/2, sqrt 2).
  T exponent = FromBits<T>((bits >> 52) | 0x4330000000000000) - (0x1p52 + 1023.0);
  T m = FromBits<T>((bits & 0x000FFFFFFFFFFFFF) | 0x3FF0000000000000);
  const auto high = m > 1.4142135623730951;
  m = Select(high, m * 0.5, m);
  exponent = Select(high, exponent + 1.0, exponent);
  const T d = m - 1.0;
  const T series = d * (1.0 + d * (-0.5 + d * (1.0 / 3.0 + d * (-0.25 + d * 0.2))));
  return exponent * 0.6931471805599453 + series;
}
template <class T>
KV_INLINE T RoughExp(T y) {
  y = Select(y > -700.0, y, Fill<T>(-700.0));
  y = Select(y < 700.0, y, Fill<T>(700.0));
  const T shifted = y * 1.4426950408889634 + 0x1.8p52;  // its last bits: the nearest integer k
  const T k = shifted - 0x1.8p52;
  const T f = y - k * 0.6931471805599453;
  const T p = 1.0 + f * (1.0 + f * (0.5 + f * (1.0 / 6.0 + f * (1.0 / 24.0))));
  return p * FromBits<T>((BitsOf(shifted) - BitsOf(Fill<T>(0x1.8p52)) + 1023) << 52);
}

// z = sqrt|x| and ln(beta / b_max), roughly, of the problem Solve is given:
// beta / b_max is the time value over its most.
template <class T>
KV_INLINE void PathCoordinates(T w, T price, T F, T K, T t, T r, T& z, T& log_share) {
  const T time_value = price * RoughExp(t * r) - Max(w * (F - K), Fill<T>(0.0));
  const T log_f = RoughLog(F), log_k = RoughLog(K);
  log_share = RoughLog(time_value) - Select(F < K, log_f, log_k);
  z = SqrtOf(Abs(log_f - log_k));
}

// The expected path in [0, kPathKeys), as a double per lane: twice the
// branch, plus one below the small-u bound. Any input gives some key.
template <class T>
KV_INLINE T PathKey(const PathTable& table, T z, T log_share) {
  constexpr double kLast = PathTable::kNodes - 1.0;
  T at = z * PathTable::kPerUnit;
  at = Select(at < kLast, at, Fill<T>(kLast));         // and NaN
  const T entry = ((at + 0x1.8p52) - 0x1.8p52) * 4.0;  // the nearest node's, rounded
  T centre, lower, upper, small;
  EntryPair(&table.node[0][0], entry, centre, lower);
  EntryPair(&table.node[0][2], entry, upper, small);
  const T key = Select(log_share < centre, Select(log_share < lower, Fill<T>(0.0), Fill<T>(2.0)),
                       Select(log_share > upper, Fill<T>(6.0), Fill<T>(4.0)));
  return key + Select(log_share < small, Fill<T>(1.0), Fill<T>(0.0));
}

}  // namespace rational
KV_TARGET_END
