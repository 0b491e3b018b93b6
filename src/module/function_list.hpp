#pragma once

// The Python functions as data: one row per (model, quantity), expanded
// into a scalar and an _array function, in registration order. Within each
// model block: price, implied volatility and the first-order Greeks as
// scalars, then as arrays; then the higher-order Greeks and the dual Greeks
// as scalars, then as arrays. Black-76 first, then Black-Scholes-Merton, then
// Black-Scholes.

#include "../iv/implied_vol.hpp"
#include "../models/black76.hpp"
#include "../models/quantity_list.hpp"
#include "../models/spot.hpp"
#include "../models/target.hpp"
#include "shapes.hpp"

KV_TARGET_BEGIN
using namespace greeks;  // the quantities the rows name
KV_TARGET_END

// clang-format off
// One model's block: its price and implied volatility, then each Greek of
// quantity_list.hpp, as X(name, Shape, Routine) rows.
#define KV_GREEK_FUNCTION(name, Q, X, model, Shape, Adapter) X(model##_##name, Shape, Adapter<Q>)
#define KV_MODEL_FIRST(X, model, price, Shape, IvShape, Adapter, IvInputs)    \
  X(model##_##price,              Shape,   Adapter<Price>)                    \
  X(model##_implied_volatility,   IvShape, IvInputs)                          \
  KV_FIRST_ORDER_GREEKS(KV_GREEK_FUNCTION, X, model, Shape, Adapter)
#define KV_MODEL_SECOND(X, model, Shape, Adapter)                             \
  KV_HIGHER_ORDER_GREEKS(KV_GREEK_FUNCTION, X, model, Shape, Adapter)

// Black-Scholes takes the Black-Scholes-Merton routines, which its shapes
// call with q = 0.0.
#define KV_BLACK76_FIRST(X)                                                   \
  KV_MODEL_FIRST(X, black76, black, ForwardShape, ForwardIvShape, Black76, Black76IvInputs)
#define KV_BLACK76_SECOND(X) KV_MODEL_SECOND(X, black76, ForwardShape, Black76)
#define KV_BSM_FIRST(X)                                                       \
  KV_MODEL_FIRST(X, bsm, black_scholes_merton, SpotQShape, SpotQIvShape, Bsm, BsmIvInputs)
#define KV_BSM_SECOND(X) KV_MODEL_SECOND(X, bsm, SpotQShape, Bsm)
#define KV_BS_FIRST(X)                                                        \
  KV_MODEL_FIRST(X, bs, black_scholes, SpotShape, SpotIvShape, Bsm, BsmIvInputs)
#define KV_BS_SECOND(X) KV_MODEL_SECOND(X, bs, SpotShape, Bsm)

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
// Per model: one function per quantity, and implied volatility.
static_assert(kArrayRows == 3 * (kQuantityCount + 1));

}  // namespace kv
