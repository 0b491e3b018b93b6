#include "input_array.hpp"

#include "../ext_common/errors.hpp"
#include "borrow_registry.hpp"
#include "numpy_api.hpp"

namespace kv {
namespace {

bool IsNativeFloat64(const numpy::Api& api, PyObject* descr) {
  return descr == api.double_descr || api.equiv_types(descr, api.double_descr);
}

bool IsAccepted(const numpy::Api& api, PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  const bool is_array = type == api.array_type || PyType_IsSubtype(type, api.array_type);
  return is_array && numpy::Fields(obj)->nd == 1 && IsNativeFloat64(api, numpy::Fields(obj)->descr);
}

}  // namespace

bool TakeInputArray(PyObject* obj, const char* parameter, InputArray* out) {
  const numpy::Api* api = numpy::GetApi();
  if (api == nullptr) return false;
  if (!IsAccepted(*api, obj)) {
    RaiseCannotConvert(parameter, obj, "PyArray<T, D>");
    return false;
  }
  const BorrowSpan span = SpanOfFloat64Array(obj);
  if (!AcquireRead(obj, span)) return false;
  Py_INCREF(obj);
  out->owner = obj;
  out->parameter = parameter;
  out->span = span;
  return true;
}

bool SettleInputArray(InputArray& array) {
  const numpy::Api* api = numpy::GetApi();  // loaded: the array was taken through it
  if (!IsAccepted(*api, array.owner)) {
    RaiseCannotConvert(array.parameter, array.owner, "PyArray<T, D>");
    return false;
  }
  const numpy::ArrayObject* fields = numpy::Fields(array.owner);
  array.data = fields->data;
  array.length = fields->dimensions[0];
  array.contiguous = (fields->flags & (numpy::kCContiguous | numpy::kFContiguous)) != 0;
  return true;
}

void ReleaseInputArray(InputArray& array) {
  ReleaseRead(array.owner, array.span);
  Py_CLEAR(array.owner);
}

}  // namespace kv
