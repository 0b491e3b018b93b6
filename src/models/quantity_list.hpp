#pragma once

// The Greeks, each once, as G(name, Routine, ...) rows: the Python name and
// the routine in greeks.hpp. Every model's functions (function_list.hpp), the
// whole-book kernel's numbering and kestrovane.QUANTITIES (the price, then
// these in this order) are expanded from these two lists, so a new Greek is
// its routine plus one row here. Extra arguments are passed on to G.

// clang-format off
#define KV_FIRST_ORDER_GREEKS(G, ...)                                         \
  G(delta, Delta, __VA_ARGS__)                                                \
  G(gamma, Gamma, __VA_ARGS__)                                                \
  G(vega,  Vega,  __VA_ARGS__)                                                \
  G(theta, Theta, __VA_ARGS__)                                                \
  G(rho,   Rho,   __VA_ARGS__)

#define KV_HIGHER_ORDER_GREEKS(G, ...)                                        \
  G(vanna,      Vanna,     __VA_ARGS__)                                       \
  G(charm,      Charm,     __VA_ARGS__)                                       \
  G(vomma,      Vomma,     __VA_ARGS__)                                       \
  G(speed,      Speed,     __VA_ARGS__)                                       \
  G(zomma,      Zomma,     __VA_ARGS__)                                       \
  G(color,      Color,     __VA_ARGS__)                                       \
  G(veta,       Veta,      __VA_ARGS__)                                       \
  G(ultima,     Ultima,    __VA_ARGS__)                                       \
  G(dual_delta, DualDelta, __VA_ARGS__)                                       \
  G(dual_gamma, DualGamma, __VA_ARGS__)

// Every quantity in the whole-book numbering, as Q(name, Routine) rows.
#define KV_QUANTITY_ROW(name, Routine, Q) Q(name, Routine)
#define KV_ALL_QUANTITIES(Q)                                                  \
  Q(price, Price)                                                             \
  KV_FIRST_ORDER_GREEKS(KV_QUANTITY_ROW, Q)                                   \
  KV_HIGHER_ORDER_GREEKS(KV_QUANTITY_ROW, Q)
// clang-format on

namespace kv {

// The price and the Greeks: the whole-book kernel's quantity indices run
// from 0 to kQuantityCount - 1.
inline constexpr int kQuantityCount = 0
#define KV_COUNT_QUANTITY(name, Routine) +1
    KV_ALL_QUANTITIES(KV_COUNT_QUANTITY);
#undef KV_COUNT_QUANTITY

}  // namespace kv
