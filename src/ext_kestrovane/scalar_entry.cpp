#include "scalar_entry.hpp"

namespace kv {

void RaiseIvError(IvError error) {
  switch (error) {
    case IvError::BelowIntrinsic:
      PyErr_SetString(PyExc_ValueError, "price is below intrinsic value");
      return;
    case IvError::AboveMaximum:
      PyErr_SetString(PyExc_ValueError, "price exceeds theoretical maximum");
      return;
    case IvError::NoConvergence:
      PyErr_SetString(PyExc_RuntimeError, "IV solver failed to converge");
      return;
  }
}

}  // namespace kv
