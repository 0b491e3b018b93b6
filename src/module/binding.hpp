#pragma once

// Binding of a call's positional tuple and keyword dict to a function's
// parameters, and conversion of the bound arguments. Every parameter is
// required and may be given by position or by keyword.

#include <Python.h>

#include "errors.hpp"

namespace kv {

struct ParameterSpec {
  const char* function;      // the Python name, as written in messages
  const char* const* names;  // parameter names in positional order
  int count;                 // every parameter is required
};

// The slow path: keywords, too many or too few arguments, and the TypeError
// texts of each binding failure.
bool BindGeneral(const ParameterSpec& spec, PyObject* args, PyObject* kwargs, PyObject** slots);

// Fills slots[0..count) with borrowed references, or raises TypeError.
inline bool Bind(const ParameterSpec& spec, PyObject* args, PyObject* kwargs, PyObject** slots) {
  if (kwargs == nullptr && PyTuple_Size(args) == spec.count) {
    for (int i = 0; i < spec.count; ++i) slots[i] = PyTuple_GetItem(args, i);
    return true;
  }
  return BindGeneral(spec, args, kwargs, slots);
}

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
