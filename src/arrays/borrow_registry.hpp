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

// Takes a read borrow of `array`, or raises PanicException naming
// "AlreadyBorrowed" when other native code holds an exclusive borrow.
bool AcquireRead(PyObject* array);
void ReleaseRead(PyObject* array);

}  // namespace kv
