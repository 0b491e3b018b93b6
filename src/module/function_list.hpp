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
using namespace greeks;  // the quantities the rows name
KV_TARGET_END

// clang-format off
#define KV_BLACK76_FIRST(X)                                                   \
  X(black76_black,              ForwardShape,   Black76<Price>)               \
  X(black76_implied_volatility, ForwardIvShape, Black76ImpliedVol)            \
  X(black76_delta,              ForwardShape,   Black76<Delta>)               \
  X(black76_gamma,              ForwardShape,   Black76<Gamma>)               \
  X(black76_vega,               ForwardShape,   Black76<Vega>)                \
  X(black76_theta,              ForwardShape,   Black76<Theta>)               \
  X(black76_rho,                ForwardShape,   Black76<Rho>)

#define KV_BLACK76_SECOND(X)                                                  \
  X(black76_vanna,      ForwardShape, Black76<Vanna>)                         \
  X(black76_charm,      ForwardShape, Black76<Charm>)                         \
  X(black76_vomma,      ForwardShape, Black76<Vomma>)                         \
  X(black76_speed,      ForwardShape, Black76<Speed>)                         \
  X(black76_zomma,      ForwardShape, Black76<Zomma>)                         \
  X(black76_color,      ForwardShape, Black76<Color>)                         \
  X(black76_veta,       ForwardShape, Black76<Veta>)                          \
  X(black76_ultima,     ForwardShape, Black76<Ultima>)                        \
  X(black76_dual_delta, ForwardShape, Black76<DualDelta>)                     \
  X(black76_dual_gamma, ForwardShape, Black76<DualGamma>)

#define KV_BSM_FIRST(X)                                                       \
  X(bsm_black_scholes_merton, SpotQShape,   Bsm<Price>)                       \
  X(bsm_implied_volatility,   SpotQIvShape, BsmImpliedVol)                    \
  X(bsm_delta,                SpotQShape,   Bsm<Delta>)                       \
  X(bsm_gamma,                SpotQShape,   Bsm<Gamma>)                       \
  X(bsm_vega,                 SpotQShape,   Bsm<Vega>)                        \
  X(bsm_theta,                SpotQShape,   Bsm<Theta>)                       \
  X(bsm_rho,                  SpotQShape,   Bsm<Rho>)

#define KV_BSM_SECOND(X)                                                      \
  X(bsm_vanna,      SpotQShape, Bsm<Vanna>)                                   \
  X(bsm_charm,      SpotQShape, Bsm<Charm>)                                   \
  X(bsm_vomma,      SpotQShape, Bsm<Vomma>)                                   \
  X(bsm_speed,      SpotQShape, Bsm<Speed>)                                   \
  X(bsm_zomma,      SpotQShape, Bsm<Zomma>)                                   \
  X(bsm_color,      SpotQShape, Bsm<Color>)                                   \
  X(bsm_veta,       SpotQShape, Bsm<Veta>)                                    \
  X(bsm_ultima,     SpotQShape, Bsm<Ultima>)                                  \
  X(bsm_dual_delta, SpotQShape, Bsm<DualDelta>)                               \
  X(bsm_dual_gamma, SpotQShape, Bsm<DualGamma>)

// Black-Scholes: the Black-Scholes-Merton routines, which the bs shapes call with q = 0.0.
#define KV_BS_FIRST(X)                                                        \
  X(bs_black_scholes,      SpotShape,   Bsm<Price>)                           \
  X(bs_implied_volatility, SpotIvShape, BsmImpliedVol)                        \
  X(bs_delta,              SpotShape,   Bsm<Delta>)                           \
  X(bs_gamma,              SpotShape,   Bsm<Gamma>)                           \
  X(bs_vega,               SpotShape,   Bsm<Vega>)                            \
  X(bs_theta,              SpotShape,   Bsm<Theta>)                           \
  X(bs_rho,                SpotShape,   Bsm<Rho>)

#define KV_BS_SECOND(X)                                                       \
  X(bs_vanna,      SpotShape, Bsm<Vanna>)                                     \
  X(bs_charm,      SpotShape, Bsm<Charm>)                                     \
  X(bs_vomma,      SpotShape, Bsm<Vomma>)                                     \
  X(bs_speed,      SpotShape, Bsm<Speed>)                                     \
  X(bs_zomma,      SpotShape, Bsm<Zomma>)                                     \
  X(bs_color,      SpotShape, Bsm<Color>)                                     \
  X(bs_veta,       SpotShape, Bsm<Veta>)                                      \
  X(bs_ultima,     SpotShape, Bsm<Ultima>)                                    \
  X(bs_dual_delta, SpotShape, Bsm<DualDelta>)                                 \
  X(bs_dual_gamma, SpotShape, Bsm<DualGamma>)

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
