// The Greeks kernels of one SIMD target for lists of several quantities, and
// the entry point of every job of Greeks. Like every kernel unit, this file
// is compiled once per target (CMakeLists.txt), with KV_TARGET naming the
// target and that target's instruction-set flags; every model header it
// includes then lands in the target's namespace, and so do its entry points.
// It must not define anything run at load (no dynamic initialisers): the
// module loads on processors that cannot run the wider targets' code.
//
// Each composition (model x all sixteen, any list) is its own flattened
// function: one function holding them all would outgrow the compiler's
// inlining limits and leave Lanes code out of line.

#include "kernel.hpp"

KV_TARGET_BEGIN
namespace simd_kernels {
namespace {

constexpr int W = kBlockLanes;

template <Model M>
KV_KERNEL_ENTRY void All(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at,
                         std::ptrdiff_t n) {
  detail::GreeksAll<W, M>(job, in, at, n);
}
template <Model M>
KV_KERNEL_ENTRY void Any(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at,
                         std::ptrdiff_t n) {
  detail::GreeksAny<W, M>(job, in, at, n);
}

}  // namespace

void Greeks(const GreeksJob& job, const Inputs& given, std::ptrdiff_t at, std::ptrdiff_t n) {
  const Inputs in = detail::GreeksInputs(job.model, given);
  if (job.count == 1) return GreeksOne(job, in, at, n);
  detail::WithGreeksModel(job.model, [&]<Model M>() {
    if (job.all) {
      All<M>(job, in, at, n);
    } else {
      Any<M>(job, in, at, n);
    }
  });
  detail::EndStreaming(job);
}

bool UsesVectorMath() {
  return FastMathEnabled();
}

}  // namespace simd_kernels
KV_TARGET_END
