#include "run.hpp"

#include <algorithm>

#include "active.hpp"

namespace kv::book {
namespace {

// Fewer elements than this per thread do not repay starting the thread.
constexpr std::ptrdiff_t kMinChunk = 16384;
constexpr int kPiecesPerThread = 8;
// The most elements of one piece: about a millisecond of the slowest work (an
// implied volatility the solver works hard for), so that the calling thread
// is never long away from its check between pieces. The sanitizer build's
// kernels, instrumented and out of line, are tens of times slower: its
// pieces are a sixteenth as long, and take about as much time.
#if defined(KV_SANITIZER_BUILD)
constexpr std::ptrdiff_t kPieceDivisor = 16;
#else
constexpr std::ptrdiff_t kPieceDivisor = 1;
#endif
constexpr std::ptrdiff_t kMaxPiece = 4096 / kPieceDivisor;
constexpr std::ptrdiff_t kMinPiece = 1024 / kPieceDivisor;
// Outputs of more bytes than this are written past the caches, which could
// not hold them until the caller reads them anyway. Not more outputs than
// kMostStreams, though: each stream holds a write-combining buffer of the
// core until its line is full, and with more streams than buffers the lines
// go out in parts (all sixteen into out=, 10^6 options: 73.6 ns per option
// streamed, 69.8 not; one to twelve outputs the same either way).
constexpr std::ptrdiff_t kStreamBytes = std::ptrdiff_t{8} << 20;
constexpr int kMostStreams = 8;

// Calls run(inputs, at, n) for each run of elements in [lo, hi), in order.
template <class Run>
void WalkRange(const Layout& layout, std::ptrdiff_t lo, std::ptrdiff_t hi, const Run& run) {
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
    run(in, at, n);
    at += n;
    column = 0;
    for (int d = inner - 1; d >= 0 && ++index[d] == layout.shape[d]; --d) index[d] = 0;
  }
}

// Splits [0, total) into block-aligned pieces for up to `threads` threads
// (SharePieces): pieces of a few thousand elements, about eight per thread.
template <class Chunk>
bool Split(std::ptrdiff_t total, int threads, const StopCheck& check, const Chunk& chunk) noexcept {
  const std::ptrdiff_t most = std::max<std::ptrdiff_t>(1, total / kMinChunk);
  const int count = static_cast<int>(std::min<std::ptrdiff_t>({threads, most, kMaxThreads}));
  std::ptrdiff_t size = kMaxPiece;
  if (count > 1) {
    size = std::clamp<std::ptrdiff_t>(total / (std::ptrdiff_t{kPiecesPerThread} * count), kMinPiece,
                                      kMaxPiece);
    size = (size + 7) / 8 * 8;  // whole blocks for every lane width
  }
  return SharePieces(total, count, size, check, chunk);
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
  job.stream = job.count <= kMostStreams &&
               total * job.count * std::ptrdiff_t{sizeof(double)} > kStreamBytes;
  return Split(total, threads, check, [&](std::ptrdiff_t lo, std::ptrdiff_t hi) {
    WalkRange(layout, lo, hi, [&](const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n) {
      kernels::ActiveKernels().greeks(job, in, at, n);
    });
  });
}

bool RunIv(const IvJob& job, const Layout& layout, int threads, const StopCheck& check) noexcept {
  const std::ptrdiff_t total = ElementCount(layout);
  if (total == 0) return true;
  return Split(total, threads, check, [&](std::ptrdiff_t lo, std::ptrdiff_t hi) {
    WalkRange(layout, lo, hi, [&](const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n) {
      kernels::ActiveKernels().implied_vol(job, in, at, n);
    });
  });
}

void PrepareBookKernels() noexcept {
  (void)kernels::ActiveKernels().uses_vector_math();
}

bool VectorMathInUse() {
  return kernels::ActiveKernels().uses_vector_math();
}

}  // namespace kv::book
