// The one-quantity Greeks kernels of one SIMD target for runs of one kind
// and shared rates (every _array price and Greek): each model and quantity
// its own flattened function, with w, r and q as doubles. Compiled once per
// target like the other kernel units, beside them.

#include "kernel.hpp"

KV_TARGET_BEGIN
namespace simd_kernels {
namespace {

template <Model M, class Q, detail::Part P>
KV_KERNEL_ENTRY void OneShared(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at,
                               std::ptrdiff_t n) {
  detail::GreeksOne<kBlockLanes, M, Q, true, P>(job, in, at, n);
}

}  // namespace

void GreeksOneShared(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n) {
  detail::WithModel(job.model, [&]<Model M>() {
    detail::WithQuantity(job.quantities[0], [&](auto q) {
      detail::ForEachPart<kBlockLanes>(
          [&]<detail::Part P>() { OneShared<M, decltype(q), P>(job, in, at, n); });
    });
  });
  detail::EndStreaming(job);
}

}  // namespace simd_kernels
KV_TARGET_END
