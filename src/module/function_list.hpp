#pragma once

// The 102 Python functions as data: one row per (model, quantity), expanded
// into a scalar and an _array function, in registration order. Within each
// model block: price, implied volatility and the first-order Greeks as
// scalars, then as arrays; then the higher-order Greeks and the dual Greeks
// as scalars, then as arrays. Black-76 first, then Black-Scholes-Merton, then
// Black-Scholes.

#include "../iv/implied_vol.hpp"
#include "../models/black76.hpp"
#include "../models/spot.hpp"
#include "../models/target.hpp"
#include "shapes.hpp"

KV_TARGET_BEGIN

// Adapters for the two routines whose own parameter order has sigma before t.
template <class T>
inline T BsmThetaByPosition(OptionKind kind, T S, T K, T t, double r, T sigma, double q) {
  return BsmTheta(kind, S, K, sigma, t, r, q);
}
template <class T>
inline T Black76ThetaByPosition(OptionKind kind, T F, T K, T t, double r, T sigma) {
  return Black76Theta(kind, F, K, sigma, t, r);
}

KV_TARGET_END

// clang-format off
#define KV_BLACK76_FIRST(X)                                                   \
  X(black76_black,              ForwardShape,   Black76Price)                 \
  X(black76_implied_volatility, ForwardIvShape, Black76ImpliedVol)            \
  X(black76_delta,              ForwardShape,   Black76Delta)                 \
  X(black76_gamma,              ForwardShape,   Black76Gamma)                 \
  X(black76_vega,               ForwardShape,   Black76Vega)                  \
  X(black76_theta,              ForwardShape,   Black76ThetaByPosition)       \
  X(black76_rho,                ForwardShape,   Black76Rho)

#define KV_BLACK76_SECOND(X)                                                  \
  X(black76_vanna,      ForwardShape, Black76Vanna)                           \
  X(black76_charm,      ForwardShape, Black76Charm)                           \
  X(black76_vomma,      ForwardShape, Black76Vomma)                           \
  X(black76_speed,      ForwardShape, Black76Speed)                           \
  X(black76_zomma,      ForwardShape, Black76Zomma)                           \
  X(black76_color,      ForwardShape, Black76Color)                           \
  X(black76_veta,       ForwardShape, Black76Veta)                            \
  X(black76_ultima,     ForwardShape, Black76Ultima)                          \
  X(black76_dual_delta, ForwardShape, Black76DualDelta)                       \
  X(black76_dual_gamma, ForwardShape, Black76DualGamma)

#define KV_BSM_FIRST(X)                                                       \
  X(bsm_black_scholes_merton, SpotQShape,   BsmPrice)                         \
  X(bsm_implied_volatility,   SpotQIvShape, BsmImpliedVol)                    \
  X(bsm_delta,                SpotQShape,   BsmDelta)                         \
  X(bsm_gamma,                SpotQShape,   BsmGamma)                         \
  X(bsm_vega,                 SpotQShape,   BsmVega)                          \
  X(bsm_theta,                SpotQShape,   BsmThetaByPosition)               \
  X(bsm_rho,                  SpotQShape,   BsmRho)

#define KV_BSM_SECOND(X)                                                      \
  X(bsm_vanna,      SpotQShape, BsmVanna)                                     \
  X(bsm_charm,      SpotQShape, BsmCharm)                                     \
  X(bsm_vomma,      SpotQShape, BsmVomma)                                     \
  X(bsm_speed,      SpotQShape, BsmSpeed)                                     \
  X(bsm_zomma,      SpotQShape, BsmZomma)                                     \
  X(bsm_color,      SpotQShape, BsmColor)                                     \
  X(bsm_veta,       SpotQShape, BsmVeta)                                      \
  X(bsm_ultima,     SpotQShape, BsmUltima)                                    \
  X(bsm_dual_delta, SpotQShape, BsmDualDelta)                                 \
  X(bsm_dual_gamma, SpotQShape, BsmDualGamma)

