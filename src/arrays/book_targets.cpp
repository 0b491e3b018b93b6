// The whole-book kernels compiled twice: for processors with AVX2 (four
// lanes in a 256-bit register) and for the x86-64 baseline (two lanes in
// SSE2). Both run the same IEEE operations -- no fused multiply-add either
// way -- so they produce the same doubles; only the width differs. The
// width is chosen once, at the first call.

#include "book_kernel.hpp"

namespace kv::book {
namespace {

[[gnu::flatten, gnu::target("avx2")]] void GreeksRowAvx2(const GreeksJob& job, const Inputs& in,
                                                         std::ptrdiff_t at, std::ptrdiff_t n) {
  detail::GreeksRunAny<4>(job, in, at, n);
}

[[gnu::flatten]] void GreeksRowBaseline(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at,
                                        std::ptrdiff_t n) {
  detail::GreeksRunAny<2>(job, in, at, n);
}

[[gnu::flatten, gnu::target("avx2")]] void IvRowAvx2(const IvJob& job, const Inputs& in,
                                                     std::ptrdiff_t at, std::ptrdiff_t n) {
  detail::IvRunAny<4>(job, in, at, n);
}

[[gnu::flatten]] void IvRowBaseline(const IvJob& job, const Inputs& in, std::ptrdiff_t at,
                                    std::ptrdiff_t n) {
  detail::IvRunAny<2>(job, in, at, n);
}

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
    GreeksRowAvx2(job, in, at, n);
  } else {
    GreeksRowBaseline(job, in, at, n);
  }
}

void IvRow(const IvJob& job, const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n) {
  if (HasAvx2()) {
    IvRowAvx2(job, in, at, n);
  } else {
    IvRowBaseline(job, in, at, n);
  }
}

}  // namespace kv::book
