#include "input_array.hpp"

#include "../module/errors.hpp"
#include "borrow_registry.hpp"
#include "numpy_api.hpp"

namespace kv {
namespace {

bool IsNativeFloat64(const numpy::Api& api, PyObject* descr) {
  return descr == api.double_descr || api.equiv_types(descr, api.double_descr);
}

}  // namespace

bool TakeInputArray(PyObject* obj, const char* parameter, InputArray* out) {
  const numpy::Api* api = numpy::GetApi();
  if (api == nullptr) return false;
  PyTypeObject* type = Py_TYPE(obj);
  const bool is_array = type == api->array_type || PyType_IsSubtype(type, api->array_type);
  if (!is_array || numpy::Fields(obj)->nd != 1 ||
      !IsNativeFloat64(*api, numpy::Fields(obj)->descr)) {
    RaiseCannotConvert(parameter, obj, "PyArray<T, D>");
    return false;
  }
  const BorrowSpan span = SpanOfFloat64Array(obj);
  if (!AcquireRead(obj, span)) return false;
  const numpy::ArrayObject* fields = numpy::Fields(obj);
  Py_INCREF(obj);
  out->owner = obj;
  out->span = span;
  out->data = fields->data;
  out->length = fields->dimensions[0];
  out->contiguous = (fields->flags & (numpy::kCContiguous | numpy::kFContiguous)) != 0;
  return true;
}

void ReleaseInputArray(InputArray& array) {
  ReleaseRead(array.owner, array.span);
  Py_CLEAR(array.owner);
}

}  // namespace kv
