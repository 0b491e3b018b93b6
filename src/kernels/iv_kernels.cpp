// The implied-volatility kernels of one SIMD target (Newton's solver in
// blocks and the rational solver), compiled once per target like the Greeks
// kernels but in a unit of their own, which builds beside them.

#include "iv_kernel.hpp"

KV_TARGET_BEGIN
namespace simd_kernels {
namespace {

constexpr int W = kBlockLanes;

template <Model M>
KV_KERNEL_ENTRY void Newton(const IvJob& job, const Inputs& in, std::ptrdiff_t at,
                            std::ptrdiff_t n) {
  detail::IvRun<W, M>(job, in, at, n);
}

template <Model M>
KV_KERNEL_ENTRY void Rational(const IvJob& job, const Inputs& in, std::ptrdiff_t at,
                              std::ptrdiff_t n) {
  detail::IvRationalRun<W, M>(job, in, at, n);
}

}  // namespace

void ImpliedVol(const IvJob& job, const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n) {
  detail::WithModel(job.model, [&]<Model M>() {
    if (job.rational) {
      Rational<M>(job, in, at, n);
    } else {
      Newton<M>(job, in, at, n);
    }
  });
}

}  // namespace simd_kernels
KV_TARGET_END
