#pragma once

// A process-wide registry of borrowed array memory, shared with other native
// modules through a capsule on NumPy's multiarray module. Any number of read
// borrows of the same or overlapping memory coexist; an exclusive borrow
// excludes every other borrow of overlapping memory. This module only ever
// takes read borrows.

#include <Python.h>

#include <cstdint>

namespace kv {

// The published record: version, opaque table, and four entries taking
// (table, array object).
struct BorrowApi {
  std::uint64_t version;  // 1
  void* table;
  int (*acquire_read)(void* table, PyObject* array);       // 0, or -1 on conflict
  int (*acquire_exclusive)(void* table, PyObject* array);  // 0, -1, or -2 if not writeable
  void (*release_read)(void* table, PyObject* array);
  void (*release_exclusive)(void* table, PyObject* array);
};

inline constexpr const char* kBorrowCapsuleName = "_KESTROVANE_BORROW_CHECKING_API";

// The registry, found on or published to NumPy's multiarray module at first
// use. On failure raises PanicException "Interal borrow checking API error: ..."
// and returns nullptr.
const BorrowApi* GetBorrowApi();

// The bytes an array's elements span, whatever its shape and strides, as
// addresses. Views made with arbitrary strides can describe spans far beyond
// the address space (they are refused later as not contiguous, but borrowed
// first): the extent is summed in 128 bits and clamped to the address range.
struct BorrowSpan {
  std::uintptr_t start;
  std::uintptr_t end;

  bool Overlaps(const BorrowSpan& other) const { return start < other.end && other.start < end; }
  bool operator==(const BorrowSpan& other) const = default;
};

// The span of a float64 array (its element size known).
BorrowSpan SpanOfFloat64Array(PyObject* array);

// Takes a read borrow of `array` (whose span is given), or raises
// PanicException naming "AlreadyBorrowed" when other native code holds an
// exclusive borrow of overlapping memory.
bool AcquireRead(PyObject* array, const BorrowSpan& span);
void ReleaseRead(PyObject* array, const BorrowSpan& span);

}  // namespace kv
