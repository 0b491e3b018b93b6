#pragma once

// The six parameter lists ("shapes") of the 102 functions. A shape knows its
// parameter names in positional order, which of them are per-option values
// (arrays in the _array form), the kernel input each parameter is (kSlots,
// kernels/job.hpp: the Greeks' (flag, X, K, t, r, sigma, q), the implied
// volatilities' (flag, price, X, K, t, r, q)), its length message, and how to
// hand the bound values to a model routine R (R::Call) in the routine's own
// argument order.

#include <cstddef>

#include "../models/option_kind.hpp"
#include "../simd/target.hpp"

// Compiled into the kernels of every SIMD target too (see target.hpp).
KV_TARGET_BEGIN

enum class Param : unsigned char { Flag, Number, PerOption };

namespace shape_detail {
constexpr Param F = Param::Flag;
constexpr Param N = Param::Number;
constexpr Param P = Param::PerOption;
}  // namespace shape_detail

// The bound values of one call (V = double) or of one block of array
// elements (V = Lanes<N>): per-option values, and the single values shared by
// every element. Each slot is used in exactly one of the two.
template <class V, int Count>
struct Bound {
  V per[Count];
  double shared[Count];
};

template <class Shape, int Count, bool ImpliedVol = false>
struct ShapeBase {
  static constexpr int kCount = Count;
  // Implied-volatility shapes state a problem for the solver (IvInputs);
  // the others evaluate a price or Greek, on doubles or on Lanes.
  static constexpr bool kImpliedVol = ImpliedVol;

  // Bound slot i, checked at compile time against the shape's parameter
  // kinds: Per reads a per-option value, Shared a single number.
  template <int i, class V>
  static const V& Per(const Bound<V, Count>& a) {
    static_assert(Shape::kKinds[i] == Param::PerOption, "slot is not a per-option value");
    return a.per[i];
  }
  template <int i, class V>
  static double Shared(const Bound<V, Count>& a) {
    static_assert(Shape::kKinds[i] == Param::Number, "slot is not a single number");
    return a.shared[i];
  }
};

// bs_*: (flag, S, K, t, r, sigma), evaluated as bsm_* with q = 0.0.
struct SpotShape : ShapeBase<SpotShape, 6> {
  static constexpr const char* kNames[] = {"flag", "S", "K", "t", "r", "sigma"};
  static constexpr Param kKinds[] = {shape_detail::F, shape_detail::P, shape_detail::P,
                                     shape_detail::P, shape_detail::N, shape_detail::P};
  static constexpr int kSlots[] = {0, 1, 2, 3, 4, 5};
  static constexpr const char* kLengthMessage = "S, K, t, sigma arrays must have equal length";
  template <class R, class V>
  static auto Evaluate(OptionKind kind, const Bound<V, kCount>& a) {
    return R::Call(kind, Per<1>(a), Per<2>(a), Per<3>(a), Shared<4>(a), Per<5>(a), 0.0);
  }
};

// bsm_*: (flag, S, K, t, r, sigma, q).
struct SpotQShape : ShapeBase<SpotQShape, 7> {
  static constexpr const char* kNames[] = {"flag", "S", "K", "t", "r", "sigma", "q"};
  static constexpr Param kKinds[] = {shape_detail::F, shape_detail::P, shape_detail::P,
                                     shape_detail::P, shape_detail::N, shape_detail::P,
                                     shape_detail::N};
  static constexpr int kSlots[] = {0, 1, 2, 3, 4, 5, 6};
  static constexpr const char* kLengthMessage = "S, K, t, sigma arrays must have equal length";
  template <class R, class V>
  static auto Evaluate(OptionKind kind, const Bound<V, kCount>& a) {
    return R::Call(kind, Per<1>(a), Per<2>(a), Per<3>(a), Shared<4>(a), Per<5>(a), Shared<6>(a));
  }
};

