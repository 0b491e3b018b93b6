// The whole-book kernels of one SIMD target. Like kernels.cpp, this file is
// compiled once per target, with KV_TARGET naming the target and that
// target's instruction-set flags, and defines nothing run at load. This unit
// holds the lists of several quantities and the implied volatilities; the
// one-quantity kernels are in book_kernels_one.cpp.
//
// Each composition (model x all sixteen, any list, implied volatility) is its
// own flattened function: one function holding them all would outgrow the
// compiler's inlining limits and leave Lanes code out of line.

#include "book_kernel.hpp"

KV_TARGET_BEGIN
namespace book_kernel {
namespace {

constexpr int W = kBlockLanes;

template <Model M>
[[gnu::flatten, gnu::noinline]] void All(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at,
                                         std::ptrdiff_t n) {
  detail::GreeksAll<W, M>(job, in, at, n);
}
template <Model M>
[[gnu::flatten, gnu::noinline]] void Any(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at,
                                         std::ptrdiff_t n) {
  detail::GreeksAny<W, M>(job, in, at, n);
}
template <Model M>
[[gnu::flatten, gnu::noinline]] void Iv(const IvJob& job, const Inputs& in, std::ptrdiff_t at,
                                        std::ptrdiff_t n) {
  detail::IvRun<W, M>(job, in, at, n);
}

template <Model M>
[[gnu::flatten, gnu::noinline]] void IvRational(const IvJob& job, const Inputs& in,
                                                std::ptrdiff_t at, std::ptrdiff_t n) {
  detail::IvRationalRun<W, M>(job, in, at, n);
}

}  // namespace

void GreeksRow(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n) {
  if (job.count == 1) return GreeksOneRow(job, in, at, n);
  detail::WithModel(job.model, [&]<Model M>() {
    if (job.all) {
      All<M>(job, in, at, n);
    } else {
      Any<M>(job, in, at, n);
    }
  });
  detail::EndStreaming(job);
}

void IvRow(const IvJob& job, const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n) {
  detail::WithModel(job.model, [&]<Model M>() {
    if (job.rational) {
      IvRational<M>(job, in, at, n);
    } else {
      Iv<M>(job, in, at, n);
    }
  });
}

// Whether this target's kernels take the vector exp and log (block_math.hpp).
bool UsesVectorMath() {
  return FastMathEnabled();
}

}  // namespace book_kernel
KV_TARGET_END
