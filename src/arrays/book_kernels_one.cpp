// The one-quantity whole-book kernels of one SIMD target, compiled once per
// target like book_kernels.cpp: each model and quantity its own flattened
// function, as an _array kernel is.

#include "book_kernel.hpp"

KV_TARGET_BEGIN
namespace book_kernel {
namespace {

template <Model M, class Q>
[[gnu::flatten, gnu::noinline]] void One(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at,
                                         std::ptrdiff_t n) {
  detail::GreeksOne<kBlockLanes, M, Q>(job, in, at, n);
}

}  // namespace

void GreeksOneRow(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n) {
  detail::WithModel(job.model, [&]<Model M>() {
    detail::WithQuantity(job.quantities[0], [&](auto q) { One<M, decltype(q)>(job, in, at, n); });
  });
  detail::EndStreaming(job);
}

}  // namespace book_kernel
KV_TARGET_END
