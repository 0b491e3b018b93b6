#include "american_run.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
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
// threads (the calling thread one of them).
template <class Work>
void Share(std::ptrdiff_t total, int threads, const Work& work) noexcept {
  const std::ptrdiff_t pieces = (total + kPiece - 1) / kPiece;
  const int count = static_cast<int>(std::min<std::ptrdiff_t>({threads, pieces, kMaxThreads}));
  std::atomic<std::ptrdiff_t> next{0};
  const auto run = [&] {
    for (std::ptrdiff_t lo; (lo = next.fetch_add(kPiece, std::memory_order_relaxed)) < total;) {
      work(lo, std::min(total, lo + kPiece));
    }
  };
  std::thread pool[kMaxThreads];
  for (int c = 1; c < count; ++c) {
    try {
      pool[c] = std::thread(run);
    } catch (...) {
      break;  // the threads started so far share the work
    }
  }
  run();
  for (int c = 1; c < count; ++c) {
    if (pool[c].joinable()) pool[c].join();
  }
}

}  // namespace

void RunAmerican(const AmericanJob& job, const Layout& layout, int threads) noexcept {
  unsigned wanted = 0;
  for (int k = 0; k < job.count; ++k) wanted |= 1u << job.quantities[k];
  Share(ElementCount(layout), threads, [&](std::ptrdiff_t lo, std::ptrdiff_t hi) {
    for (std::ptrdiff_t e = lo; e < hi; ++e) {
      const Element x = Read(layout, e);
      const american::Option option{x.call, x.in[0], x.in[1], x.in[2], x.in[3], x.in[4], x.in[5]};
      american::Values values;
      american::Evaluate(job.model, job.accuracy, option, wanted, values);
      for (int k = 0; k < job.count; ++k) job.outs[k][e] = values.v[job.quantities[k]];
    }
  });
}

void RunAmericanIv(const AmericanIvJob& job, const Layout& layout, int threads) noexcept {
  Share(ElementCount(layout), threads, [&](std::ptrdiff_t lo, std::ptrdiff_t hi) {
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
