// The one-quantity Greeks kernels of one SIMD target, compiled once per
// target like greeks_many.cpp: each model and quantity its own flattened
// function. Runs of one kind and shared rates -- every _array price and
// Greek -- go to greeks_shared.cpp.

#include "kernel.hpp"

KV_TARGET_BEGIN
namespace simd_kernels {
namespace {

template <Model M, class Q, detail::Part P>
KV_KERNEL_ENTRY void One(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at,
                         std::ptrdiff_t n) {
  detail::GreeksOne<kBlockLanes, M, Q, false, P>(job, in, at, n);
}

}  // namespace

void GreeksOne(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n) {
  if (detail::SharedKindAndRates(in)) return GreeksOneShared(job, in, at, n);
  detail::WithGreeksModel(job.model, [&]<Model M>() {
    detail::WithQuantity(job.quantities[0], [&](auto q) {
      detail::ForEachPart<kBlockLanes>(
          [&]<detail::Part P>() { One<M, decltype(q), P>(job, in, at, n); });
    });
  });
  detail::EndStreaming(job);
}

}  // namespace simd_kernels
KV_TARGET_END
