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

#include <cmath>
#include <limits>
#include <type_traits>

#include "../models/block_math.hpp"
#include "../models/lanes.hpp"
#include "../models/normal.hpp"
#include "../models/target.hpp"

KV_TARGET_BEGIN
namespace rational {

// ---- one value or a block ---------------------------------------------------

template <class T>
inline constexpr bool kIsBlock = !std::is_same_v<T, double>;

template <class T>
using LanesOf = Lanes<sizeof(T) / sizeof(double)>;

template <class T>
[[gnu::always_inline]] inline T Fill(double v) {
  if constexpr (kIsBlock<T>) {
    return T{} + v;
  } else {
    return v;
  }
}

// Any lane of a comparison set; for one value, the comparison itself.
[[gnu::always_inline]] inline bool Any(bool c) {
  return c;
}
[[gnu::always_inline]] inline bool Any(int c) {  // bool & bool
  return c != 0;
}
template <class M>
[[gnu::always_inline]] inline bool Any(M c) {
  return AnyLane(c);
}

using detail::Select;

template <class T>
[[gnu::always_inline]] inline T ExpOf(T x) {
  if constexpr (kIsBlock<T>) {
    return Exp(LanesOf<T>{x}).v;
  } else {
    return std::exp(x);
  }
}
template <class T>
[[gnu::always_inline]] inline T LogOf(T x) {
  if constexpr (kIsBlock<T>) {
    return Log(LanesOf<T>{x}).v;
  } else {
    return std::log(x);
  }
}
template <class T>
[[gnu::always_inline]] inline T SqrtOf(T x) {
  if constexpr (kIsBlock<T>) {
    return Sqrt(LanesOf<T>{x}).v;
  } else {
    return std::sqrt(x);
  }
}
template <class T>
[[gnu::always_inline]] inline T CdfOf(T x) {
  if constexpr (kIsBlock<T>) {
    return NormCdf(LanesOf<T>{x}).v;
  } else {
    return NormCdf(x);
  }
}
template <class T>
[[gnu::always_inline]] inline T Abs(T x) {
  return Select(x < 0.0, -x, x);
}
template <class T>
[[gnu::always_inline]] inline T Max(T a, T b) {
  return Select(a < b, b, a);
}

inline constexpr double kInvSqrt2Pi = 0.3989422804014327;
inline constexpr double kSqrtPiOver2 = 1.2533141373155003;
inline constexpr double kInvSqrt2 = 0.7071067811865476;
inline constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

// ---- the scaled complementary error function --------------------------------

// erfcx(y) = exp(y*y) erfc(y) from Cody's rational approximations of erfc
// (normal.hpp): beyond 0.46875 they are exp(-y*y) times a ratio that is
// erfcx itself, so no exponential is taken there.
template <class T>
inline T Erfcx(T y) {
  using namespace kv::detail;
  const T a = Abs(y);
  const auto small = a <= 0.46875;
  const auto large = a > 4.0;
  T out = Fill<T>(0.0);
  if (Any(small)) out = Select(small, ExpOf(y * y) * SmallErfc(y, a), out);
  if (Any(!small & !large)) out = Select(!small & !large, MiddleRatio(a), out);
  if (Any(large)) out = Select(large, LargeRatio(a, a), out);
  const auto reflect = !small & (y < 0.0);
  if (Any(reflect)) out = Select(reflect, 2.0 * ExpOf(y * y) - out, out);
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
inline constexpr int kSmallTerms = 7;  // u^1 .. u^13
template <class T>
inline T SmallURatio(T h, T u) {
  T previous = kSqrtPiOver2 * Erfcx(h * -kInvSqrt2);  // Y(h)
  T current = 1.0 + h * previous;                      // Y'(h)
  const T w = u * u;
  T terms[kSmallTerms];
  for (int j = 0; j < kSmallTerms; ++j) {
    terms[j] = current;
    const int k = 2 * j + 1;  // current is Y^(k)
    const T next = h * current + k * previous;
    const T after = h * next + (k + 1) * current;
    previous = next;
    current = after;
  }
  T sum = Fill<T>(0.0);
  double factorial = 1.0;
  for (int j = 1; j < kSmallTerms; ++j) factorial *= (2.0 * j) * (2.0 * j + 1.0);
  for (int j = kSmallTerms - 1; j >= 0; --j) {
    sum = sum * w + terms[j] / factorial;
    factorial /= j > 0 ? (2.0 * j) * (2.0 * j + 1.0) : 1.0;
  }
  return (2.0 * u) * sum;
}

template <class T>
inline T ErfcxRatio(T h, T u) {
  const T a = Erfcx(-(h + u) * kInvSqrt2);
  const T b = Erfcx(-(h - u) * kInvSqrt2);
  return kSqrtPiOver2 * (a - b);
}

template <class T>
inline T CodyBlack(T x, T h, T u) {
  const T half = x * 0.5;
  return ExpOf(half) * CdfOf(h + u) - ExpOf(-half) * CdfOf(h - u);
}

// h = x/s, with h = 0 at the money even for s = 0.
template <class T>
[[gnu::always_inline]] inline T Moneyness(T x, T s) {
  return Select(x == 0.0, Fill<T>(0.0), x / s);
}

// exp(-(h^2 + u^2)/2) / sqrt(2 pi): the vega db/ds, and the factor of every
// form of b but the first.
template <class T>
[[gnu::always_inline]] inline T Density(T h, T u) {
  return ExpOf(-0.5 * (h * h + u * u)) * kInvSqrt2Pi;
}

// b, and with log_b its logarithm, which outside the first form is taken
// from the exponent itself: it stays exact where b underflows.
template <class T>
inline T NormalisedBlack(T x, T s, T* log_b = nullptr) {
  const T h = Moneyness(x, s), u = s * 0.5;
  const auto asymptotic = (h < kAsymptoticH) & (h + u < kAsymptoticH + kSmallU);
  const auto small = !asymptotic & (u < kSmallU);
  const auto cody = !asymptotic & !small & (h + u > kCodyD1);
  const auto middle = !asymptotic & !small & !cody;
  T ratio = Fill<T>(0.0);  // b / density
  if (Any(asymptotic)) ratio = Select(asymptotic, AsymptoticRatio(h, u), ratio);
  if (Any(small)) ratio = Select(small, SmallURatio(h, u), ratio);
  if (Any(middle)) ratio = Select(middle, ErfcxRatio(h, u), ratio);
  T b = Density(h, u) * ratio;
  if (Any(cody)) b = Select(cody, CodyBlack(x, h, u), b);
  if (log_b != nullptr) {
    *log_b = -0.5 * (h * h + u * u) + LogOf(kInvSqrt2Pi * ratio);
    if (Any(cody)) *log_b = Select(cody, LogOf(b), *log_b);
  }
  // s = 0 prices nothing.
  return Select(s > 0.0, b, Fill<T>(0.0));
}

// b_max - b = exp(x/2) Phi(-h - u) + exp(-x/2) Phi(h - u), a sum: for prices
// near the maximum, where b itself has lost the digits of the difference.
template <class T>
inline T BlackComplement(T x, T s) {
  const T h = Moneyness(x, s), u = s * 0.5, half = x * 0.5;
  return ExpOf(half) * CdfOf(-(h + u)) + ExpOf(-half) * CdfOf(h - u);
}

// ---- the initial guess --------------------------------------------------------

// The inverse of Phi on (0, 0.5], to about 1e-9 relative (Acklam's rational
// approximation): ample for a starting point the Householder steps refine.
template <class T>
inline T InverseCdfLower(T p) {
  constexpr double a[] = {-39.6968302866538, 220.946098424521, -275.928510446969,
                          138.357751867269,  -30.6647980661472, 2.50662827745924};
  constexpr double b[] = {-54.4760987982241, 161.585836858041, -155.698979859887,
                          66.8013118877197, -13.2806815528857};
  constexpr double c[] = {-7.78489400243029e-03, -0.322396458041136, -2.40075827716184,
                          -2.54973253934373,     4.37466414146497,   2.93816398269878};
  constexpr double d[] = {7.78469570904146e-03, 0.32246712907004, 2.445134137143,
                          3.75440866190742};
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
template <class T>
inline T MinimumControl(T dl, T dr, T slope, bool prefer_shape) {
  const auto monotone = (dl * slope >= 0.0) & (dr * slope >= 0.0);
  const auto convex = (dl <= slope) & (slope <= dr);
  const auto concave = (dl >= slope) & (slope >= dr);
  const T none = Fill<T>(-kMaxControl);
  const T top = Fill<T>(prefer_shape ? kMaxControl : -kMaxControl);
  const T r1 = Select(monotone, Select(slope != 0.0, (dr + dl) / slope, top), none);
  const T sl = slope - dl, rs = dr - slope, span = dr - dl;
  const T shaped = Select((sl != 0.0) & (rs != 0.0), Max(Abs(span / rs), Abs(span / sl)), top);
  const T r2 = Select(convex | concave, shaped, Select(monotone, top, none));
  const T r = Max(Fill<T>(kMinControl), Max(r1, r2));
  return Select(monotone | convex | concave, r, Fill<T>(kMinControl));
}

// The control parameter matching a second derivative at the left (at_left)
// or the right end, raised to the minimum above.
template <class T>
inline T ControlFor(T xl, T xr, T yl, T yr, T dl, T dr, T second, bool at_left,
                    bool prefer_shape) {
  const T w = xr - xl, slope = (yr - yl) / w;
  const T num = 0.5 * w * second + (dr - dl);
  const T den = at_left ? slope - dl : dr - slope;
  const T fit = Select(num == 0.0, Fill<T>(0.0),
                       Select(den == 0.0, Select(num > 0.0, Fill<T>(kMaxControl), Fill<T>(kMinControl)),
                              num / den));
  return Max(fit, MinimumControl(dl, dr, slope, prefer_shape));
}

// b''/b' = h^2/s - s/4 and b'''/b' = (b''/b')^2 - 3 h^2/s^2 - 1/4.
template <class T>
[[gnu::always_inline]] inline T Curvature(T h, T s) {
  return h * h / s - s * 0.25;
}

// The lower map f(s) = 2 pi |x| / sqrt(27) Phi(-z)^3, z = |x| / (sqrt(3) s):
// b's own behaviour as s -> 0, so f(beta) is nearly linear there.
inline constexpr double kLowerScale = 1.2091995761561452;  // 2 pi / sqrt(27)
inline constexpr double kInvSqrt3 = 0.5773502691896258;
inline constexpr double kSqrt3 = 1.7320508075688772;

template <class T>
inline T InverseLowerMap(T x, T f) {
  const T p = ExpOf(LogOf(f / (kLowerScale * Abs(x))) * (1.0 / 3.0));
  return Select(f > 0.0, Abs(x / (kSqrt3 * InverseCdfLower(p))), Fill<T>(0.0));
}

namespace branch_of {
inline constexpr double kLower = 0, kLowMiddle = 1, kHighMiddle = 2, kUpper = 3;
}

// The starting s for beta in (0, b_max), and which of the four branches it
// lies in (as a double per lane).
template <class T>
inline T InitialGuess(T x, T beta, T bmax, T& branch) {
  const T sc = SqrtOf(-2.0 * x);
  const T hc = Moneyness(x, sc);
  const T bc = NormalisedBlack(x, sc), vc = Density(hc, sc * 0.5);
  const auto low = beta < bc;
  T s = Fill<T>(0.0);
  branch = Fill<T>(0.0);
  if (Any(low)) {
    const T sl = sc - bc / vc;
    const T hl = Moneyness(x, sl);
    const T bl = NormalisedBlack(x, sl), vl = Density(hl, sl * 0.5);
    const auto lower = low & (beta < bl);
    const auto mid = low & !(beta < bl);
    if (Any(lower)) {
      const T ax = Abs(x), z = kInvSqrt3 * ax / sl, y = z * z, s2 = sl * sl;
      const T Phi = CdfOf(-z), phi = kInvSqrt2Pi * ExpOf(-0.5 * y);
      const T f = kLowerScale * ax * (Phi * Phi * Phi);
      const T fp = 6.283185307179586 * y * (Phi * Phi) * ExpOf(y + 0.125 * s2);
      const T fpp = (0.5235987755982988 * y / (s2 * sl)) * Phi *
                    (8.0 * kSqrt3 * sl * ax + (3.0 * s2 * (s2 - 8.0) - 8.0 * x * x) * Phi / phi) *
                    ExpOf(2.0 * y + 0.25 * s2);
      const T df = fp / vl;
      const T d2f = (fpp - fp * Curvature(hl, sl)) / (vl * vl);
      const T zero = Fill<T>(0.0), one = Fill<T>(1.0);
      const T c = ControlFor(zero, bl, zero, f, one, df, d2f, false, true);
      const T fb = RationalCubic(beta, zero, bl, zero, f, one, df, c);
      s = Select(lower, InverseLowerMap(x, fb), s);
    }
    if (Any(mid)) {
      const T dl = 1.0 / vl, dc = 1.0 / vc;
      const T c = ControlFor(bl, bc, sl, sc, dl, dc, Fill<T>(0.0), false, false);
      s = Select(mid, RationalCubic(beta, bl, bc, sl, sc, dl, dc, c), s);
      branch = Select(mid, Fill<T>(branch_of::kLowMiddle), branch);
    }
  }
  if (Any(!low)) {
    const T su = sc + (bmax - bc) / vc;
    const T hu = Moneyness(x, su);
    const T bu = NormalisedBlack(x, su), vu = Density(hu, su * 0.5);
    const auto upper = !low & (beta > bu);
    const auto mid = !low & !(beta > bu);
    if (Any(mid)) {
      const T dc = 1.0 / vc, du = 1.0 / vu;
      const T c = ControlFor(bc, bu, sc, su, dc, du, Fill<T>(0.0), true, false);
      s = Select(mid, RationalCubic(beta, bc, bu, sc, su, dc, du, c), s);
      branch = Select(mid, Fill<T>(branch_of::kHighMiddle), branch);
    }
    if (Any(upper)) {
      // The upper map f(s) = Phi(-s/2): b_max - b tends to a multiple of it.
      const T f = CdfOf(su * -0.5);
      const T fp = -0.5 * kInvSqrt2Pi * ExpOf(su * su * -0.125);
      const T fpp = fp * (su * -0.25);  // f'' = -(s/4) f'
      const T df = fp / vu;
      const T d2f = (fpp - fp * Curvature(hu, su)) / (vu * vu);
      const T c = ControlFor(bu, bmax, f, Fill<T>(0.0), df, Fill<T>(-0.5), d2f, true, true);
      const T fb = RationalCubic(beta, bu, bmax, f, Fill<T>(0.0), df, Fill<T>(-0.5), c);
      s = Select(upper, -2.0 * InverseCdfLower(Select(fb > 0.0, fb, Fill<T>(0.5))), s);
      // At the maximum the map is 0: s is unbounded.
      s = Select(upper & !(fb > 0.0), Fill<T>(HUGE_VAL), s);
      branch = Select(upper, Fill<T>(branch_of::kUpper), branch);
    }
  }
  return s;
}

// ---- the Householder steps ------------------------------------------------------

// One third-order step from s on the branch's objective: 1/ln b - 1/ln beta
// below (b falls off like exp(-x^2 / 2 s^2) there), ln of the distances to
// b_max above, b - beta between.
template <class T>
inline T HouseholderStep(T x, T s, T beta, T log_beta, T gap, T branch) {
  const T h = Moneyness(x, s);
  const T vega = Density(h, s * 0.5);
  const T c2 = Curvature(h, s);
  const T c3 = c2 * c2 - 3.0 * (h / s) * (h / s) - 0.25;
  const auto lower = branch == branch_of::kLower;
  const auto upper = branch == branch_of::kUpper;
  const auto middle = !lower & !upper;
  const bool any_lower = Any(lower);
  T lb = Fill<T>(0.0);
  const T b = NormalisedBlack(x, s, any_lower ? &lb : nullptr);
  // Between: g = b - beta.
  T nu = (beta - b) / vega, h2 = c2, h3 = c3;
  if (any_lower) {
    // p = b'/b from the logarithms: both may underflow.
    const T lbeta = log_beta, p = ExpOf(-0.5 * (h * h + s * s * 0.25) - 0.9189385332046728 - lb);
    const T n = lb * (lbeta - lb) / (lbeta * p);
    const T k2 = c2 - p * (lb + 2.0) / lb;
    const T k3 = c3 + p * p * ((2.0 * lb + 6.0) * lb + 6.0) / (lb * lb) -
                 3.0 * p * c2 * (lb + 2.0) / lb;
    nu = Select(lower, n, nu);
    h2 = Select(lower, k2, h2);
    h3 = Select(lower, k3, h3);
  }
  if (Any(upper)) {
    const T rest = BlackComplement(x, s);  // b_max - b
    const T g = vega / rest;
    const T n = LogOf(rest / gap) / g;
    nu = Select(upper, n, nu);
    h2 = Select(upper, c2 + g, h2);
    h3 = Select(upper, c3 + 3.0 * c2 * g + 2.0 * g * g, h3);
  }
  (void)middle;
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
  const T x = LogOf(q) + rest / hi;
  return Select((hi < 1e300) & (hi > 1e-290), x, LogOf(q));
}

// ---- the solve ------------------------------------------------------------------

// How a solve ended (the book's status codes, as doubles lane by lane).
inline constexpr double kSolved = 0, kAtIntrinsic = 1, kAtMaximum = 2, kBelowIntrinsic = 3,
                        kAboveMaximum = 4, kNanInput = 5, kNoConvergence = 6, kExpired = 7;

template <class T>
struct Solution {
  T sigma;
  T status;
};

// The implied volatility of a European option on a forward F (w = +1 for a
// call, -1 for a put) whose price, discounted at r over t, is price. The
// intrinsic value gives 0, the maximum (F for a call, K for a put) gives
// infinity; prices beyond either, NaN. The volatility is never capped.
template <class T>
inline Solution<T> Solve(T w, T price, T F, T K, T t, T r) {
  const T nan = Fill<T>(std::numeric_limits<double>::quiet_NaN());
  const T target = price * ExpOf(t * r);
  const T intrinsic = Max(w * (F - K), Fill<T>(0.0));
  const T time_value = target - intrinsic;
  const T cap = Select(F < K, F, K);  // the most a time value can be
  const auto unpriceable = (F <= 0.0) | (K <= 0.0) | (F == HUGE_VAL) | (K == HUGE_VAL) |
                           (t == HUGE_VAL) | (target != target) | (F != F) | (K != K);
  const auto expired = (t <= 0.0) & (price == price) & (F == F) & (K == K) & (r == r);
  const auto below = time_value < 0.0;
  const auto above = time_value > cap;
  const auto at_intrinsic = time_value == 0.0;
  const auto at_maximum = time_value == cap;

  // The out-of-the-money call of the same time value, normalised by sqrt(F K).
  const T fk = F * K;
  const T root = Select((fk < HUGE_VAL) & (fk > 1e-300), SqrtOf(fk), SqrtOf(F) * SqrtOf(K));
  const T x = -Abs(LogMoneyness(F, K));
  const T beta = time_value / root;
  const T gap = (cap - time_value) / root;
  const T bmax = ExpOf(0.5 * x);
  const auto solve = !unpriceable & !expired & !below & !above & !at_intrinsic & !at_maximum &
                     (beta > 0.0) & (t > 0.0);
  // Lanes without a problem of their own solve a harmless one.
  const T xs = Select(solve, x, Fill<T>(-1.0));
  const T betas = Select(solve, beta, Fill<T>(0.1));
  const T gaps = Select(solve, gap, ExpOf(Fill<T>(-0.5)) - 0.1);
  T branch;
  T s = InitialGuess(xs, betas, Select(solve, bmax, ExpOf(Fill<T>(-0.5))), branch);
  const auto unbounded = s == HUGE_VAL;
  const T finite = Select(unbounded, Fill<T>(1.0), s);
  const T log_beta = LogOf(Select(solve, time_value, Fill<T>(0.1))) - LogOf(Select(solve, root, Fill<T>(1.0)));
  const T step = HouseholderStep(xs, finite, betas, log_beta, gaps, branch);
  s = Select(unbounded, s, HouseholderStep(xs, step, betas, log_beta, gaps, branch));
  const T sigma = s / SqrtOf(Select(t > 0.0, t, Fill<T>(1.0)));

  Solution<T> out{sigma, Select(sigma == sigma, Fill<T>(kSolved), Fill<T>(kNoConvergence))};
  out.status = Select(unbounded, Fill<T>(kAtMaximum), out.status);
  const auto tiny = !(beta > 0.0);  // a time value that vanishes once normalised
  out.sigma = Select(at_intrinsic | tiny, Fill<T>(0.0), out.sigma);
  out.status = Select(at_intrinsic | tiny, Fill<T>(kAtIntrinsic), out.status);
  out.sigma = Select(at_maximum, Fill<T>(HUGE_VAL), out.sigma);
  out.status = Select(at_maximum, Fill<T>(kAtMaximum), out.status);
  out.sigma = Select(below | above, nan, out.sigma);
  out.status = Select(above, Fill<T>(kAboveMaximum), out.status);
  out.status = Select(below, Fill<T>(kBelowIntrinsic), out.status);
  out.sigma = Select(unpriceable | expired, nan, out.sigma);
  out.status = Select(unpriceable, Fill<T>(kNanInput), out.status);
  out.status = Select(expired, Fill<T>(kExpired), out.status);
  return out;
}

}  // namespace rational
KV_TARGET_END
