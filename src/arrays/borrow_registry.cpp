#include "borrow_registry.hpp"

#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include "../module/errors.hpp"
#include "../module/py_ref.hpp"
#include "numpy_api.hpp"

namespace kv {
namespace {

constexpr const char* kRegistryFailure = "Interal borrow checking API error";

// The bytes an array's elements span, whatever its shape and strides, as
// addresses. Views made with arbitrary strides can describe spans far beyond
// the address space (they are refused later as not contiguous, but borrowed
// first): the extent is summed in 128 bits and clamped to the address range.
struct Span {
  std::uintptr_t start;
  std::uintptr_t end;

  bool Overlaps(const Span& other) const { return start < other.end && other.start < end; }
  bool operator==(const Span& other) const = default;
};

Span SpanOf(PyObject* array) {
  const numpy::ArrayObject* a = numpy::Fields(array);
  const numpy::Api* api = numpy::GetApi();  // loaded before any array reaches here
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
  high += numpy::ElementSize(*api, array);
  constexpr __int128 kTop = std::numeric_limits<std::uintptr_t>::max();
  const auto clamp = [](__int128 x) {
    return static_cast<std::uintptr_t>(x < 0 ? 0 : (x > kTop ? kTop : x));
  };
  return {clamp(low), clamp(high)};
}

struct Borrow {
  Span span;
  long readers;  // > 0 for read borrows
  bool exclusive;
};

struct BorrowTable {
  std::vector<Borrow> borrows;
};

BorrowTable& Table(void* table) {
  return *static_cast<BorrowTable*>(table);
}

// One pass: refuse on an overlapping exclusive borrow, otherwise count one
// more reader of the same span or record a new one.
int AcquireReadEntry(void* table, PyObject* array) {
  auto& borrows = Table(table).borrows;
  const Span span = SpanOf(array);
  Borrow* same = nullptr;
  for (Borrow& b : borrows) {
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
    borrows.push_back({span, 1, false});
  } catch (const std::bad_alloc&) {
    return -3;
  }
  return 0;
}

int AcquireExclusiveEntry(void* table, PyObject* array) {
  if (!(numpy::Fields(array)->flags & numpy::kWriteable)) return -2;
  auto& borrows = Table(table).borrows;
  const Span span = SpanOf(array);
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

// The most recent borrows are released first, so the search runs from the
// back; the order of the records does not matter.
void ReleaseEntry(void* table, PyObject* array, bool exclusive) {
  auto& borrows = Table(table).borrows;
  const Span span = SpanOf(array);
  for (auto it = borrows.rbegin(); it != borrows.rend(); ++it) {
    if (it->exclusive != exclusive || !(it->span == span)) continue;
    if (exclusive || --it->readers == 0) {
      *it = borrows.back();
      borrows.pop_back();
    }
    return;
  }
}

void ReleaseReadEntry(void* table, PyObject* array) {
  ReleaseEntry(table, array, false);
}
void ReleaseExclusiveEntry(void* table, PyObject* array) {
  ReleaseEntry(table, array, true);
}

// Finds the registry on the multiarray module, or publishes a new one there.
// Returns nullptr with a Python exception set.
const BorrowApi* FindOrPublish(PyObject* multiarray) {
  PyObject* existing = PyObject_GetAttrString(multiarray, kBorrowCapsuleName);
  if (existing == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
  } else {
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
    return api;  // the module's attribute keeps the capsule alive
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

bool AcquireRead(PyObject* array) {
  const BorrowApi* api = GetBorrowApi();
  if (api == nullptr) return false;
  switch (api->acquire_read(api->table, array)) {
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

void ReleaseRead(PyObject* array) {
  const BorrowApi* api = GetBorrowApi();  // present: a borrow was taken through it
  if (api != nullptr) api->release_read(api->table, array);
}

}  // namespace kv
