// The whole-book kernels of one SIMD target. Like kernels.cpp, this file is
// compiled once per target, with KV_TARGET naming the target and that
// target's instruction-set flags, and defines nothing run at load.
//
// Each composition (model x one quantity, all sixteen, any list, implied
// volatility) is its own flattened function: one function holding them all
// would outgrow the compiler's inlining limits and leave Lanes code out of
// line.

#include "book_kernel.hpp"

KV_TARGET_BEGIN
namespace book_kernel {
namespace {

struct Kernels {
  static constexpr int W = kBlockLanes;
  template <Model M, class Q>
  [[gnu::flatten, gnu::noinline]] static void One(const GreeksJob& job, const Inputs& in,
                                                  std::ptrdiff_t at, std::ptrdiff_t n) {
    detail::GreeksOne<W, M, Q>(job, in, at, n);
  }
  template <Model M>
  [[gnu::flatten, gnu::noinline]] static void All(const GreeksJob& job, const Inputs& in,
                                                  std::ptrdiff_t at, std::ptrdiff_t n) {
    detail::GreeksAll<W, M>(job, in, at, n);
  }
  template <Model M>
  [[gnu::flatten, gnu::noinline]] static void Any(const GreeksJob& job, const Inputs& in,
                                                  std::ptrdiff_t at, std::ptrdiff_t n) {
    detail::GreeksAny<W, M>(job, in, at, n);
  }
  template <Model M>
  [[gnu::flatten, gnu::noinline]] static void Iv(const IvJob& job, const Inputs& in,
                                                 std::ptrdiff_t at, std::ptrdiff_t n) {
    detail::IvRun<W, M>(job, in, at, n);
  }
};

}  // namespace

void GreeksRow(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n) {
  detail::DispatchGreeks<Kernels>(job, in, at, n);
}

void IvRow(const IvJob& job, const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n) {
  detail::DispatchIv<Kernels>(job, in, at, n);
}

}  // namespace book_kernel
KV_TARGET_END
