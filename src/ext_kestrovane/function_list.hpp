#pragma once

// The Python functions as data: one row per (model, quantity), expanded
// into a scalar and an _array function, in registration order, from the
// model list (model_list.hpp) and the quantity list (quantity_list.hpp).

#include "../iv/implied_vol.hpp"
#include "../kernels/job.hpp"
#include "../models/black76.hpp"
#include "../models/model_list.hpp"
#include "../models/quantity_list.hpp"
#include "../models/spot.hpp"
#include "../simd/target.hpp"
#include "shapes.hpp"

KV_TARGET_BEGIN
using namespace greeks;  // the quantities the rows name
KV_TARGET_END

// clang-format off
// Each model's parameter lists (shapes.hpp) and routines, as Shape, IvShape,
// Adapter, IvInputs. Black-Scholes takes the Black-Scholes-Merton routines,
// which its shapes call with q = 0.0.
#define KV_SHAPES_black76 ForwardShape, ForwardIvShape, Black76, Black76IvInputs
#define KV_SHAPES_bsm     SpotQShape,   SpotQIvShape,   Bsm,     BsmIvInputs
#define KV_SHAPES_bs      SpotShape,    SpotIvShape,    Bsm,     BsmIvInputs

// One model's block: its price and implied volatility, then each Greek of
// quantity_list.hpp, as X(name, Shape, Routine, Model, quantity) rows.
#define KV_GREEK_FUNCTION(name, Q, X, model, Enum, Shape, Adapter)             \
  X(model##_##name, Shape, Adapter<Q>, Enum, name)
#define KV_MODEL_FIRST(X, model, price_fn, Enum, Shape, IvShape, Adapter, IvInputs) \
  X(model##_##price_fn,           Shape,   Adapter<Price>, Enum, price)         \
  X(model##_implied_volatility,   IvShape, IvInputs,       Enum, implied_volatility) \
  KV_FIRST_ORDER_GREEKS(KV_GREEK_FUNCTION, X, model, Enum, Shape, Adapter)
#define KV_MODEL_SECOND(X, model, price_fn, Enum, Shape, IvShape, Adapter, IvInputs) \
  KV_HIGHER_ORDER_GREEKS(KV_GREEK_FUNCTION, X, model, Enum, Shape, Adapter)
#define KV_CALL(macro, ...) macro(__VA_ARGS__)
#define KV_MODEL_FUNCTIONS(model, Enum, number, price_fn, title, underlying, q, SCALAR, ARRAY) \
  KV_CALL(KV_MODEL_FIRST,  SCALAR, model, price_fn, Enum, KV_SHAPES_##model)   \
  KV_CALL(KV_MODEL_FIRST,  ARRAY,  model, price_fn, Enum, KV_SHAPES_##model)   \
  KV_CALL(KV_MODEL_SECOND, SCALAR, model, price_fn, Enum, KV_SHAPES_##model)   \
  KV_CALL(KV_MODEL_SECOND, ARRAY,  model, price_fn, Enum, KV_SHAPES_##model)

// Every function, in registration order (model_list.hpp), as
// SCALAR(name, Shape, Routine, Model, quantity) and ARRAY(...) rows. Within
// each model's block: price, implied volatility and the first-order Greeks
// as scalars, then as arrays; then the higher-order Greeks and the dual
// Greeks as scalars, then as arrays.
#define KV_ALL_FUNCTIONS(SCALAR, ARRAY) KV_ALL_MODELS(KV_MODEL_FUNCTIONS, SCALAR, ARRAY)
// clang-format on

#define KV_IGNORE_ROW(name, Shape, Routine, Model, quantity)

KV_TARGET_BEGIN

// Each row's routine as a type whose Call evaluates it on doubles or on
// Lanes: routines::black76_delta::Call(kind, ...).
namespace routines {
#define KV_ROUTINE_TYPE(name, Shape, Routine, Model, quantity) \
  struct name {                                                \
    template <class... A>                                      \
    static auto Call(OptionKind kind, const A&... args) {      \
      return Routine(kind, args...);                           \
    }                                                          \
  };
KV_ALL_FUNCTIONS(KV_ROUTINE_TYPE, KV_IGNORE_ROW)
#undef KV_ROUTINE_TYPE
}  // namespace routines

KV_TARGET_END

namespace kv {

// The kernel quantity of each row (kernels/job.hpp), by the row's quantity
// name; implied volatility is no quantity of the Greeks kernels.
namespace row_quantity {
enum : int {
#define KV_ROW_QUANTITY(name, Routine) name = kernels::Index::name,
  KV_ALL_QUANTITIES(KV_ROW_QUANTITY)
#undef KV_ROW_QUANTITY
      implied_volatility = -1
};
}  // namespace row_quantity

// The number of _array functions.
inline constexpr int kArrayFunctions = [] {
  int count = 0;
#define KV_COUNT_ROW(name, Shape, Routine, Model, quantity) ++count;
  KV_ALL_FUNCTIONS(KV_IGNORE_ROW, KV_COUNT_ROW)
#undef KV_COUNT_ROW
  return count;
}();
// Per model: one function per quantity, and implied volatility.
static_assert(kArrayFunctions == kModelCount * (kQuantityCount + 1));

}  // namespace kv
