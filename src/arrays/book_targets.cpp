// The whole-book kernels compiled twice: for processors with AVX2 (four
// lanes in a 256-bit register) and for the x86-64 baseline (two lanes in
// SSE2). Both run the same IEEE operations -- no fused multiply-add either
// way -- so they produce the same doubles; only the width differs. The
// width is chosen once, at the first call.
//
// Each composition (model x one quantity, all sixteen, any list, implied
// volatility) is its own flattened function: one function holding them all
// would outgrow the compiler's inlining limits and leave Lanes code out of
// line.

#include "book_kernel.hpp"

namespace kv::book {
namespace {

using detail::GreeksAll;
using detail::GreeksAny;
using detail::GreeksOne;
using detail::IvRun;

struct Avx2 {
  template <Model M, class Q>
  [[gnu::flatten, gnu::noinline, gnu::target("avx2")]] static void One(const GreeksJob& job,
                                                                       const Inputs& in,
                                                                       std::ptrdiff_t at,
                                                                       std::ptrdiff_t n) {
    GreeksOne<4, M, Q>(job, in, at, n);
  }
  template <Model M>
  [[gnu::flatten, gnu::noinline, gnu::target("avx2")]] static void All(const GreeksJob& job,
                                                                       const Inputs& in,
                                                                       std::ptrdiff_t at,
                                                                       std::ptrdiff_t n) {
    GreeksAll<4, M>(job, in, at, n);
  }
  template <Model M>
  [[gnu::flatten, gnu::noinline, gnu::target("avx2")]] static void Any(const GreeksJob& job,
                                                                       const Inputs& in,
                                                                       std::ptrdiff_t at,
                                                                       std::ptrdiff_t n) {
    GreeksAny<4, M>(job, in, at, n);
  }
  template <Model M>
  [[gnu::flatten, gnu::noinline, gnu::target("avx2")]] static void Iv(const IvJob& job,
                                                                      const Inputs& in,
                                                                      std::ptrdiff_t at,
                                                                      std::ptrdiff_t n) {
    IvRun<4, M>(job, in, at, n);
  }
};

struct Baseline {
  template <Model M, class Q>
  [[gnu::flatten, gnu::noinline]] static void One(const GreeksJob& job, const Inputs& in,
                                                  std::ptrdiff_t at, std::ptrdiff_t n) {
    GreeksOne<2, M, Q>(job, in, at, n);
  }
  template <Model M>
  [[gnu::flatten, gnu::noinline]] static void All(const GreeksJob& job, const Inputs& in,
                                                  std::ptrdiff_t at, std::ptrdiff_t n) {
    GreeksAll<2, M>(job, in, at, n);
  }
  template <Model M>
  [[gnu::flatten, gnu::noinline]] static void Any(const GreeksJob& job, const Inputs& in,
                                                  std::ptrdiff_t at, std::ptrdiff_t n) {
    GreeksAny<2, M>(job, in, at, n);
  }
  template <Model M>
  [[gnu::flatten, gnu::noinline]] static void Iv(const IvJob& job, const Inputs& in,
                                                 std::ptrdiff_t at, std::ptrdiff_t n) {
    IvRun<2, M>(job, in, at, n);
  }
};

// KESTROVANE_BASELINE_KERNEL builds use the baseline kernel everywhere, so
// that the test suite exercises it on machines that have AVX2.
bool HasAvx2() {
#ifdef KESTROVANE_BASELINE_KERNEL
  return false;
#else
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
#endif
}

}  // namespace

void GreeksRow(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n) {
  if (HasAvx2()) {
    detail::DispatchGreeks<Avx2>(job, in, at, n);
  } else {
    detail::DispatchGreeks<Baseline>(job, in, at, n);
  }
}

void IvRow(const IvJob& job, const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n) {
  if (HasAvx2()) {
    detail::DispatchIv<Avx2>(job, in, at, n);
  } else {
    detail::DispatchIv<Baseline>(job, in, at, n);
  }
}

}  // namespace kv::book
