#pragma once

// Runs a kernel over an N-dimensional element range: the inputs
// keep their own byte strides (0 along broadcast dimensions), the outputs are
// C-contiguous and indexed by the element's flat position. Dimensions that
// can be walked as one are merged first, so the kernel sees runs as long as
// the layout allows. The range is cut into pieces of bounded size that the
// threads claim in turn; between its pieces the calling thread may be asked
// whether to stop (a pending Ctrl-C). Every element's value is independent of
// the split.

#include <cstddef>

#include "../simd/dispatch.hpp"
#include "job.hpp"
#include "scheduler.hpp"

namespace kv::book {

using kernels::GreeksJob;
using kernels::Inputs;
using kernels::IvJob;
using kernels::kInputs;
using kernels::kQuantityCount;
using kernels::Model;
namespace Index = kernels::Index;

// NumPy broadcasts at most 32 dimensions (NPY_MAXDIMS in NumPy 1, the
// limit of its broadcasting iterators in NumPy 2).
inline constexpr int kMaxDims = 32;

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
// before it where every input steps through both as one, into *out (a
// Layout is 2 KiB: the caller decides where it lives).
void Coalesce(const Layout& layout, Layout* out);

// Computes every element of the (coalesced) layout, on up to `threads`
// threads. Never throws: if a thread cannot be started, its share runs on
// the others. Returns false if `check` stopped the call: the threads have
// ended, and the outputs hold some elements and not others.
bool RunGreeks(const GreeksJob& job, const Layout& layout, int threads,
               const StopCheck& check) noexcept;
bool RunIv(const IvJob& job, const Layout& layout, int threads, const StopCheck& check) noexcept;

// Runs, for the target the kernels use, the checks their first call would
// otherwise run on its caller's stack (the vector exp and log self-check).
void PrepareBookKernels() noexcept;

// Whether the kernels in use take the vector exp and log (else the platform's).
bool VectorMathInUse();

}  // namespace kv::book
