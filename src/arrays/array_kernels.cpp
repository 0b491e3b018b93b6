// The array kernel table of each target, and of the one chosen. Compiled for
// the baseline processor.

#include "array_kernels.hpp"

// The tables of every target.
#define KV_DECLARE_TABLE(ns, Enum)                    \
  namespace kv::ns {                                  \
  extern const ArrayKernel kArrayKernels[kArrayRows]; \
  }
KV_FOR_EACH_TARGET(KV_DECLARE_TABLE)
#undef KV_DECLARE_TABLE

namespace kv {

const ArrayKernel* ArrayKernelsFor(Target target) {
  switch (target) {
#define KV_TABLE(ns, Enum) \
  case Target::Enum:       \
    return ns::kArrayKernels;
    KV_FOR_EACH_TARGET(KV_TABLE)
#undef KV_TABLE
  }
  return baseline::kArrayKernels;
}

const ArrayKernel* ActiveArrayKernels() {
  static const ArrayKernel* const table = ArrayKernelsFor(ActiveTarget());
  return table;
}

}  // namespace kv
