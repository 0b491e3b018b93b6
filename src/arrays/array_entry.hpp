#pragma once

// The one entry point template behind every _array function: bind; take the
// arrays, the flag text and the shared numbers in parameter order; read the
// arrays' data and lengths as the last conversion left them; parse the flag;
// check contiguity, then lengths; run the scalar routine once per element into
// one output buffer; wrap that buffer in a new array. The InputArrays are
// released in reverse order on every path out.

#include <Python.h>

#include <cstring>

#include "../iv/block_solver.hpp"
#include "../models/lanes.hpp"
#include "../module/binding.hpp"
#include "../module/errors.hpp"
#include "../module/flag.hpp"
#include "../module/shapes.hpp"
#include "input_array.hpp"
#include "slice_container.hpp"

namespace kv {

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

// The bound values of element e: its array entries and the shared numbers.
template <class Shape, class Arrays>
[[gnu::always_inline]] inline Bound<double, Shape::kCount> ElementInputs(const double* shared,
                                                                         const Arrays& arrays,
                                                                         Py_ssize_t e) {
  using Layout = ArrayLayout<Shape>;
  Bound<double, Shape::kCount> one;
  for (int i = 0; i < Shape::kCount; ++i) one.shared[i] = shared[i];
  for (int a = 0; a < Layout::kArrays; ++a) one.per[Layout::kIndex.at[a]] = arrays[a][e];
  return one;
}

// Element e of out is the routine of the e-th inputs and the shared values.
// Prices and Greeks run whole blocks of W options on Lanes<W> and the rest one
// at a time; implied volatilities run W solves side by side. Either way each
// element gets the same operations as the scalar function, so the same double.
template <int W, class Shape, class Routine, class Arrays>
[[gnu::always_inline]] inline void RunKernel(OptionKind kind, const double* shared,
                                             const Arrays& arrays, double* out, Py_ssize_t n) {
  if constexpr (Shape::kImpliedVol) {
    auto inputs = [&](Py_ssize_t e) {
      return Shape::template Evaluate<Routine>(kind, ElementInputs<Shape>(shared, arrays, e));
    };
    SolveImpliedVolBlocks<W>(kind, n, inputs, out);
  } else {
    using Layout = ArrayLayout<Shape>;
    Bound<Lanes<W>, Shape::kCount> block;  // only the slots the shape reads are set
    for (int i = 0; i < Shape::kCount; ++i) block.shared[i] = shared[i];
    Py_ssize_t e = 0;
    for (; e + W <= n; e += W) {
      for (int a = 0; a < Layout::kArrays; ++a) {
        block.per[Layout::kIndex.at[a]] = FromLanes<W>([&](int j) { return arrays[a][e + j]; });
      }
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

// The kernel compiled twice: for processors with AVX2 (four lanes in a
// 256-bit register) and for the x86-64 baseline (two lanes in SSE2). Both run
// the same IEEE operations -- no fused multiply-add either way -- so they
// produce the same doubles; only the width differs.
template <class Shape, class Routine, class Arrays>
[[gnu::flatten, gnu::target("avx2")]] void RunKernelAvx2(OptionKind kind, const double* shared,
                                                         const Arrays& arrays, double* out,
                                                         Py_ssize_t n) {
  RunKernel<4, Shape, Routine>(kind, shared, arrays, out, n);
}

template <class Shape, class Routine, class Arrays>
[[gnu::flatten]] void RunKernelBaseline(OptionKind kind, const double* shared, const Arrays& arrays,
                                        double* out, Py_ssize_t n) {
  RunKernel<2, Shape, Routine>(kind, shared, arrays, out, n);
}

// KESTROVANE_BASELINE_KERNEL builds use the baseline kernel everywhere, so
// that the test suite exercises it on machines that have AVX2.
inline bool HasAvx2() {
#ifdef KESTROVANE_BASELINE_KERNEL
  return false;
#else
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
#endif
}

template <class Shape, class Routine, class Arrays>
void RunElements(OptionKind kind, const double* shared, const Arrays& arrays, double* out,
                 Py_ssize_t n) {
  if (HasAvx2()) {
    RunKernelAvx2<Shape, Routine>(kind, shared, arrays, out, n);
  } else {
    RunKernelBaseline<Shape, Routine>(kind, shared, arrays, out, n);
  }
}

template <class Shape, class Arrays>
bool ConvertArrayArguments(PyObject* const* slots, Arrays& arrays, double* values, FlagText* flag) {
  for (int i = 0; i < Shape::kCount; ++i) {
    values[i] = 0.0;
    switch (Shape::kKinds[i]) {
      case Param::Flag:
        if (!ConvertFlag(slots[i], flag)) return false;
        break;
      case Param::PerOption:
        if (!arrays.Take(slots[i], Shape::kNames[i])) return false;
        break;
      case Param::Number:
        if (!ConvertNumber(slots[i], Shape::kNames[i], &values[i])) return false;
        break;
    }
  }
  return true;
}

// Contiguity in parameter order, then every length against the first array's.
template <class Shape, class Arrays>
bool CheckArrays(const Arrays& arrays) {
  for (int a = 0; a < Arrays::size(); ++a) {
    if (!arrays[a].contiguous) {
      PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
      return false;
    }
  }
  for (int a = 1; a < Arrays::size(); ++a) {
    if (arrays[a].length != arrays[0].length) {
      PyErr_SetString(PyExc_ValueError, Shape::kLengthMessage);
      return false;
    }
  }
  return true;
}

template <class Shape, class Routine, FixedString Name>
PyObject* ArrayEntry(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  // A __float__ may call back into the module: count each entry against the
  // interpreter's recursion limit, so that deep reentry ends in RecursionError
  // before the thread's stack runs out.
  if (Py_EnterRecursiveCall(" in a kestrovane array function")) return nullptr;
  PyObject* result = Guarded([&]() -> PyObject* {
    static constexpr ParameterSpec spec{Name.text, Shape::kNames, Shape::kCount};
    BoundArguments<Shape::kCount> bound;
    if (!bound.Bind(spec, args, kwargs)) return nullptr;
    InputArrays<ArrayLayout<Shape>::kArrays> arrays;
    double shared[Shape::kCount];
    FlagText flag;
    if (!ConvertArrayArguments<Shape>(bound.slots(), arrays, shared, &flag)) return nullptr;
    if (!arrays.Settle()) return nullptr;
    OptionKind kind;
    if (!ParseFlag(flag, &kind)) return nullptr;
    if (!CheckArrays<Shape>(arrays)) return nullptr;
    // The element loop runs in a frame of its own: its registers and spills
    // then stay out of this frame, one of which every reentry through a
    // __float__ leaves on the stack.
    return OutOfLine([&]() -> PyObject* {
      OutputBuffer out;
      if (!out.Allocate(arrays[0].length)) return nullptr;
      RunElements<Shape, Routine>(kind, shared, arrays, out.data(), out.length());
      return out.IntoArray();
    });
  });
  Py_LeaveRecursiveCall();
  return result;
}

}  // namespace kv
