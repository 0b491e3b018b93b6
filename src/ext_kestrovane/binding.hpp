#pragma once

// Binding of a call's positional tuple and keyword dict to a function's
// parameters, and conversion of the bound arguments. Every parameter is
// required and may be given by position or by keyword.

#include <Python.h>

#include "../ext_common/errors.hpp"

namespace kv {

struct ParameterSpec {
  const char* function;      // the Python name, as written in messages
  const char* const* names;  // parameter names in positional order
  int count;                 // every parameter is required
};

// The slow path: keywords, too many or too few arguments, and the TypeError
// texts of each binding failure.
bool BindGeneral(const ParameterSpec& spec, PyObject* args, PyObject* kwargs, PyObject** slots);

// The bound arguments of one call, slot per parameter. Positional arguments
// are borrowed from the call's tuple, which the caller keeps alive and nobody
// can change. With a keyword dict every slot is held strongly for the call:
// converting an argument runs user code (__float__, __index__), which could
// empty a dict handed on as it is and free the values not yet converted.
template <int Count>
class BoundArguments {
 public:
  BoundArguments() = default;
  BoundArguments(const BoundArguments&) = delete;
  BoundArguments& operator=(const BoundArguments&) = delete;
  ~BoundArguments() {
    if (owned_) {
      for (PyObject* slot : slots_) Py_DECREF(slot);
    }
  }

  // Fills every slot, or raises TypeError.
  bool Bind(const ParameterSpec& spec, PyObject* args, PyObject* kwargs) {
    if (kwargs == nullptr && PyTuple_Size(args) == Count) {
      for (int i = 0; i < Count; ++i) slots_[i] = PyTuple_GetItem(args, i);
      return true;
    }
    if (!BindGeneral(spec, args, kwargs, slots_)) return false;
    if (kwargs != nullptr) {
      for (PyObject* slot : slots_) Py_INCREF(slot);
      owned_ = true;
    }
    return true;
  }

  PyObject* const* slots() const { return slots_; }

 private:
  PyObject* slots_[Count];
  bool owned_ = false;
};

// PyFloat_AsDouble semantics: -1.0 is an error only with an exception pending.
inline bool ConvertNumber(PyObject* obj, const char* name, double* out) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) {
    WrapArgumentError(name);
    return false;
  }
  *out = value;
  return true;
}

}  // namespace kv
