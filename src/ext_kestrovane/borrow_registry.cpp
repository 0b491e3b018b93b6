#include "borrow_registry.hpp"

#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include "../ext_common/errors.hpp"
#include "../ext_common/py_ref.hpp"
#include "numpy_api.hpp"

namespace kv {
namespace {

constexpr const char* kRegistryFailure = "Interal borrow checking API error";

BorrowSpan SpanOf(PyObject* array, numpy::npy_intp element_size) {
  const numpy::ArrayObject* a = numpy::Fields(array);
  const auto data = reinterpret_cast<std::uintptr_t>(a->data);
  __int128 low = data;
  __int128 high = data;
  for (int d = 0; d < a->nd; ++d) {
    const numpy::npy_intp extent = a->dimensions[d];
    if (extent == 0) return {data, data};
    const __int128 reach = static_cast<__int128>(extent - 1) * a->strides[d];
    if (reach < 0) {
      low += reach;
    } else {
      high += reach;
    }
  }
  high += element_size;
  constexpr __int128 kTop = std::numeric_limits<std::uintptr_t>::max();
  const auto clamp = [](__int128 x) {
    return static_cast<std::uintptr_t>(x < 0 ? 0 : (x > kTop ? kTop : x));
  };
  return {clamp(low), clamp(high)};
}

struct Borrow {
  BorrowSpan span;
  long readers;  // > 0 for read borrows
  bool exclusive;
};

struct BorrowTable {
  std::vector<Borrow> borrows;
};

// The span of an array handed over by other native code, of any dtype.
BorrowSpan SpanOfAny(PyObject* array) {
  const numpy::Api* api = numpy::GetApi();  // loaded before any array reaches here
  return SpanOf(array, numpy::ElementSize(*api, array));
}

BorrowTable& Table(void* table) {
  return *static_cast<BorrowTable*>(table);
}

// One pass: refuse on an overlapping exclusive borrow, otherwise count one
// more reader of the same span or record a new one.
int AcquireReadSpan(BorrowTable& table, const BorrowSpan& span) {
  Borrow* same = nullptr;
  for (Borrow& b : table.borrows) {
    if (b.exclusive) {
      if (b.span.Overlaps(span)) return -1;
    } else if (b.span == span) {
      same = &b;
    }
  }
  if (same != nullptr) {
    ++same->readers;
    return 0;
  }
  try {
    table.borrows.push_back({span, 1, false});
  } catch (const std::bad_alloc&) {
    return -3;
  }
  return 0;
}

// The most recent borrows are released first, so the search runs from the
// back; the order of the records does not matter.
void ReleaseSpan(BorrowTable& table, const BorrowSpan& span, bool exclusive) {
  auto& borrows = table.borrows;
  for (auto it = borrows.rbegin(); it != borrows.rend(); ++it) {
    if (it->exclusive != exclusive || !(it->span == span)) continue;
    if (exclusive || --it->readers == 0) {
      *it = borrows.back();
      borrows.pop_back();
    }
    return;
  }
}

int AcquireReadEntry(void* table, PyObject* array) {
  return AcquireReadSpan(Table(table), SpanOfAny(array));
}

int AcquireExclusiveEntry(void* table, PyObject* array) {
  if (!(numpy::Fields(array)->flags & numpy::kWriteable)) return -2;
  auto& borrows = Table(table).borrows;
  const BorrowSpan span = SpanOfAny(array);
  for (const Borrow& b : borrows) {
    if (b.span.Overlaps(span) || b.span == span) return -1;
  }
  try {
    borrows.push_back({span, 0, true});
  } catch (const std::bad_alloc&) {
    return -3;
  }
  return 0;
}

void ReleaseReadEntry(void* table, PyObject* array) {
  ReleaseSpan(Table(table), SpanOfAny(array), false);
}
void ReleaseExclusiveEntry(void* table, PyObject* array) {
  ReleaseSpan(Table(table), SpanOfAny(array), true);
}

// The table this module published, when it is the one in use: our own read
// borrows then go to it directly, without the entry points' indirection.
BorrowTable* own_table = nullptr;

// The capsule of a registry published by another module, held for the process.
PyObject* held_capsule = nullptr;

// Finds the registry on the multiarray module, or publishes a new one there.
// Returns nullptr with a Python exception set.
const BorrowApi* FindOrPublish(PyObject* multiarray) {
  // Looked up in the module's dict rather than by getattr: on CPython 3.13 a
  // missing module attribute costs a path-sized buffer on the stack (its
  // shadowing check), more than a 32 KiB thread has to spare.
  PyObject* dict = PyModule_GetDict(multiarray);  // borrowed
  Ref key(PyUnicode_FromString(kBorrowCapsuleName));
  if (dict == nullptr || !key) return nullptr;
  PyObject* existing = PyDict_GetItemWithError(dict, key.get());  // borrowed
  if (existing == nullptr) {
    if (PyErr_Occurred()) return nullptr;
  } else {
    Py_INCREF(existing);
    Ref capsule(existing);
    if (!PyCapsule_CheckExact(existing)) {
      PyErr_Format(PyExc_TypeError, "%s is not a capsule", kBorrowCapsuleName);
      return nullptr;
    }
    auto* api = static_cast<const BorrowApi*>(PyCapsule_GetPointer(existing, kBorrowCapsuleName));
    if (api == nullptr) return nullptr;
    if (api->version < 1) {
      PyErr_Format(PyExc_ValueError, "unsupported borrow registry version %llu",
                   static_cast<unsigned long long>(api->version));
      return nullptr;
    }
    // The record lives as long as its capsule, which the module's attribute
    // need not keep: the publisher's destructor may free it once the
    // attribute is deleted. Held for the process, as the record is used.
    held_capsule = capsule.release();
    return api;
  }
  // Lives for the process: other modules may hold the record at any time.
  auto* api = new BorrowApi{1,
                            new BorrowTable,
                            &AcquireReadEntry,
                            &AcquireExclusiveEntry,
                            &ReleaseReadEntry,
                            &ReleaseExclusiveEntry};
  Ref capsule(PyCapsule_New(api, kBorrowCapsuleName, nullptr));
  if (!capsule || PyObject_SetAttrString(multiarray, kBorrowCapsuleName, capsule.get()) < 0) {
    delete static_cast<BorrowTable*>(api->table);
    delete api;
    return nullptr;
  }
  own_table = static_cast<BorrowTable*>(api->table);
  return api;
}

}  // namespace

const BorrowApi* GetBorrowApi() {
  static const BorrowApi* api = nullptr;
  if (api != nullptr) return api;
  const numpy::Api* numpy_api = numpy::GetApi();
  if (numpy_api == nullptr) return nullptr;
  api = FindOrPublish(numpy_api->multiarray);
  if (api == nullptr) RaisePanicFromPending(kRegistryFailure);
  return api;
}

BorrowSpan SpanOfFloat64Array(PyObject* array) {
  return SpanOf(array, sizeof(double));
}

bool AcquireRead(PyObject* array, const BorrowSpan& span) {
  const BorrowApi* api = GetBorrowApi();
  if (api == nullptr) return false;
  const int status = own_table != nullptr ? AcquireReadSpan(*own_table, span)
                                          : api->acquire_read(api->table, array);
  switch (status) {
    case 0:
      return true;
    case -1:
      RaisePanic("AlreadyBorrowed: the array is exclusively borrowed by other native code");
      return false;
    default:
      RaisePanic("Interal borrow checking API error: the read borrow could not be recorded");
      return false;
  }
}

void ReleaseRead(PyObject* array, const BorrowSpan& span) {
  if (own_table != nullptr) {
    ReleaseSpan(*own_table, span, false);
    return;
  }
  const BorrowApi* api = GetBorrowApi();  // present: a borrow was taken through it
  if (api != nullptr) api->release_read(api->table, array);
}

}  // namespace kv
