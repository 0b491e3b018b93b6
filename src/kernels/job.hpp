#pragma once

// What a kernel is asked to do: the model, the quantities and the outputs,
// and where each input lies. Plain data shared by the baseline units and
// every target's kernels (kernel.hpp); both the _array functions and the
// whole-book API state their work this way.

#include <cstddef>
#include <cstdint>

#include "../models/model_list.hpp"
#include "../models/quantity_list.hpp"

namespace kv::kernels {

// The models in their whole-book numbering (model_list.hpp).
enum class Model : int {
#define KV_MODEL_ENUMERATOR(name, Enum, number, ...) Enum = number,
  KV_ALL_MODELS(KV_MODEL_ENUMERATOR)
#undef KV_MODEL_ENUMERATOR
};

// A job names its quantities by index (quantity_list.hpp).
using kv::kQuantityCount;
namespace Index {
enum : int {
#define KV_QUANTITY_INDEX(name, Routine) name,
  KV_ALL_QUANTITIES(KV_QUANTITY_INDEX)
#undef KV_QUANTITY_INDEX
};
}  // namespace Index

// A run's inputs, each a first element and a byte stride (0 for one value
// shared by the run). Greeks read (flag, X, K, t, r, sigma, q); implied
// volatilities (flag, price, X, K, t, r, q). flag is one byte per option,
// nonzero for a call; the rest are doubles. A model without q reads no q
// value but still needs a readable one.
inline constexpr int kInputs = 7;
struct Inputs {
  const char* data[kInputs];
  std::ptrdiff_t stride[kInputs];
};

struct GreeksJob {
  Model model;
  int count;              // entries of quantities and outs
  const int* quantities;  // each in [0, kQuantityCount)
  double* const* outs;    // C-contiguous outputs, indexed by flat element
  bool all = false;       // the quantities are every one of the sixteen, each once
  bool stream = false;    // the outputs are too large to stay in the caches
};

struct IvJob {
  Model model;
  double* out;
  std::int8_t* status;    // may be null
  bool rational = false;  // the rational solver (iv/rational.hpp), not Newton's
  // The whole-book rule: an expired option (t <= 0) has no volatility. The
  // _array functions state every problem as their scalar twins do.
  bool expired_is_nan = true;
};

// One run of n options: element e reads every input at e * stride and writes
// element at + e of each output.
using GreeksKernel = void (*)(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at,
                              std::ptrdiff_t n);
using IvKernel = void (*)(const IvJob& job, const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n);

}  // namespace kv::kernels
