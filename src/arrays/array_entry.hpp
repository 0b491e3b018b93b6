#pragma once

// The one entry point template behind every _array function: bind; take the
// arrays, the flag text and the shared numbers in parameter order; parse the
// flag; check contiguity, then lengths; run the scalar routine once per element
// into one output buffer; wrap that buffer in a new array. The InputArrays are
// released in reverse order on every path out.

#include <Python.h>

#include <limits>

#include "../iv/solver.hpp"
#include "../models/lanes.hpp"
#include "../module/binding.hpp"
#include "../module/errors.hpp"
#include "../module/flag.hpp"
#include "../module/shapes.hpp"
#include "input_array.hpp"
#include "slice_container.hpp"

namespace kv {

// An element's value: a price or Greek as is; a failed solve as the default
// quiet NaN (sign bit clear, 0x7ff8000000000000).
inline double ElementValue(double value) {
  return WithCanonicalNaN(value);
}
inline double ElementValue(const IvResult& result) {
  return result.ok ? WithCanonicalNaN(result.volatility) : std::numeric_limits<double>::quiet_NaN();
}

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

// Whole blocks of W options run the routine on Lanes<W>; returns how many
// elements that covered.
template <int W, class Shape, class Routine, class Arrays>
[[gnu::always_inline]] inline Py_ssize_t RunBlocks(OptionKind kind, const double* shared,
                                                   const Arrays& arrays, double* out,
                                                   Py_ssize_t n) {
  using Layout = ArrayLayout<Shape>;
  Bound<Lanes<W>, Shape::kCount> block;
  for (int i = 0; i < Shape::kCount; ++i) block.shared[i] = shared[i];
  Py_ssize_t e = 0;
  for (; e + W <= n; e += W) {
    for (int a = 0; a < Layout::kArrays; ++a) {
      for (int j = 0; j < W; ++j) block.per[Layout::kIndex.at[a]].v[j] = arrays[a][e + j];
    }
    const Lanes<W> result = Shape::template Evaluate<Routine>(kind, block);
    for (int j = 0; j < W; ++j) out[e + j] = WithCanonicalNaN(result[j]);
  }
  return e;
}

// The block loop compiled twice: for processors with AVX2 (four lanes in a
// 256-bit register) and for the x86-64 baseline (two lanes in SSE2). Both run
// the same IEEE operations -- no fused multiply-add either way -- so they
// produce the same doubles; only the width differs.
template <class Shape, class Routine, class Arrays>
[[gnu::flatten, gnu::target("avx2")]] Py_ssize_t RunBlocksAvx2(OptionKind kind,
                                                               const double* shared,
                                                               const Arrays& arrays, double* out,
                                                               Py_ssize_t n) {
  return RunBlocks<4, Shape, Routine>(kind, shared, arrays, out, n);
}

template <class Shape, class Routine, class Arrays>
[[gnu::flatten]] Py_ssize_t RunBlocksBaseline(OptionKind kind, const double* shared,
                                              const Arrays& arrays, double* out, Py_ssize_t n) {
  return RunBlocks<2, Shape, Routine>(kind, shared, arrays, out, n);
}

inline bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

// Element e of out is the routine of the e-th inputs and the shared values:
// whole blocks on Lanes, the rest one option at a time -- the same formulas,
// operation for operation, so the same doubles either way.
template <class Shape, class Routine, class Arrays>
void RunElements(OptionKind kind, const double* shared, const Arrays& arrays, double* out,
                 Py_ssize_t n) {
  using Layout = ArrayLayout<Shape>;
  Py_ssize_t e = 0;
  if constexpr (Shape::kBlocked) {
    e = HasAvx2() ? RunBlocksAvx2<Shape, Routine>(kind, shared, arrays, out, n)
                  : RunBlocksBaseline<Shape, Routine>(kind, shared, arrays, out, n);
  }
  Bound<double, Shape::kCount> one;
  for (int i = 0; i < Shape::kCount; ++i) one.shared[i] = shared[i];
  for (; e < n; ++e) {
    for (int a = 0; a < Layout::kArrays; ++a) one.per[Layout::kIndex.at[a]] = arrays[a][e];
    out[e] = ElementValue(Shape::template Evaluate<Routine>(kind, one));
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
  return Guarded([&]() -> PyObject* {
    static constexpr ParameterSpec spec{Name.text, Shape::kNames, Shape::kCount};
    PyObject* slots[Shape::kCount];
    if (!Bind(spec, args, kwargs, slots)) return nullptr;
    InputArrays<ArrayLayout<Shape>::kArrays> arrays;
    double shared[Shape::kCount];
    FlagText flag;
    if (!ConvertArrayArguments<Shape>(slots, arrays, shared, &flag)) return nullptr;
    OptionKind kind;
    if (!ParseFlag(flag, &kind)) return nullptr;
    if (!CheckArrays<Shape>(arrays)) return nullptr;
    OutputBuffer out;
    if (!out.Allocate(arrays[0].length)) return nullptr;
    RunElements<Shape, Routine>(kind, shared, arrays, out.data(), out.length());
    return out.IntoArray();
  });
}

}  // namespace kv
