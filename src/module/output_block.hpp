#pragma once

// The outputs of a whole-book call: one writable buffer of doubles, handed to
// NumPy through the buffer protocol, that lives as long as the arrays viewing it.

#include <Python.h>

namespace kv::book {

// A new block of n doubles, 64-byte aligned; MemoryError when it cannot be had.
PyObject* NewOutputBlock(Py_ssize_t n);

}  // namespace kv::book
