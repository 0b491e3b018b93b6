#pragma once

// The whole-book runs of American exercise: every element of a layout
// (book_run.hpp) priced one option at a time, on up to `threads` threads that
// claim small pieces of the book in turn (an option costs microseconds, so
// pieces stay small and threads stay busy to the end). Each element's value
// is independent of the split.

#include <cstdint>

#include "../kernels/run.hpp"
#include "american.hpp"

namespace kv::book {

struct AmericanJob {
  american::Model model;
  american::Accuracy accuracy;
  int count;              // entries of quantities and outs
  const int* quantities;  // each an american::Quantity
  double* const* outs;    // C-contiguous outputs, indexed by flat element
};

// Reads (flag, X, K, t, r, sigma, q) like RunGreeks; stops, like it, when
// `check` says so (returning false).
bool RunAmerican(const AmericanJob& job, const Layout& layout, int threads,
                 const StopCheck& check) noexcept;

struct AmericanIvJob {
  american::Model model;
  american::Accuracy accuracy;
  double* out;
  std::int8_t* status;  // may be null
};

// Reads (flag, price, X, K, t, r, q) like RunIv.
bool RunAmericanIv(const AmericanIvJob& job, const Layout& layout, int threads,
                   const StopCheck& check) noexcept;

}  // namespace kv::book
