#pragma once

// Output arrays: one buffer of n doubles, allocated once at its final size,
// adopted without copying by a new base-class float64 array whose `base` is a
// PySliceContainer owning the buffer. The buffer lives exactly as long as the
// array and every view of it.

#include <Python.h>

namespace kv {

class OutputBuffer {
 public:
  OutputBuffer() = default;
  OutputBuffer(const OutputBuffer&) = delete;
  OutputBuffer& operator=(const OutputBuffer&) = delete;
  ~OutputBuffer();

  // Room for n doubles; MemoryError when it cannot be had (never an
  // overflowed size). An empty buffer allocates nothing.
  bool Allocate(Py_ssize_t n);

  double* data() { return data_; }
  Py_ssize_t length() const { return length_; }

  // Hands the buffer to a new array (consuming it), or raises.
  PyObject* IntoArray();

 private:
  double* data_ = nullptr;
  Py_ssize_t length_ = 0;  // also the allocated size: 0 for the empty placeholder
};

}  // namespace kv
