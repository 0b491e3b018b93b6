#include "slice_container.hpp"

#include <cstdint>
#include <cstdlib>
#include <limits>

#include <sys/mman.h>

#include "../ext_common/errors.hpp"
#include "../ext_common/py_ref.hpp"
#include "numpy_api.hpp"

namespace kv {
namespace {

void FreeBuffer(double* data, Py_ssize_t capacity) {
  if (capacity != 0) std::free(data);
}

// Large buffers start on a 2 MiB boundary and ask the kernel for huge pages.
// Above 32 MiB the C library maps every buffer afresh, and the first write to
// each fresh 4 KiB page costs a fault: over tens of megabytes of output that
// is a noticeable share of the call. (Smaller buffers are soon served from
// memory the process already has.) The advice may be ignored, or unknown to
// the system; the buffer is the same either way, and std::free releases it.
constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kHugeBufferBytes = size_t{32} << 20;

double* AllocateBuffer(size_t bytes) {
  if (bytes < kHugeBufferBytes) return static_cast<double*>(std::malloc(bytes));
  void* data = nullptr;
  if (posix_memalign(&data, kHugePage, bytes) != 0) return nullptr;
#ifdef MADV_HUGEPAGE
  madvise(data, bytes & ~(kHugePage - 1), MADV_HUGEPAGE);
#endif
  return static_cast<double*>(data);
}

// Stands in for the data of empty results; never freed.
alignas(double) unsigned char empty_placeholder[sizeof(double)];
double* EmptyData() {
  return reinterpret_cast<double*>(empty_placeholder);
}

struct SliceContainer {
  PyObject ob_base;
  double* data;
  Py_ssize_t length;
  Py_ssize_t capacity;  // 0 for the empty placeholder
  void (*release)(double*, Py_ssize_t);
};

// A container can die while an exception is on its way up -- a list of
// outputs dropped by a call that failed -- so that exception is set aside and
// restored: only an error of the release itself is reported here. It is
// reported without the container, which is half destroyed: printing it would
// revive it for a moment and run this deallocation, and the release, twice.
void SliceContainerDealloc(PyObject* self) {
  PyObject* pending = PyErr_GetRaisedException();
  auto* container = reinterpret_cast<SliceContainer*>(self);
  if (container->release != nullptr) container->release(container->data, container->capacity);
  if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
  PyErr_SetRaisedException(pending);
  FreeHeapTypeInstance(self);
}

PyObject* NoConstructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for PySliceContainer");
  return nullptr;
}

PyType_Slot container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&SliceContainerDealloc)},
    {Py_tp_new, reinterpret_cast<void*>(&NoConstructor)},
    {0, nullptr},
};

PyType_Spec container_spec = {
    "builtins.PySliceContainer",
    static_cast<int>(sizeof(SliceContainer)),
    0,
    Py_TPFLAGS_DEFAULT,
    container_slots,
};

// Created once, on the first output array.
PyTypeObject* ContainerType() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) {
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&container_spec));
    if (type == nullptr) {
      PyErr_Print();
      RaisePanic("failed to create type object for PySliceContainer");
    }
  }
  return type;
}

}  // namespace

OutputBuffer::~OutputBuffer() {
  FreeBuffer(data_, length_);
}

bool OutputBuffer::Allocate(Py_ssize_t n) {
  if (n == 0) {
    data_ = EmptyData();
    return true;
  }
  constexpr auto kMaxElements =
      static_cast<Py_ssize_t>(std::numeric_limits<Py_ssize_t>::max() / sizeof(double));
  if (n < 0 || n > kMaxElements) {
    PyErr_NoMemory();
    return false;
  }
  data_ = AllocateBuffer(static_cast<size_t>(n) * sizeof(double));
  if (data_ == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  length_ = n;
  return true;
}

PyObject* OutputBuffer::IntoArray() {
  const numpy::Api* api = numpy::GetApi();
  if (api == nullptr) return nullptr;
  PyTypeObject* type = ContainerType();
  if (type == nullptr) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* object = (alloc != nullptr ? alloc : PyType_GenericAlloc)(type, 0);
  if (object == nullptr) {
    RaisePanicFromPending("Failed to create slice container");
    return nullptr;  // the destructor frees the buffer
  }
  // From here the container owns the buffer.
  auto* container = reinterpret_cast<SliceContainer*>(object);
  container->data = data_;
  container->length = length_;
  container->capacity = length_;  // allocated at its final size
  container->release = &FreeBuffer;
  Ref owner(object);
  double* data = data_;
  const Py_ssize_t n = length_;
  data_ = nullptr;
  length_ = 0;

  Py_INCREF(api->double_descr);  // stolen by new_from_descr
  numpy::npy_intp dims[1] = {n};
  numpy::npy_intp strides[1] = {static_cast<numpy::npy_intp>(sizeof(double))};
  PyObject* array = api->new_from_descr(api->array_type, api->double_descr, 1, dims, strides, data,
                                        numpy::kWriteable, nullptr);
  if (array == nullptr) return nullptr;  // `owner` releases the container and the buffer
  if (api->set_base_object(array, owner.release()) < 0) {  // steals the container
    Py_DECREF(array);
    return nullptr;
  }
  return array;
}

}  // namespace kv
