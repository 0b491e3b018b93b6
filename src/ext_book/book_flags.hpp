#pragma once

// Call/put flags given as text, read in one pass with the interpreter lock
// held: NumPy str and bytes arrays through the buffer protocol, NumPy object
// arrays item by item, and Arrow string columns (pandas, polars, pyarrow)
// through the Arrow C stream interface.

#include <Python.h>

namespace kv::book {

// flag_codes(values, out, /) -> int: writes 1 (call) or 0 (put) per flag into
// the 1-byte buffer out and returns the position of the first flag that is
// neither, or -1.
PyObject* FlagCodes(PyObject* module, PyObject* args) noexcept;

}  // namespace kv::book
