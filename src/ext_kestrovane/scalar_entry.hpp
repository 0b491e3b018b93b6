#pragma once

// The one entry point template behind every scalar function: bind, convert
// the numbers and take the flag text in parameter order, parse the flag, run
// the routine once, return a new float.

#include <Python.h>

#include "../ext_common/errors.hpp"
#include "../iv/solver.hpp"
#include "../simd/lanes.hpp"
#include "binding.hpp"
#include "flag.hpp"
#include "shapes.hpp"

namespace kv {

inline PyObject* ReturnFloat(double value) {
  PyObject* result = PyFloat_FromDouble(WithCanonicalNaN(value));
  if (result == nullptr) RaiseApiCallFailed();
  return result;
}

// The solver's failures become the scalar functions' exceptions.
void RaiseIvError(IvError error);

// A price or Greek is returned as it is; an implied-volatility problem is
// solved first, its failures raised.
inline PyObject* Finish(OptionKind, double value) {
  return ReturnFloat(value);
}

inline PyObject* Finish(OptionKind kind, const IvInputs& inputs) {
  const IvResult result = SolveImpliedVol(kind, inputs);
  if (!result.ok) {
    RaiseIvError(result.error);
    return nullptr;
  }
  return ReturnFloat(result.volatility);
}

// Converts every bound argument in parameter order; per-option values are
// plain numbers here. The first failure raises and ends the conversion.
template <class Shape>
bool ConvertScalarArguments(PyObject* const* slots, Bound<double, Shape::kCount>& values,
                            FlagText* flag) {
  for (int i = 0; i < Shape::kCount; ++i) {
    switch (Shape::kKinds[i]) {
      case Param::Flag:
        if (!ConvertFlag(slots[i], flag)) return false;
        break;
      case Param::PerOption:
        if (!ConvertNumber(slots[i], Shape::kNames[i], &values.per[i])) return false;
        break;
      case Param::Number:
        if (!ConvertNumber(slots[i], Shape::kNames[i], &values.shared[i])) return false;
        break;
    }
  }
  return true;
}

template <class Shape, class Routine, FixedString Name>
PyObject* ScalarEntry(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
  return Guarded([&]() -> PyObject* {
    static constexpr ParameterSpec spec{Name.text, Shape::kNames, Shape::kCount};
    BoundArguments<Shape::kCount> bound;
    if (!bound.Bind(spec, args, kwargs)) return nullptr;
    Bound<double, Shape::kCount> values;
    FlagText flag;
    if (!ConvertScalarArguments<Shape>(bound.slots(), values, &flag)) return nullptr;
    OptionKind kind;
    if (!ParseFlag(flag, &kind)) return nullptr;
    return Finish(kind, Shape::template Evaluate<Routine>(kind, values));
  });
}

}  // namespace kv
