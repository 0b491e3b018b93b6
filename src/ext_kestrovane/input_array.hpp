#pragma once

// An array argument held for one call: a strong reference, its data pointer
// and length, and a read borrow, all released together.

#include <Python.h>

#include "borrow_registry.hpp"

namespace kv {

struct InputArray {
  PyObject* owner = nullptr;
  const char* parameter = nullptr;
  BorrowSpan span{};
  // Read when the call's last argument has been converted (SettleInputArray):
  // user code run by a later conversion may have resized or reshaped the
  // array, so what it looked like when taken may no longer hold.
  const char* data = nullptr;
  Py_ssize_t length = 0;
  bool contiguous = false;
};

// Accepts only a NumPy array (or subclass) of one dimension whose dtype is
// native float64 -- no conversion of any kind -- and takes a read borrow.
// Raises the argument's TypeError, or PanicException for NumPy and registry
// failures.
bool TakeInputArray(PyObject* obj, const char* parameter, InputArray* out);

// Reads the array's data, length and contiguity as they are now, after every
// argument of the call has been converted: no user code runs from here to the
// end of the call. An array that user code turned into something no longer
// accepted (another dtype, more dimensions) raises its parameter's TypeError.
bool SettleInputArray(InputArray& array);

void ReleaseInputArray(InputArray& array);

// The arrays of one call, released in reverse order of acquisition on every
// path out of the call.
template <int Capacity>
class InputArrays {
 public:
  InputArrays() = default;
  InputArrays(const InputArrays&) = delete;
  InputArrays& operator=(const InputArrays&) = delete;
  ~InputArrays() {
    while (count_ > 0) ReleaseInputArray(items_[--count_]);
  }

  bool Take(PyObject* obj, const char* parameter) {
    if (!TakeInputArray(obj, parameter, &items_[count_])) return false;
    ++count_;
    return true;
  }

  bool Settle() {
    for (int i = 0; i < count_; ++i) {
      if (!SettleInputArray(items_[i])) return false;
    }
    return true;
  }

  const InputArray& operator[](int i) const { return items_[i]; }
  static constexpr int size() { return Capacity; }

 private:
  InputArray items_[Capacity];
  int count_ = 0;
};

}  // namespace kv
