#pragma once

// The one entry point template behind every _array function: bind; take the
// arrays, the flag text and the shared numbers in parameter order; read the
// arrays' data and lengths as the last conversion left them; parse the flag;
// check contiguity, then lengths; run the scalar routine once per element into
// one output buffer -- the kernel of the SIMD target chosen for this process
// (kernels/active.hpp), the one the whole-book API runs, with the arrays as
// contiguous inputs and the flag and the single numbers as inputs of stride
// 0 -- and wrap that buffer in a new array. The InputArrays are released in
// reverse order on every path out.

#include <Python.h>

#include "../ext_common/errors.hpp"
#include "array_kernel.hpp"
#include "binding.hpp"
#include "flag.hpp"
#include "input_array.hpp"
#include "shapes.hpp"
#include "slice_container.hpp"

namespace kv {

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

template <class Shape, kernels::Model M, int Quantity, FixedString Name>
PyObject* ArrayEntry(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  // A __float__ may call back into the module: count each entry against the
  // interpreter's recursion limit, so that deep reentry ends in RecursionError
  // before the thread's stack runs out.
  if (Py_EnterRecursiveCall(" in a kestrovane array function")) return nullptr;
  PyObject* result = Guarded([&]() -> PyObject* {
    static constexpr ParameterSpec spec{Name.text, Shape::kNames, Shape::kCount};
    BoundArguments<Shape::kCount> bound;
    if (!bound.Bind(spec, args, kwargs)) return nullptr;
    InputArrays<PerOptionCount<Shape>()> arrays;
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
      const char* data[PerOptionCount<Shape>()];
      for (int a = 0; a < arrays.size(); ++a) data[a] = arrays[a].data;
      RunArrayKernel<Shape, M, Quantity>(kernels::ActiveKernels(), kind, shared, data, out.data(),
                                         out.length());
      return out.IntoArray();
    });
  });
  Py_LeaveRecursiveCall();
  return result;
}

}  // namespace kv