// black76_*: (flag, F, K, t, r, sigma).
struct ForwardShape : ShapeBase<ForwardShape, 6> {
  static constexpr const char* kNames[] = {"flag", "F", "K", "t", "r", "sigma"};
  static constexpr Param kKinds[] = {shape_detail::F, shape_detail::P, shape_detail::P,
                                     shape_detail::P, shape_detail::N, shape_detail::P};
  static constexpr int kSlots[] = {0, 1, 2, 3, 4, 5};
  static constexpr const char* kLengthMessage = "F, K, t, sigma arrays must have equal length";
  template <class R, class V>
  static auto Evaluate(OptionKind kind, const Bound<V, kCount>& a) {
    return R::Call(kind, Per<1>(a), Per<2>(a), Per<3>(a), Shared<4>(a), Per<5>(a));
  }
};

// bs_implied_volatility: (price, S, K, t, r, flag), the bsm solve with q = 0.0.
struct SpotIvShape : ShapeBase<SpotIvShape, 6, true> {
  static constexpr const char* kNames[] = {"price", "S", "K", "t", "r", "flag"};
  static constexpr Param kKinds[] = {shape_detail::P, shape_detail::P, shape_detail::P,
                                     shape_detail::P, shape_detail::N, shape_detail::F};
  static constexpr int kSlots[] = {1, 2, 3, 4, 5, 0};
  static constexpr const char* kLengthMessage = "price, S, K, t arrays must have equal length";
  template <class R, class V>
  static auto Evaluate(OptionKind kind, const Bound<V, kCount>& a) {
    return R::Call(kind, Per<0>(a), Per<1>(a), Per<2>(a), Per<3>(a), Shared<4>(a), 0.0);
  }
};

// bsm_implied_volatility: (price, S, K, t, r, q, flag).
struct SpotQIvShape : ShapeBase<SpotQIvShape, 7, true> {
  static constexpr const char* kNames[] = {"price", "S", "K", "t", "r", "q", "flag"};
  static constexpr Param kKinds[] = {shape_detail::P, shape_detail::P, shape_detail::P,
                                     shape_detail::P, shape_detail::N, shape_detail::N,
                                     shape_detail::F};
  static constexpr int kSlots[] = {1, 2, 3, 4, 5, 6, 0};
  static constexpr const char* kLengthMessage = "price, S, K, t arrays must have equal length";
  template <class R, class V>
  static auto Evaluate(OptionKind kind, const Bound<V, kCount>& a) {
    return R::Call(kind, Per<0>(a), Per<1>(a), Per<2>(a), Per<3>(a), Shared<4>(a), Shared<5>(a));
  }
};

// black76_implied_volatility: (price, F, K, r, t, flag) -- r before t.
struct ForwardIvShape : ShapeBase<ForwardIvShape, 6, true> {
  static constexpr const char* kNames[] = {"price", "F", "K", "r", "t", "flag"};
  static constexpr Param kKinds[] = {shape_detail::P, shape_detail::P, shape_detail::P,
                                     shape_detail::N, shape_detail::P, shape_detail::F};
  static constexpr int kSlots[] = {1, 2, 3, 5, 4, 0};
  static constexpr const char* kLengthMessage = "price, F, K, t arrays must have equal length";
  template <class R, class V>
  static auto Evaluate(OptionKind kind, const Bound<V, kCount>& a) {
    return R::Call(kind, Per<0>(a), Per<1>(a), Per<2>(a), Per<4>(a), Shared<3>(a));
  }
};

template <class Shape>
constexpr int PerOptionCount() {
  int count = 0;
  for (Param p : Shape::kKinds) count += p == Param::PerOption;
  return count;
}

// A string usable as a template argument, so each entry point knows its name.
template <std::size_t N>
struct FixedString {
  char text[N];
  constexpr FixedString(const char (&s)[N]) {
    for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
  }
};

KV_TARGET_END
