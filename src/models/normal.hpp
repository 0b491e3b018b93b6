#pragma once

// The standard normal density and distribution function.
//
// NormCdf keeps full double precision over the whole real line: the far left
// tail is summed directly from its asymptotic series instead of being formed
// as 1 minus the right tail, so NormCdf(-37.5) is about 4.6e-308, not 0.

#include <cmath>

namespace kv {

inline constexpr double kDensityFactor = 0.3989422804014327;  // 1/sqrt(2*pi)

// exp(x * (x * -0.5)) * 1/sqrt(2*pi), in exactly that order.
inline double NormPdf(double x) { return std::exp(x * (x * -0.5)) * kDensityFactor; }

// -NormPdf(x), formed with the negated constant so it is exactly the negation.
inline double NegNormPdf(double x) { return std::exp(x * (x * -0.5)) * -kDensityFactor; }

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

// Horner steps shared by the three intervals: num = (num + a) * v, den = (den + b) * v.
template <unsigned N>
inline void ErfcHorner(const ErfcPair (&steps)[N], double v, double& num, double& den) {
  for (const ErfcPair& step : steps) {
    num = (num + step.num) * v;
    den = (den + step.den) * v;
  }
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

// The first factor of the split exponential exp(-y*y) = exp(-yq*yq) * exp(-(y+yq)*(y-yq)),
// with yq = y truncated to a multiple of 1/16: yq*yq is exact, so only the small
// second factor carries the rounding of its argument.
inline double ErfcSplitHead(double yq) { return std::exp(-(yq * yq)); }

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
    const double s = y > 1.11e-16 ? y * y : 0.0;
    double num = kSmallLead * s;
    double den = s;
    ErfcHorner(kSmallSteps, s, num, den);
    num = num + kSmallLast.num;
    den = den + kSmallLast.den;
    erfc = 1.0 - (u * num) / den;
  } else {
    double R;
    if (y <= 4.0) {
      double num = kMiddleLead * y;
      double den = y;
      ErfcHorner(kMiddleSteps, y, num, den);
      R = (num + kMiddleLast.num) / (den + kMiddleLast.den);
    } else if (y >= 26.543) {
      return u < 0.0 ? 1.0 : 0.0;  // erfc saturates at 2 or 0
    } else {
      // 4 < y < 26.543, and NaN, for which every comparison above failed.
      const double s = 1.0 / (u * u);
      double num = kLargeLead * s;
      double den = s;
      ErfcHorner(kLargeSteps, s, num, den);
      num = num + kLargeLast.num;
      den = den + kLargeLast.den;
      R = (kTailFactor - (s * num) / den) / y;
    }
    const double yq = std::trunc(y * 16.0) * 0.0625;
    erfc = (ErfcSplitHead(yq) * std::exp(-((y + yq) * (y - yq)))) * R;
    if (u < 0.0) erfc = 2.0 - erfc;
  }
  return erfc * 0.5;
}

}  // namespace kv
