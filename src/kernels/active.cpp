#include "active.hpp"

// Defined by each target's kernel units (kernel.hpp).
#define KV_DECLARE_KERNELS(ns, Enum)                                                               \
  namespace kv::ns::simd_kernels {                                                                 \
  void Greeks(const kv::kernels::GreeksJob& job, const kv::kernels::Inputs& in, std::ptrdiff_t at, \
              std::ptrdiff_t n);                                                                   \
  void ImpliedVol(const kv::kernels::IvJob& job, const kv::kernels::Inputs& in, std::ptrdiff_t at, \
                  std::ptrdiff_t n);                                                               \
  bool UsesVectorMath();                                                                           \
  }
KV_FOR_EACH_TARGET(KV_DECLARE_KERNELS)
#undef KV_DECLARE_KERNELS

namespace kv::kernels {
namespace {

#define KV_KERNELS(ns, Enum)                                                             \
  constexpr Kernels k##Enum = {&ns::simd_kernels::Greeks, &ns::simd_kernels::ImpliedVol, \
                               &ns::simd_kernels::UsesVectorMath};
KV_FOR_EACH_TARGET(KV_KERNELS)
#undef KV_KERNELS

}  // namespace

const Kernels& KernelsFor(Target target) {
  switch (target) {
#define KV_CASE(ns, Enum) \
  case Target::Enum:      \
    return k##Enum;
    KV_FOR_EACH_TARGET(KV_CASE)
#undef KV_CASE
  }
  return kBaseline;
}

const Kernels& ActiveKernels() {
  static const Kernels& kernels = KernelsFor(ActiveTarget());
  return kernels;
}

}  // namespace kv::kernels
