#pragma once

// Runs a whole-book kernel over an N-dimensional element range: the inputs
// keep their own byte strides (0 along broadcast dimensions), the outputs are
// C-contiguous and indexed by the element's flat position. Dimensions that
// can be walked as one are merged first, so the kernel sees runs as long as
// the layout allows. Large ranges are split across threads in contiguous
// chunks; every element's value is independent of the split.

#include <cstddef>

#include "book_job.hpp"

namespace kv::book {

inline constexpr int kMaxDims = 64;

// The element range: shape and, per input, its byte strides.
struct Layout {
  int ndim = 0;
  std::ptrdiff_t shape[kMaxDims];
  std::ptrdiff_t stride[kInputs][kMaxDims];
  const char* data[kInputs];
};

// Number of elements; 0 when any dimension is empty.
std::ptrdiff_t ElementCount(const Layout& layout);

// Drops dimensions of length 1 and merges each dimension into the one
// before it where every input steps through both as one.
Layout Coalesce(const Layout& layout);

// Computes every element of the (coalesced) layout, on up to `threads`
// threads. Never throws: if a thread cannot be started, its share runs on
// the calling thread.
void RunGreeks(const GreeksJob& job, const Layout& layout, int threads) noexcept;
void RunIv(const IvJob& job, const Layout& layout, int threads) noexcept;

// Whether the kernels in use take the vector exp and log (else the platform's).
bool VectorMathInUse();

}  // namespace kv::book
