#pragma once

// The few pieces of NumPy's C API this module uses, reached without NumPy's
// headers: the C-API table comes from the `_ARRAY_API` capsule of NumPy's
// multiarray module at the first array call (never at import), entries are
// taken by their fixed positions in that table, and the array object's
// leading fields are read as NumPy's own accessor macros read them. Both
// NumPy 1.x and 2.x lay these out identically; only the dtype descriptor's
// element size moved in 2.0.

#include <Python.h>

#include <cstdint>

namespace kv::numpy {

using npy_intp = Py_ssize_t;

// The leading fields of NumPy's array object (PyArrayObject_fields).
struct ArrayObject {
  PyObject ob_base;
  char* data;
  int nd;
  npy_intp* dimensions;
  npy_intp* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};

inline ArrayObject* Fields(PyObject* array) {
  return reinterpret_cast<ArrayObject*>(array);
}

inline constexpr int kCContiguous = 0x1;   // NPY_ARRAY_C_CONTIGUOUS
inline constexpr int kFContiguous = 0x2;   // NPY_ARRAY_F_CONTIGUOUS
inline constexpr int kWriteable = 0x400;   // NPY_ARRAY_WRITEABLE
inline constexpr int kDoubleTypeNum = 12;  // NPY_DOUBLE

struct Api {
  PyTypeObject* array_type;                                              // slot 2
  PyObject* (*descr_from_type)(int);                                     // slot 45
  PyObject* (*new_from_descr)(PyTypeObject*, PyObject*, int, npy_intp*,  // slot 94
                              npy_intp*, void*, int, PyObject*);
  unsigned char (*equiv_types)(PyObject*, PyObject*);  // slot 182
  int (*set_base_object)(PyObject*, PyObject*);        // slot 282
  PyObject* double_descr;  // the built-in float64 descriptor, held for the process
  PyObject* multiarray;    // NumPy's multiarray module, held for the process
  PyObject* capsule;       // the `_ARRAY_API` capsule, held for the process
  std::uint8_t major;      // NumPy's major version, 1 or 2, agreeing with the ABI version
};

// The C-API table, obtained on first use and kept for the process. It is
// accepted only from NumPy's own unnamed capsule, with the ABI and feature
// versions of NumPy 1.26 or 2.x. On failure raises PanicException "Failed to
// access NumPy array API capsule: ..." and returns nullptr; only the steps
// that succeeded are kept, so the next call retries the rest.
const Api* GetApi();

// Size in bytes of one element of an array's dtype.
npy_intp ElementSize(const Api& api, PyObject* array);

}  // namespace kv::numpy
