#include "output_block.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>

#include <sys/mman.h>
#include <unistd.h>

#include "py_ref.hpp"

namespace kv::book {
namespace {

// One large block is kept for reuse when its arrays die. Past 32 MiB the C
// library maps every buffer afresh, and the system clears each new page on
// its first write: for the sixteen outputs of a million options that is
// 128 MB of clearing, a fifth of the call. A book priced again (the same
// positions on new market data) gets its block back instead. At most one
// block is kept; its pages go back to the system lazily (MADV_FREE: taken
// only under memory pressure, and not cleared again otherwise); and it serves
// only a request within 1/16 of its size, so a call never holds much more
// than its outputs.
constexpr size_t kKeptBytes = size_t{32} << 20;
constexpr size_t kAlign = 64;  // whole vectors for the kernel's streaming stores
constexpr size_t kHugePage = size_t{2} << 20;

struct Allocation {
  void* base = nullptr;  // from PyMem_Malloc
  size_t bytes = 0;      // usable bytes from the aligned start
};

// Touched only with the interpreter lock held (blocks are made and destroyed
// under it), so one plain slot suffices.
Allocation kept;

double* Start(const Allocation& a) {
  const auto address = reinterpret_cast<std::uintptr_t>(a.base);
  return reinterpret_cast<double*>((address + kAlign - 1) & ~(kAlign - 1));
}

// madvise over the whole pages of [begin, begin + bytes) in units of `unit`:
// never the partial pages at the ends, which hold the allocator's own records.
void Advise(void* begin, size_t bytes, size_t unit, int advice) {
  const auto first = (reinterpret_cast<std::uintptr_t>(begin) + unit - 1) & ~(unit - 1);
  const auto last = (reinterpret_cast<std::uintptr_t>(begin) + bytes) & ~(unit - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, advice);
}

// Room for `bytes`: the kept block if it fits, otherwise a new one (the kept
// block freed first, so the two are never held at once). `out` is set only on
// success.
bool Allocate(size_t bytes, Allocation* out) {
  if (kept.base != nullptr) {
    const Allocation held = std::exchange(kept, {});
    if (held.bytes >= bytes && held.bytes - bytes <= bytes / 16) {
      *out = held;
      return true;
    }
    PyMem_Free(held.base);
  }
  const Allocation fresh{PyMem_Malloc(bytes + kAlign), bytes};
  if (fresh.base == nullptr) return false;
#ifdef MADV_HUGEPAGE
  if (bytes >= kKeptBytes) Advise(Start(fresh), bytes, kHugePage, MADV_HUGEPAGE);
#endif
  *out = fresh;
  return true;
}

void Release(const Allocation& a) {
  if (a.bytes < kKeptBytes) {
    PyMem_Free(a.base);
    return;
  }
  if (kept.base != nullptr) PyMem_Free(kept.base);
#ifdef MADV_FREE
  Advise(Start(a), a.bytes, static_cast<size_t>(sysconf(_SC_PAGESIZE)), MADV_FREE);
#endif
  kept = a;
}

struct Block {
  PyObject ob_base;
  Allocation allocation;
  Py_ssize_t length;  // doubles in use
};

void BlockDealloc(PyObject* self) {
  Release(reinterpret_cast<Block*>(self)->allocation);
  FreeHeapTypeInstance(self);
}

int BlockGetBuffer(PyObject* self, Py_buffer* view, int flags) {
  auto* block = reinterpret_cast<Block*>(self);
  const Py_ssize_t bytes = block->length * static_cast<Py_ssize_t>(sizeof(double));
  return PyBuffer_FillInfo(view, self, Start(block->allocation), bytes, 0, flags);
}

PyType_Slot block_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&BlockDealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(&BlockGetBuffer)},
    {0, nullptr},
};

PyType_Spec block_spec = {
    "kestrovane._book.OutputBlock",
    static_cast<int>(sizeof(Block)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    block_slots,
};

PyTypeObject* BlockType() {
  static PyTypeObject* type = nullptr;  // made once, on the first call
  if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&block_spec));
  return type;
}

}  // namespace

PyObject* NewOutputBlock(Py_ssize_t n) {
  constexpr auto kMaxDoubles = static_cast<Py_ssize_t>((PY_SSIZE_T_MAX - kAlign) / sizeof(double));
  if (n < 0 || n > kMaxDoubles) return PyErr_NoMemory();
  PyTypeObject* type = BlockType();
  if (type == nullptr) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* block = reinterpret_cast<Block*>(self);  // zeroed: nothing to release yet
  if (!Allocate(static_cast<size_t>(n) * sizeof(double), &block->allocation)) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  block->length = n;
  return self;
}

}  // namespace kv::book
