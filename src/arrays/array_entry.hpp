#pragma once

// The one entry point template behind every _array function: bind; take the
// arrays, the flag text and the shared numbers in parameter order; parse the
// flag; check contiguity, then lengths; run the scalar routine once per element
// into one output buffer; wrap that buffer in a new array. The InputArrays are
// released in reverse order on every path out.

#include <Python.h>

#include <limits>

#include "../iv/solver.hpp"
#include "../module/binding.hpp"
#include "../module/errors.hpp"
#include "../module/flag.hpp"
#include "../module/shapes.hpp"
#include "input_array.hpp"
#include "slice_container.hpp"

namespace kv {

// An element's value: a price or Greek as is; a failed solve as the default
// quiet NaN (sign bit clear, 0x7ff8000000000000).
inline double ElementValue(double value) { return value; }
inline double ElementValue(const IvResult& result) {
  return result.ok ? result.volatility : std::numeric_limits<double>::quiet_NaN();
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

// Element i of out is the routine of the i-th inputs and the shared values:
// the same inline routine as the scalar function, so the same doubles.
template <class Shape, auto Routine, class Arrays>
void RunElements(OptionKind kind, const double* shared, const Arrays& arrays, double* out,
                 Py_ssize_t n) {
  using Layout = ArrayLayout<Shape>;
  double values[Shape::kCount];
  for (int i = 0; i < Shape::kCount; ++i) values[i] = shared[i];
  for (Py_ssize_t e = 0; e < n; ++e) {
    for (int a = 0; a < Layout::kArrays; ++a) values[Layout::kIndex.at[a]] = arrays[a][e];
    out[e] = ElementValue(Shape::template Evaluate<Routine>(kind, values));
  }
}

template <class Shape, class Arrays>
bool ConvertArrayArguments(PyObject* const* slots, Arrays& arrays, double* values,
                           FlagText* flag) {
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

template <class Shape, auto Routine, FixedString Name>
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
