#include "american_run.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

namespace kv::book {
namespace {

constexpr int kMaxThreads = 256;
constexpr std::ptrdiff_t kPiece = 64;  // options a thread claims at a time

// The doubles and the flag of element e, however the inputs are strided.
struct Element {
  bool call;
  double in[kInputs - 1];
};

Element Read(const Layout& layout, std::ptrdiff_t e) {
  std::ptrdiff_t offset[kInputs] = {};
  for (int d = layout.ndim - 1; d >= 0; --d) {
    const std::ptrdiff_t i = e % layout.shape[d];
    e /= layout.shape[d];
    for (int k = 0; k < kInputs; ++k) offset[k] += i * layout.stride[k][d];
  }
  Element out;
  out.call = layout.data[0][offset[0]] != 0;
  for (int k = 1; k < kInputs; ++k) {
    std::memcpy(&out.in[k - 1], layout.data[k] + offset[k], sizeof(double));
  }
  return out;
}

// Calls work(lo, hi) for pieces of [0, total) claimed in turn by `threads`
// threads (the calling thread one of them). Between its pieces, at most
// every few milliseconds, the calling thread asks `check` whether to stop;
// then no piece is claimed after the current ones, and the result is false
// once every thread has ended.
template <class Work>
bool Share(std::ptrdiff_t total, int threads, const StopCheck& check, const Work& work) noexcept {
  const std::ptrdiff_t pieces = (total + kPiece - 1) / kPiece;
  int count = static_cast<int>(std::min<std::ptrdiff_t>({threads, pieces, kMaxThreads}));
  std::atomic<std::ptrdiff_t> next{0};
  const auto run = [&] {
    for (std::ptrdiff_t lo; (lo = next.fetch_add(kPiece, std::memory_order_relaxed)) < total;) {
      work(lo, std::min(total, lo + kPiece));
    }
  };
  // The handles live on the heap: the calling thread's stack may be small.
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
  for (std::ptrdiff_t lo; (lo = next.fetch_add(kPiece, std::memory_order_relaxed)) < total;) {
    work(lo, std::min(total, lo + kPiece));
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

}  // namespace

bool RunAmerican(const AmericanJob& job, const Layout& layout, int threads,
                 const StopCheck& check) noexcept {
  unsigned wanted = 0;
  for (int k = 0; k < job.count; ++k) wanted |= 1u << job.quantities[k];
  return Share(ElementCount(layout), threads, check, [&](std::ptrdiff_t lo, std::ptrdiff_t hi) {
    for (std::ptrdiff_t e = lo; e < hi; ++e) {
      const Element x = Read(layout, e);
      const american::Option option{x.call, x.in[0], x.in[1], x.in[2], x.in[3], x.in[4], x.in[5]};
      american::Values values;
      american::Evaluate(job.model, job.accuracy, option, wanted, values);
      for (int k = 0; k < job.count; ++k) job.outs[k][e] = values.v[job.quantities[k]];
    }
  });
}

bool RunAmericanIv(const AmericanIvJob& job, const Layout& layout, int threads,
                   const StopCheck& check) noexcept {
  return Share(ElementCount(layout), threads, check, [&](std::ptrdiff_t lo, std::ptrdiff_t hi) {
    for (std::ptrdiff_t e = lo; e < hi; ++e) {
      const Element x = Read(layout, e);
      // x.in: price, X, K, t, r, q
      const american::Option option{x.call, x.in[1], x.in[2], x.in[3], x.in[4], 0.0, x.in[5]};
      const american::IvResult result =
          american::ImpliedVol(job.model, job.accuracy, option, x.in[0]);
      job.out[e] = result.sigma;
      if (job.status != nullptr) job.status[e] = result.status;
    }
  });
}

}  // namespace kv::book
