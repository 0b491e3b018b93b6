// The one-quantity Greeks kernels of one SIMD target for runs of one kind
// and shared rates (every _array price and Greek): each model and quantity
// its own flattened function, with w, r and q as doubles. Compiled once per
// target like the other kernel units, beside them.

#include <algorithm>
#include <iterator>

#include "kernel.hpp"

KV_TARGET_BEGIN
namespace simd_kernels {
namespace {

template <Model M, class Q, detail::Part P>
KV_KERNEL_ENTRY void OneShared(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at,
                               std::ptrdiff_t n) {
  detail::GreeksOne<kBlockLanes, M, Q, true, P>(job, in, at, n);
}

template <Model M, class Q>
void Whole(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n) {
  detail::ForEachPart<kBlockLanes>([&]<detail::Part P>() { OneShared<M, Q, P>(job, in, at, n); });
}

// The per-option inputs the kernel loads a block at a time: X, K, t, sigma.
constexpr int kPerOption[] = {1, 2, 3, 5};
// Options per contiguous copy: 2 KiB of stack, which the smallest thread
// stack has to spare, and many blocks of every width per call.
constexpr std::ptrdiff_t kChunk = 64;

// Runs whose X, K, t or sigma are not contiguous (one value for the run, a
// strided view) go through contiguous copies, a chunk at a time; a value
// shared by the run is spread once. The copies change no value.
template <Model M, class Q>
void Staged(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n) {
  double chunk[std::size(kPerOption)][kChunk];
  Inputs view = in;
  for (std::size_t s = 0; s < std::size(kPerOption); ++s) {
    const int k = kPerOption[s];
    if (in.stride[k] == sizeof(double)) continue;
    view.data[k] = reinterpret_cast<const char*>(chunk[s]);
    view.stride[k] = sizeof(double);
    if (in.stride[k] == 0) std::fill(chunk[s], chunk[s] + kChunk, detail::Load(in, k, 0));
  }
  for (std::ptrdiff_t lo = 0; lo < n; lo += kChunk) {
    const std::ptrdiff_t m = std::min(kChunk, n - lo);
    for (std::size_t s = 0; s < std::size(kPerOption); ++s) {
      const int k = kPerOption[s];
      if (in.stride[k] == sizeof(double)) {
        view.data[k] = in.data[k] + lo * std::ptrdiff_t{sizeof(double)};
      } else if (in.stride[k] != 0) {
        for (std::ptrdiff_t e = 0; e < m; ++e) chunk[s][e] = detail::Load(in, k, lo + e);
      }
    }
    Whole<M, Q>(job, view, at + lo, m);
  }
}

bool Contiguous(const Inputs& in) {
  for (int k : kPerOption) {
    if (in.stride[k] != sizeof(double)) return false;
  }
  return true;
}

}  // namespace

void GreeksOneShared(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n) {
  const bool contiguous = Contiguous(in);
  detail::WithGreeksModel(job.model, [&]<Model M>() {
    detail::WithQuantity(job.quantities[0], [&](auto q) {
      if (contiguous) return Whole<M, decltype(q)>(job, in, at, n);
      Staged<M, decltype(q)>(job, in, at, n);
    });
  });
  detail::EndStreaming(job);
}

}  // namespace simd_kernels
KV_TARGET_END
