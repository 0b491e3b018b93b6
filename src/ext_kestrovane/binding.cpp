#include "binding.hpp"

#include <cstring>
#include <string>

namespace kv {
namespace {

// Index of the parameter whose name equals the key byte for byte, or -1.
// A key that is not a str, or cannot be encoded, matches nothing.
int MatchKeyword(const ParameterSpec& spec, PyObject* key) {
  if (!PyUnicode_Check(key)) return -1;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &size);
  if (text == nullptr) {
    PyErr_Clear();
    return -1;
  }
  for (int i = 0; i < spec.count; ++i) {
    const char* name = spec.names[i];
    if (std::strlen(name) == static_cast<size_t>(size) && std::memcmp(name, text, size) == 0) {
      return i;
    }
  }
  return -1;
}

// "missing 3 required positional arguments: 't', 'r', and 'sigma'"
void RaiseMissing(const ParameterSpec& spec, PyObject* const* slots) {
  int missing = 0;
  for (int i = 0; i < spec.count; ++i) missing += slots[i] == nullptr;
  std::string names;
  int written = 0;
  for (int i = 0; i < spec.count; ++i) {
    if (slots[i] != nullptr) continue;
    if (written > 0) {
      if (missing == 2) {
        names += " and ";
      } else {
        names += written == missing - 1 ? ", and " : ", ";
      }
    }
    names += '\'';
    names += spec.names[i];
    names += '\'';
    ++written;
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %d required positional argument%s: %s", spec.function,
               missing, missing == 1 ? "" : "s", names.c_str());
}

}  // namespace

bool BindGeneral(const ParameterSpec& spec, PyObject* args, PyObject* kwargs, PyObject** slots) {
  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0) return false;
  if (given > spec.count) {
    PyErr_Format(PyExc_TypeError, "%s() takes %d positional arguments but %zd %s given",
                 spec.function, spec.count, given, given == 1 ? "was" : "were");
    return false;
  }
  for (int i = 0; i < spec.count; ++i) slots[i] = i < given ? PyTuple_GetItem(args, i) : nullptr;

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      const int index = MatchKeyword(spec, key);
      if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", spec.function,
                     key);
        return false;
      }
      if (slots[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", spec.function,
                     spec.names[index]);
        return false;
      }
      slots[index] = value;
    }
  }

  for (int i = 0; i < spec.count; ++i) {
    if (slots[i] == nullptr) {
      RaiseMissing(spec, slots);
      return false;
    }
  }
  return true;
}

}  // namespace kv
