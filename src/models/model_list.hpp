#pragma once

// The models, each once, as M(name, Enum, number, price, title, underlying,
// q, ...) rows: the Python prefix of its functions, the enumerator, its
// number in the whole-book API (kestrovane.MODELS lists the names in this
// numbering), the name of its price function, its name for people, the
// symbol of its underlying (spot S or forward F) and whether it takes a
// dividend yield q. The 102 functions (function_list.hpp), the kernels'
// dispatch (kernel.hpp) and kestrovane.MODELS with what the calculator, the
// whole-book API and the stubs know of each model are expanded from this
// list; its order is the order the functions are registered in. Extra
// arguments are passed on to M.

// clang-format off
#define KV_ALL_MODELS(M, ...)                                                                  \
  M(black76, Black76, 2, black,                "Black-76",             "F", false, __VA_ARGS__) \
  M(bsm,     Bsm,     1, black_scholes_merton, "Black-Scholes-Merton", "S", true,  __VA_ARGS__) \
  M(bs,      Bs,      0, black_scholes,        "Black-Scholes",        "S", false, __VA_ARGS__)
// clang-format on

namespace kv {

inline constexpr int kModelCount = 0
#define KV_COUNT_MODEL(...) +1
    KV_ALL_MODELS(KV_COUNT_MODEL);
#undef KV_COUNT_MODEL

}  // namespace kv
