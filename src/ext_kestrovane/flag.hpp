#pragma once

// The option-type argument: taken as UTF-8 text during conversion, parsed
// into an OptionKind only after every other argument converted.

#include <Python.h>

#include "../models/option_kind.hpp"

namespace kv {

struct FlagText {
  PyObject* object;  // borrowed from the call's arguments
  const char* utf8;
  Py_ssize_t size;
};

// Takes the text of a str (subclasses accepted). Raises the 'PyString'
// TypeError for anything else; an unencodable str raises the interpreter's
// UnicodeEncodeError unchanged.
bool ConvertFlag(PyObject* obj, FlagText* out);

// ValueError "flag must be 'c' or 'p', got \"...\"" with the text quoted.
void RaiseInvalidFlag(const FlagText& flag);

// Only the first character counts: c or C is a call, p or P a put.
inline bool ParseFlag(const FlagText& flag, OptionKind* kind) {
  if (flag.size == 0) {
    PyErr_SetString(PyExc_ValueError, "flag must be 'c' or 'p'");
    return false;
  }
  switch (flag.utf8[0]) {
    case 'c':
    case 'C':
      *kind = OptionKind::Call;
      return true;
    case 'p':
    case 'P':
      *kind = OptionKind::Put;
      return true;
    default:
      RaiseInvalidFlag(flag);
      return false;
  }
}

}  // namespace kv
