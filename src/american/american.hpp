#pragma once

// American exercise under Black-Scholes-Merton with a continuous yield q
// (Black-Scholes: q = 0; Black-76: the futures price F as the underlying,
// q = r). One option at a time, with no Python and no SIMD: the whole-book
// entry runs it over threads.

#include <cstdint>

namespace kv::american {

// The accuracy settings: (nodes, iterations, quadrature points) chosen by
// their measured error on a benchmark portfolio (tools/american_accuracy.py).
enum class Accuracy : int { Fast = 0, Accurate = 1, High = 2 };
inline constexpr int kAccuracyCount = 3;

enum class Model : int { Bs = 0, Bsm = 1, Black76 = 2 };

// One option: X is S (bs, bsm) or F (black76); q is ignored but for bsm.
struct Option {
  bool call;
  double X, K, t, r, sigma, q;
};

// What an option's Greeks are asked for, and where they land. Each bit of
// `wanted` is one Quantity.
enum Quantity : int { kPrice, kDelta, kGamma, kTheta, kVega, kRho, kDualDelta, kDualGamma, kCount };

struct Values {
  double v[kCount];
};

// The value of each wanted quantity (the others are left as they are).
// Theta is per calendar day, vega and rho per percentage point, as for
// European exercise.
void Evaluate(Model model, Accuracy accuracy, const Option& option, unsigned wanted, Values& out);

// The price alone.
double Price(Model model, Accuracy accuracy, const Option& option);

// Implied volatility from an American price, with the whole-book status
// codes (kv::book IvStatus) plus kBelowExercise.
struct IvResult {
  double sigma;
  std::int8_t status;
};
inline constexpr std::int8_t kSolved = 0, kLowerBound = 1, kUpperBound = 2, kAboveMaximum = 4,
                             kNanInput = 5, kNoConvergence = 6, kBelowExercise = 8;
IvResult ImpliedVol(Model model, Accuracy accuracy, const Option& option, double price);

}  // namespace kv::american
