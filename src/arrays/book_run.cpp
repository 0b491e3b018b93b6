#include "book_run.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <thread>

// Defined by each target's compilation of book_kernels.cpp.
#define KV_DECLARE_VECTOR_MATH(ns, Enum) \
  namespace kv::ns::book_kernel {        \
  bool UsesVectorMath();                 \
  }
KV_FOR_EACH_TARGET(KV_DECLARE_VECTOR_MATH)
#undef KV_DECLARE_VECTOR_MATH

namespace kv::book {
namespace {

// The active target's kernels, chosen once.
struct Runs {
  GreeksRun greeks;
  IvRunFn iv;
  bool (*vector_math)();
};

const Runs& ActiveRuns() {
  static const Runs runs = [] {
    switch (ActiveTarget()) {
#define KV_RUNS(ns, Enum)                                             \
  case Target::Enum:                                                  \
    return Runs{&ns::book_kernel::GreeksRow, &ns::book_kernel::IvRow, \
                &ns::book_kernel::UsesVectorMath};
      KV_FOR_EACH_TARGET(KV_RUNS)
#undef KV_RUNS
    }
    return Runs{&baseline::book_kernel::GreeksRow, &baseline::book_kernel::IvRow,
                &baseline::book_kernel::UsesVectorMath};
  }();
  return runs;
}

// Fewer elements than this per thread do not repay starting the thread.
constexpr std::ptrdiff_t kMinChunk = 16384;
constexpr int kMaxThreads = 256;
constexpr int kPiecesPerThread = 8;
// The most elements of one piece: about a millisecond of the slowest work (an
// implied volatility the solver works hard for), so that the calling thread
// is never long away from its check between pieces.
constexpr std::ptrdiff_t kMaxPiece = 4096;
constexpr std::ptrdiff_t kMinPiece = 1024;
// How often, at most, the calling thread asks whether to stop.
constexpr auto kCheckInterval = std::chrono::milliseconds(10);
// Outputs of more bytes than this are written past the caches, which could
// not hold them until the caller reads them anyway.
constexpr std::ptrdiff_t kStreamBytes = std::ptrdiff_t{8} << 20;

// Calls row(inputs, at, n) for each run of elements in [lo, hi), in order.
template <class Row>
void WalkRange(const Layout& layout, std::ptrdiff_t lo, std::ptrdiff_t hi, const Row& row) {
  const int inner = layout.ndim - 1;
  const std::ptrdiff_t length = layout.shape[inner];
  std::ptrdiff_t index[kMaxDims];  // position in the outer dimensions
  std::ptrdiff_t rest = lo / length;
  for (int d = inner - 1; d >= 0; --d) {
    index[d] = rest % layout.shape[d];
    rest /= layout.shape[d];
  }
  std::ptrdiff_t column = lo % length;
  Inputs in;
  for (int k = 0; k < kInputs; ++k) in.stride[k] = layout.stride[k][inner];
  for (std::ptrdiff_t at = lo; at < hi;) {
    const std::ptrdiff_t n = std::min(length - column, hi - at);
    for (int k = 0; k < kInputs; ++k) {
      std::ptrdiff_t offset = column * layout.stride[k][inner];
      for (int d = 0; d < inner; ++d) offset += index[d] * layout.stride[k][d];
      in.data[k] = layout.data[k] + offset;
    }
    row(in, at, n);
    at += n;
    column = 0;
    for (int d = inner - 1; d >= 0 && ++index[d] == layout.shape[d]; --d) index[d] = 0;
  }
}

// Splits [0, total) into pieces, block-aligned, that `count` threads claim in
// turn (the calling thread is one of them). A few pieces per thread rather
// than one: a thread whose core is busy with other work claims fewer, and the
// others finish the call instead of waiting for it. Between its pieces the
// calling thread asks `check` whether to stop; if so no piece is claimed
// after its current one, and the function returns false once every thread
// has ended.
template <class Chunk>
bool Split(std::ptrdiff_t total, int threads, const StopCheck& check, const Chunk& chunk) noexcept {
  const std::ptrdiff_t most = std::max<std::ptrdiff_t>(1, total / kMinChunk);
  int count = static_cast<int>(std::min<std::ptrdiff_t>({threads, most, kMaxThreads}));
  std::ptrdiff_t size = kMaxPiece;
  if (count > 1) {
    size = std::clamp<std::ptrdiff_t>(total / (std::ptrdiff_t{kPiecesPerThread} * count), kMinPiece,
                                      kMaxPiece);
    size = (size + 7) / 8 * 8;  // whole blocks for every lane width
  }
  std::atomic<std::ptrdiff_t> next{0};
  const auto work = [&] {
    for (std::ptrdiff_t lo; (lo = next.fetch_add(size, std::memory_order_relaxed)) < total;) {
      chunk(lo, std::min(total, lo + size));
    }
  };
  // The threads' handles live on the heap: the calling thread's stack may be
  // small. Without them, the calling thread does the work alone.
  std::thread* pool = count > 1 ? new (std::nothrow) std::thread[count] : nullptr;
  if (pool == nullptr) count = 1;
  for (int c = 1; c < count; ++c) {
    try {
      pool[c] = std::thread(work);
    } catch (...) {
      break;  // the threads started so far share the work
    }
  }
  bool stopped = false;
  auto last = std::chrono::steady_clock::now();
  for (std::ptrdiff_t lo; (lo = next.fetch_add(size, std::memory_order_relaxed)) < total;) {
    chunk(lo, std::min(total, lo + size));
    if (check.stop == nullptr) continue;
    const auto now = std::chrono::steady_clock::now();
    if (now - last < kCheckInterval) continue;
    if (check.stop(check.context)) {
      // Every later claim finds the range used up.
      next.store(total, std::memory_order_relaxed);
      stopped = true;
      break;
    }
    last = std::chrono::steady_clock::now();
  }
  for (int c = 1; c < count; ++c) {
    if (pool[c].joinable()) pool[c].join();
  }
  delete[] pool;
  return !stopped;
}

}  // namespace

std::ptrdiff_t ElementCount(const Layout& layout) {
  for (int d = 0; d < layout.ndim; ++d) {
    if (layout.shape[d] == 0) return 0;  // before any product could overflow
  }
  std::ptrdiff_t total = 1;
  for (int d = 0; d < layout.ndim; ++d) total *= layout.shape[d];
  return total;
}

void Coalesce(const Layout& layout, Layout* out_layout) {
  Layout& out = *out_layout;
  out.ndim = 0;
  for (int k = 0; k < kInputs; ++k) out.data[k] = layout.data[k];
  for (int d = 0; d < layout.ndim; ++d) {
    if (layout.shape[d] == 1) continue;
    bool merge = out.ndim > 0;
    for (int k = 0; k < kInputs && merge; ++k) {
      merge = out.stride[k][out.ndim - 1] == layout.stride[k][d] * layout.shape[d];
    }
    if (merge) {
      out.shape[out.ndim - 1] *= layout.shape[d];
      for (int k = 0; k < kInputs; ++k) out.stride[k][out.ndim - 1] = layout.stride[k][d];
      continue;
    }
    out.shape[out.ndim] = layout.shape[d];
    for (int k = 0; k < kInputs; ++k) out.stride[k][out.ndim] = layout.stride[k][d];
    ++out.ndim;
  }
  if (out.ndim == 0) {  // a single element
    out.ndim = 1;
    out.shape[0] = 1;
    for (int k = 0; k < kInputs; ++k) out.stride[k][0] = 0;
  }
}

bool RunGreeks(const GreeksJob& given, const Layout& layout, int threads,
               const StopCheck& check) noexcept {
  const std::ptrdiff_t total = ElementCount(layout);
  if (total == 0) return true;
  GreeksJob job = given;
  unsigned seen = 0;
  for (int k = 0; k < job.count; ++k) seen |= 1u << job.quantities[k];
  job.all = job.count == kQuantityCount && seen == (1u << kQuantityCount) - 1;
  job.stream = total * job.count * std::ptrdiff_t{sizeof(double)} > kStreamBytes;
  return Split(total, threads, check, [&](std::ptrdiff_t lo, std::ptrdiff_t hi) {
    WalkRange(layout, lo, hi, [&](const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n) {
      ActiveRuns().greeks(job, in, at, n);
    });
  });
}

bool RunIv(const IvJob& job, const Layout& layout, int threads, const StopCheck& check) noexcept {
  const std::ptrdiff_t total = ElementCount(layout);
  if (total == 0) return true;
  return Split(total, threads, check, [&](std::ptrdiff_t lo, std::ptrdiff_t hi) {
    WalkRange(layout, lo, hi, [&](const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n) {
      ActiveRuns().iv(job, in, at, n);
    });
  });
}

void PrepareBookKernels() noexcept {
  (void)ActiveRuns().vector_math();
}

bool VectorMathInUse() {
  return ActiveRuns().vector_math();
}

}  // namespace kv::book
