#pragma once

// What a whole-book kernel is asked to do: the model, the quantities and the
// outputs, and where each input lies. Plain data shared by the baseline units
// and every target's kernels (book_kernel.hpp).

#include <cstddef>
#include <cstdint>

#include "../models/quantity_list.hpp"
#include "../models/target.hpp"
#include "dispatch.hpp"

namespace kv::book {

enum class Model : int { Bs = 0, Bsm = 1, Black76 = 2 };

// A job names its quantities by index (quantity_list.hpp).
using kv::kQuantityCount;
namespace Index {
enum : int {
#define KV_QUANTITY_INDEX(name, Routine) name,
  KV_ALL_QUANTITIES(KV_QUANTITY_INDEX)
#undef KV_QUANTITY_INDEX
};
}  // namespace Index

// A run's inputs, each a first element and a byte stride. Greeks read
// (flag, X, K, t, r, sigma, q); implied volatilities (flag, price, X, K, t, r, q).
// flag is one byte per option, nonzero for a call; the rest are doubles.
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
};

// One run of n options: element e reads every input at e * stride and writes
// element at + e of each output.
using GreeksRun = void (*)(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at,
                           std::ptrdiff_t n);
using IvRunFn = void (*)(const IvJob& job, const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n);

}  // namespace kv::book

// Defined by each target's compilation of book_kernels.cpp.
#define KV_DECLARE_BOOK_RUNS(ns, Enum)                                                          \
  namespace kv::ns::book_kernel {                                                               \
  void GreeksRow(const kv::book::GreeksJob& job, const kv::book::Inputs& in, std::ptrdiff_t at, \
                 std::ptrdiff_t n);                                                             \
  void IvRow(const kv::book::IvJob& job, const kv::book::Inputs& in, std::ptrdiff_t at,         \
             std::ptrdiff_t n);                                                                 \
  }
KV_FOR_EACH_TARGET(KV_DECLARE_BOOK_RUNS)
#undef KV_DECLARE_BOOK_RUNS
