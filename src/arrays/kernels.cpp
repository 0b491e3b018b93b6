// The array kernels of one SIMD target, one per array function. This file is
// compiled once per target (CMakeLists.txt), with KV_TARGET naming the target
// and that target's instruction-set flags; every model header it includes
// then lands in the target's namespace, and so does the table it exports.
// It must not define anything run at load (no dynamic initialisers): the
// module loads on processors that cannot run the wider targets' code.

#include <cstring>

#include "../iv/block_solver.hpp"
#include "../iv/implied_vol.hpp"
#include "../models/lane_pair.hpp"
#include "../models/lanes.hpp"
#include "../module/function_list.hpp"
#include "../module/shapes.hpp"
#include "array_kernels.hpp"

KV_TARGET_BEGIN

namespace {

template <class Shape>
struct ArrayLayout {
  static constexpr int kArrays = PerOptionCount<Shape>();
  // Parameter index of each array, in parameter order.
  static constexpr auto kIndex = [] {
    struct {
      int at[kArrays];
    } index{};
    int k = 0;
    for (int i = 0; i < Shape::kCount; ++i) {
      if (Shape::kKinds[i] == Param::PerOption) index.at[k++] = i;
    }
    return index;
  }();
};

// Element e of an array, read where it lies, which need not be 8-byte aligned.
[[gnu::always_inline]] inline double Element(const char* data, std::ptrdiff_t e) {
  double value;
  std::memcpy(&value, data + e * static_cast<std::ptrdiff_t>(sizeof(double)), sizeof(double));
  return value;
}

// The bound values of element e: its array entries and the shared numbers.
template <class Shape>
[[gnu::always_inline]] inline Bound<double, Shape::kCount> ElementInputs(const double* shared,
                                                                         const char* const* arrays,
                                                                         std::ptrdiff_t e) {
  using Layout = ArrayLayout<Shape>;
  Bound<double, Shape::kCount> one;
  for (int i = 0; i < Shape::kCount; ++i) one.shared[i] = shared[i];
  for (int a = 0; a < Layout::kArrays; ++a) one.per[Layout::kIndex.at[a]] = Element(arrays[a], e);
  return one;
}

// Element e of out is the routine of the e-th inputs and the shared values.
// Prices and Greeks run pairs of blocks of W options (LanePair<W>) where the
// target gains by them, then whole blocks on Lanes<W>, and the rest one at a
// time; implied volatilities run W solves side by side. Either way each
// element gets the same operations as the scalar function, so the same double.
template <int W, class Shape, class Routine>
[[gnu::flatten]] void RunKernel(OptionKind kind, const double* shared, const char* const* arrays,
                                double* out, std::ptrdiff_t n) {
  using Layout = ArrayLayout<Shape>;
  Bound<Lanes<W>, Shape::kCount> block;  // only the slots the shape reads are set
  for (int i = 0; i < Shape::kCount; ++i) block.shared[i] = shared[i];
  // W consecutive elements: one unaligned vector load per array.
  auto load_block = [&](std::ptrdiff_t e) __attribute__((always_inline)) {
#pragma GCC unroll 4
    for (int a = 0; a < Layout::kArrays; ++a) {
      block.per[Layout::kIndex.at[a]] =
          LoadLanes<W>(arrays[a] + e * static_cast<std::ptrdiff_t>(sizeof(double)));
    }
  };
  if constexpr (Shape::kImpliedVol) {
    const Lanes<W> sign = PerLane<W>(Sign(kind));
    SolveBlocks<W>(
        n,
        [&](std::ptrdiff_t e, Lanes<W>& w) {
          load_block(e);
          w = sign;
          return Shape::template Evaluate<Routine>(kind, block);
        },
        [&](std::ptrdiff_t e, double& w) {
          w = Sign(kind);
          return Shape::template Evaluate<Routine>(kind, ElementInputs<Shape>(shared, arrays, e));
        },
        [&](std::ptrdiff_t e, double value, IvStatus) { out[e] = value; });
  } else {
    std::ptrdiff_t e = 0;
    if constexpr (kPairBlocks<W>) {
      Bound<LanePair<W>, Shape::kCount> pair;
      for (int i = 0; i < Shape::kCount; ++i) pair.shared[i] = shared[i];
      for (; e + 2 * W <= n; e += 2 * W) {
#pragma GCC unroll 4
        for (int a = 0; a < Layout::kArrays; ++a) {
          pair.per[Layout::kIndex.at[a]] =
              LoadLanePair<W>(arrays[a] + e * static_cast<std::ptrdiff_t>(sizeof(double)));
        }
        const LanePair<W> stored = WithCanonicalNaN(Shape::template Evaluate<Routine>(kind, pair));
        std::memcpy(out + e, &stored.lo.v, sizeof stored.lo.v);
        std::memcpy(out + e + W, &stored.hi.v, sizeof stored.hi.v);
      }
    }
    for (; e + W <= n; e += W) {
      load_block(e);
      const Lanes<W> result = Shape::template Evaluate<Routine>(kind, block);
      const Lanes<W> stored = WithCanonicalNaN(result);
      std::memcpy(out + e, &stored.v, sizeof stored.v);
    }
    for (; e < n; ++e) {
      const double value =
          Shape::template Evaluate<Routine>(kind, ElementInputs<Shape>(shared, arrays, e));
      out[e] = WithCanonicalNaN(value);
    }
  }
}

}  // namespace

#define KV_ARRAY_KERNEL(name, Shape, Routine) &RunKernel<kBlockLanes, Shape, routines::name>,
const ArrayKernel kArrayKernels[kArrayRows] = {KV_ALL_FUNCTIONS(KV_IGNORE_ROW, KV_ARRAY_KERNEL)};
#undef KV_ARRAY_KERNEL

KV_TARGET_END