// Black-Scholes: the Black-Scholes-Merton routines, which the bs shapes call with q = 0.0.
#define KV_BS_FIRST(X)                                                        \
  X(bs_black_scholes,      SpotShape,   BsmPrice)                             \
  X(bs_implied_volatility, SpotIvShape, BsmImpliedVol)                        \
  X(bs_delta,              SpotShape,   BsmDelta)                             \
  X(bs_gamma,              SpotShape,   BsmGamma)                             \
  X(bs_vega,               SpotShape,   BsmVega)                              \
  X(bs_theta,              SpotShape,   BsmThetaByPosition)                   \
  X(bs_rho,                SpotShape,   BsmRho)

#define KV_BS_SECOND(X)                                                       \
  X(bs_vanna,      SpotShape, BsmVanna)                                       \
  X(bs_charm,      SpotShape, BsmCharm)                                       \
  X(bs_vomma,      SpotShape, BsmVomma)                                       \
  X(bs_speed,      SpotShape, BsmSpeed)                                       \
  X(bs_zomma,      SpotShape, BsmZomma)                                       \
  X(bs_color,      SpotShape, BsmColor)                                       \
  X(bs_veta,       SpotShape, BsmVeta)                                        \
  X(bs_ultima,     SpotShape, BsmUltima)                                      \
  X(bs_dual_delta, SpotShape, BsmDualDelta)                                   \
  X(bs_dual_gamma, SpotShape, BsmDualGamma)

// Every function, in registration order, as SCALAR(name, Shape, Routine) and
// ARRAY(name, Shape, Routine) rows.
#define KV_ALL_FUNCTIONS(SCALAR, ARRAY)                                       \
  KV_BLACK76_FIRST(SCALAR) KV_BLACK76_FIRST(ARRAY)                            \
  KV_BLACK76_SECOND(SCALAR) KV_BLACK76_SECOND(ARRAY)                          \
  KV_BSM_FIRST(SCALAR) KV_BSM_FIRST(ARRAY)                                    \
  KV_BSM_SECOND(SCALAR) KV_BSM_SECOND(ARRAY)                                  \
  KV_BS_FIRST(SCALAR) KV_BS_FIRST(ARRAY)                                      \
  KV_BS_SECOND(SCALAR) KV_BS_SECOND(ARRAY)
// clang-format on

#define KV_IGNORE_ROW(name, Shape, Routine)

KV_TARGET_BEGIN

// Each row's routine as a type whose Call evaluates it on doubles or on
// Lanes: routines::black76_delta::Call(kind, ...).
namespace routines {
#define KV_ROUTINE_TYPE(name, Shape, Routine)             \
  struct name {                                           \
    template <class... A>                                 \
    static auto Call(OptionKind kind, const A&... args) { \
      return Routine(kind, args...);                      \
    }                                                     \
  };
KV_ALL_FUNCTIONS(KV_ROUTINE_TYPE, KV_IGNORE_ROW)
#undef KV_ROUTINE_TYPE
}  // namespace routines

KV_TARGET_END

namespace kv {

// The array functions in registration order, numbered from 0: the index of
// each one's kernel in a target's kernel table.
enum class ArrayRow : int {
#define KV_ARRAY_ROW_NAME(name, Shape, Routine) name,
  KV_ALL_FUNCTIONS(KV_IGNORE_ROW, KV_ARRAY_ROW_NAME)
#undef KV_ARRAY_ROW_NAME
};

inline constexpr int kArrayRows = [] {
  int rows = 0;
#define KV_COUNT_ROW(name, Shape, Routine) ++rows;
  KV_ALL_FUNCTIONS(KV_IGNORE_ROW, KV_COUNT_ROW)
#undef KV_COUNT_ROW
  return rows;
}();
static_assert(kArrayRows == 51);

}  // namespace kv
