#pragma once

// The one scheduler of the whole-book runs: a range of elements cut into
// pieces that threads claim in turn, the calling thread one of them. A few
// pieces per thread rather than one: a thread whose core is busy with other
// work claims fewer, and the others finish the call instead of waiting for
// it. Between its pieces the calling thread may be asked whether to stop (a
// pending Ctrl-C).

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <new>
#include <thread>

namespace kv::book {

// Asked on the calling thread between its pieces, at most every few
// milliseconds: true stops the call. Without a function nothing is asked.
struct StopCheck {
  bool (*stop)(void* context) = nullptr;
  void* context = nullptr;
};

inline constexpr int kMaxThreads = 256;

// Calls work(lo, hi) for the pieces of `piece` elements of [0, total), in
// turn, on up to `threads` threads (never more than there are pieces). Never
// throws: if a thread cannot be started, its share runs on the others. If
// `check` says stop, no piece is claimed after the current ones, and the
// result is false once every thread has ended.
template <class Work>
bool SharePieces(std::ptrdiff_t total, int threads, std::ptrdiff_t piece, const StopCheck& check,
                 const Work& work) noexcept {
  const std::ptrdiff_t pieces = (total + piece - 1) / piece;
  int count = static_cast<int>(std::min<std::ptrdiff_t>({threads, pieces, kMaxThreads}));
  std::atomic<std::ptrdiff_t> next{0};
  const auto run = [&] {
    for (std::ptrdiff_t lo; (lo = next.fetch_add(piece, std::memory_order_relaxed)) < total;) {
      work(lo, std::min(total, lo + piece));
    }
  };
  // The threads' handles live on the heap: the calling thread's stack may be
  // small. Without them, the calling thread does the work alone.
  std::thread* pool = count > 1 ? new (std::nothrow) std::thread[count] : nullptr;
  if (pool == nullptr) count = 1;
  for (int c = 1; c < count; ++c) {
    try {
      pool[c] = std::thread(run);
    } catch (...) {
      break;  // the threads started so far share the work
    }
  }
  bool stopped = false;
  auto last = std::chrono::steady_clock::now();
  for (std::ptrdiff_t lo; (lo = next.fetch_add(piece, std::memory_order_relaxed)) < total;) {
    work(lo, std::min(total, lo + piece));
    if (check.stop == nullptr) continue;
    const auto now = std::chrono::steady_clock::now();
    if (now - last < std::chrono::milliseconds(10)) continue;
    if (check.stop(check.context)) {
      next.store(total, std::memory_order_relaxed);  // later claims find nothing left
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

}  // namespace kv::book
