#pragma once

// The kernels, the one family behind the _array functions and the whole-book
// API: one pass over a run of options computes any list of the sixteen
// quantities (price and the fifteen Greeks), or (iv_kernel.hpp) their implied
// volatilities. Every input is read through its own byte stride (0 for one
// value shared by the run, as an _array function's flag, r and q are) and may
// change from option to option: the kind (call or put), the rates,
// everything. Blocks of W options run on Lanes<W>, the rest one at a time,
// through the same routines as the scalar functions, so every element is that
// function's double for its inputs.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "../iv/block_solver.hpp"
#include "../models/greeks.hpp"
#include "../simd/target.hpp"
#include "job.hpp"
#include "lane_pair.hpp"

KV_TARGET_BEGIN
namespace simd_kernels {

using kv::kernels::GreeksJob;
using kv::kernels::Inputs;
using kv::kernels::IvJob;
using kv::kernels::kInputs;
using kv::kernels::kQuantityCount;
using kv::kernels::Model;

namespace detail {

// Unaligned-safe loads: a strided view may start anywhere.
KV_INLINE double Load(const Inputs& in, int k, std::ptrdiff_t e) {
  double v;
  std::memcpy(&v, in.data[k] + e * in.stride[k], sizeof v);
  return v;
}
KV_INLINE double LoadSign(const Inputs& in, std::ptrdiff_t e) {
  return in.data[0][e * in.stride[0]] != 0 ? 1.0 : -1.0;
}
// A block of input k: one load for a contiguous input, one value for a
// broadcast one, lane by lane otherwise. The strides are the same for every
// block of a run, so the branches are always predicted.
template <int W>
KV_INLINE Lanes<W> LoadLanes(const Inputs& in, int k, std::ptrdiff_t e) {
  if (in.stride[k] == sizeof(double)) return ::kv::LoadLanes<W>(in.data[k] + e * in.stride[k]);
  if (in.stride[k] == 0) return PerLane<W>(Load(in, k, 0));
  return FromLanes<W>([&](int j) { return Load(in, k, e + j); });
}
// The signs of W flag bytes in a row, widened and compared as one vector: lane
// by lane, the compiler branches on each flag, and calls and puts in any order
// mispredict about half those branches.
template <int W>
KV_INLINE Lanes<W> SignsOfFlags(const void* bytes) {
  using Vec = typename Lanes<W>::Vec;
  using Mask = typename Lanes<W>::Mask;
  typedef std::uint8_t Bytes __attribute__((vector_size(W)));
  Bytes flags;
  std::memcpy(&flags, bytes, sizeof flags);
  const Mask call = __builtin_convertvector(flags, Mask) != 0;
  return {call ? Vec{} + 1.0 : Vec{} - 1.0};
}
// The signs of a block: contiguous flag bytes as one vector (SignsOfFlags).
template <int W>
KV_INLINE Lanes<W> LoadSigns(const Inputs& in, std::ptrdiff_t e) {
  if (in.stride[0] == 0) return PerLane<W>(LoadSign(in, 0));
  if (in.stride[0] == 1) return SignsOfFlags<W>(in.data[0] + e);
  return FromLanes<W>([&](int j) { return LoadSign(in, e + j); });
}

// Black-Scholes is the spot model with q = 0.0; Black-76 ignores q.
template <Model M, class T, class P>
KV_INLINE auto MakeTerms(P w, T X, T K, T t, P r, T sigma, P q) {
  if constexpr (M == Model::Black76) {
    return ForwardModel::Make<T, P>(w, X, K, t, r, sigma, q);
  } else {
    return SpotModel::Make<T, P>(w, X, K, t, r, sigma, M == Model::Bs ? P{} : q);
  }
}

// Calls f(Q{}) for the quantity of index i.
template <class F>
KV_INLINE auto WithQuantity(int i, F&& f) {
  using namespace greeks;
  switch (i) {
#define KV_QUANTITY_CASE(name, Routine) \
  case kv::kernels::Index::name:        \
    return f(Routine{});
    KV_ALL_QUANTITIES(KV_QUANTITY_CASE)
#undef KV_QUANTITY_CASE
    default:
      return f(Price{});  // never: the module checks every index
  }
}

// Calls f(i, Q{}) for every quantity, in index order.
template <class F>
KV_INLINE void ForEachQuantity(F&& f) {
  using namespace greeks;
#define KV_QUANTITY_CALL(name, Routine) f(kv::kernels::Index::name, Routine{});
  KV_ALL_QUANTITIES(KV_QUANTITY_CALL)
#undef KV_QUANTITY_CALL
}

template <class X>
KV_INLINE auto Evaluate(int quantity, X& x) {
  return WithQuantity(quantity, [&](auto q) KV_INLINE_LAMBDA { return decltype(q)::Of(x); });
}

KV_INLINE void Store(double* out, double value) {
  *out = WithCanonicalNaN(value);
}
template <int W>
KV_INLINE void Store(double* out, const Lanes<W>& value) {
  const Lanes<W> stored = WithCanonicalNaN(value);
  std::memcpy(out, &stored.v, sizeof stored.v);
}

// Where the job's outputs are too large to stay in the caches (job.stream),
// a block at its own width's boundary is written past them: the stores then
// neither read the memory they overwrite nor evict the inputs.
template <int W>
KV_INLINE void Store(double* out, const Lanes<W>& value, bool stream) {
  if (stream && reinterpret_cast<std::uintptr_t>(out) % sizeof(value.v) == 0) {
    const Lanes<W> stored = WithCanonicalNaN(value);
#if defined(__AVX512F__)
    if constexpr (W == 8) return _mm512_stream_pd(out, (__m512d)stored.v);
#endif
#if defined(__AVX__)
    if constexpr (W == 4) return _mm256_stream_pd(out, (__m256d)stored.v);
#endif
#if defined(__SSE2__)
    if constexpr (W == 2) return _mm_stream_pd(out, (__m128d)stored.v);
#endif
  }
  Store(out, value);
}
KV_INLINE void Store(double* out, double value, bool) {
  Store(out, value);
}

// Streamed stores are ordered before anything the caller does next.
KV_INLINE void EndStreaming(const GreeksJob& job) {
#if defined(__SSE2__)
  if (job.stream) _mm_sfence();
#else
  (void)job;
#endif
}

template <int W>
KV_INLINE LanePair<W> LoadPair(const Inputs& in, int k, std::ptrdiff_t e) {
  return {LoadLanes<W>(in, k, e), LoadLanes<W>(in, k, e + W)};
}
template <int W>
KV_INLINE LanePair<W> LoadPairSigns(const Inputs& in, std::ptrdiff_t e) {
  return {LoadSigns<W>(in, e), LoadSigns<W>(in, e + W)};
}
template <int W>
KV_INLINE void Store(double* out, const LanePair<W>& value, bool stream) {
  Store(out, value.lo, stream);
  Store(out + W, value.hi, stream);
}

// The part of a run a loop covers: all of it, or (with pairs of blocks) only
// the pairs, or only the rest after them (one block, then single options).
// A kernel that takes pairs runs the two parts as two functions: one body
// holding both takes the compiler several times as long to build.
enum class Part { kWhole, kPairs, kRest };

// The first option of Part P of a run of n.
template <int W, bool Paired, Part P>
KV_INLINE std::ptrdiff_t PartStart(std::ptrdiff_t n) {
  return Paired && P == Part::kRest ? n - n % (2 * W) : 0;
}

// body(x, e) for the terms x of each pair of blocks of W options starting at
// e (if Paired), then of each block, then of each remaining option.
template <int W, Model M, bool Paired = false, Part P = Part::kWhole, class Body>
KV_INLINE void ForEachBlock(const Inputs& in, std::ptrdiff_t n, Body&& body) {
  std::ptrdiff_t e = PartStart<W, Paired, P>(n);
  if constexpr (Paired && P != Part::kRest) {
    for (; e + 2 * W <= n; e += 2 * W) {
      auto x = MakeTerms<M>(LoadPairSigns<W>(in, e), LoadPair<W>(in, 1, e), LoadPair<W>(in, 2, e),
                            LoadPair<W>(in, 3, e), LoadPair<W>(in, 4, e), LoadPair<W>(in, 5, e),
                            LoadPair<W>(in, 6, e));
      body(x, e);
    }
  }
  if constexpr (P != Part::kPairs) {
    for (; e + W <= n; e += W) {
      auto x = MakeTerms<M>(LoadSigns<W>(in, e), LoadLanes<W>(in, 1, e), LoadLanes<W>(in, 2, e),
                            LoadLanes<W>(in, 3, e), LoadLanes<W>(in, 4, e), LoadLanes<W>(in, 5, e),
                            LoadLanes<W>(in, 6, e));
      body(x, e);
    }
    for (; e < n; ++e) {
      auto x = MakeTerms<M>(LoadSign(in, e), Load(in, 1, e), Load(in, 2, e), Load(in, 3, e),
                            Load(in, 4, e), Load(in, 5, e), Load(in, 6, e));
      body(x, e);
    }
  }
}

// Whether the run's kind and rates are one for all its options (flag, r and
// q of stride 0, as in every _array call).
KV_INLINE bool SharedKindAndRates(const Inputs& in) {
  return in.stride[0] == 0 && in.stride[4] == 0 && in.stride[6] == 0;
}

// ForEachBlock for a run of SharedKindAndRates: w, r and q stay doubles, as
// in a scalar call, so that the routines take the shortcuts one kind allows
// (a call's formula alone, not both kinds' blended) and no rate is spread
// over lanes. The same operations on every lane: the same doubles. X, K, t
// and sigma must be contiguous (greeks_shared.cpp copies them where they are
// not): each block of them is one load, with no test of its stride.
template <int W, Model M, bool Paired = false, Part P = Part::kWhole, class Body>
KV_INLINE void ForEachSharedBlock(const Inputs& in, std::ptrdiff_t n, Body&& body) {
  const double w = LoadSign(in, 0), r = Load(in, 4, 0), q = Load(in, 6, 0);
  const auto block = [&](int k, std::ptrdiff_t at) KV_INLINE_LAMBDA {
    return ::kv::LoadLanes<W>(in.data[k] + at * std::ptrdiff_t{sizeof(double)});
  };
  const auto pair = [&](int k, std::ptrdiff_t at)
                        KV_INLINE_LAMBDA { return LanePair<W>{block(k, at), block(k, at + W)}; };
  std::ptrdiff_t e = PartStart<W, Paired, P>(n);
  if constexpr (Paired && P != Part::kRest) {
    for (; e + 2 * W <= n; e += 2 * W) {
      auto x = MakeTerms<M>(w, pair(1, e), pair(2, e), pair(3, e), r, pair(5, e), q);
      body(x, e);
    }
  }
  if constexpr (P != Part::kPairs) {
    for (; e + W <= n; e += W) {
      auto x = MakeTerms<M>(w, block(1, e), block(2, e), block(3, e), r, block(5, e), q);
      body(x, e);
    }
    for (; e < n; ++e) {
      auto x =
          MakeTerms<M>(w, Load(in, 1, e), Load(in, 2, e), Load(in, 3, e), r, Load(in, 5, e), q);
      body(x, e);
    }
  }
}

// Three compositions of the same routines. One quantity: known at compile
// time, on pairs of blocks where the target gains by them, in two forms: for
// runs of one kind and shared rates (every _array call, and such books) and
// for any run. All sixteen: evaluated in a fixed order, so the
// compiler sees every shared term's uses at once. Any other list: each
// quantity chosen per block, each shared term taken on first use. These two
// hold many values per block already: pairs of blocks would spill them.
template <int W, Model M, class Q, bool Shared, Part P = Part::kWhole>
KV_INLINE void GreeksOne(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at,
                         std::ptrdiff_t n) {
  double* out = job.outs[0] + at;
  const auto body = [&](auto& x, std::ptrdiff_t e)
                        KV_INLINE_LAMBDA { Store(out + e, Q::Of(x), job.stream); };
  if constexpr (Shared) {
    ForEachSharedBlock<W, M, kPairBlocks<W>, P>(in, n, body);
  } else {
    ForEachBlock<W, M, kPairBlocks<W>, P>(in, n, body);
  }
}

// Calls kernel(Part) for each part of a run of one quantity: the pairs and
// the rest as two functions where the target takes pairs (Part above).
template <int W, class F>
KV_INLINE void ForEachPart(F&& kernel) {
  if constexpr (kPairBlocks<W>) {
    kernel.template operator()<Part::kPairs>();
    kernel.template operator()<Part::kRest>();
  } else {
    kernel.template operator()<Part::kWhole>();
  }
}

// job.all: the quantities are the sixteen in some order, each once, so each
// value is stored as soon as it is formed, into its own output.
template <int W, Model M>
KV_INLINE void GreeksAll(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at,
                         std::ptrdiff_t n) {
  double* out_of[kQuantityCount];
  for (int k = 0; k < kQuantityCount; ++k) out_of[job.quantities[k]] = job.outs[k] + at;
  ForEachBlock<W, M>(in, n, [&](auto& x, std::ptrdiff_t e) KV_INLINE_LAMBDA {
    ForEachQuantity([&](int i, auto q)
                        KV_INLINE_LAMBDA { Store(out_of[i] + e, decltype(q)::Of(x), job.stream); });
  });
}

template <int W, Model M>
KV_INLINE void GreeksAny(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at,
                         std::ptrdiff_t n) {
  ForEachBlock<W, M>(in, n, [&](auto& x, std::ptrdiff_t e) KV_INLINE_LAMBDA {
    for (int k = 0; k < job.count; ++k) {
      Store(job.outs[k] + at + e, Evaluate(job.quantities[k], x), job.stream);
    }
  });
}

// f.template operator()<M>() for the job's model M.
template <class F>
KV_INLINE void WithModel(Model model, F&& f) {
  switch (model) {
#define KV_MODEL_CASE(name, Enum, ...) \
  case Model::Enum:                    \
    return f.template operator()<Model::Enum>();
    KV_ALL_MODELS(KV_MODEL_CASE)
#undef KV_MODEL_CASE
  }
}

// The model whose Greeks kernels serve a model's runs. Black-Scholes is
// Black-Scholes-Merton with q = 0 (MakeTerms): the same operations on the
// same values, so the same doubles. Its runs take that model's kernels with
// a q of 0 shared by the run (GreeksInputs), which spares the compiler a
// third of the Greeks kernels.
constexpr Model GreeksModel(Model model) {
  return model == Model::Bs ? Model::Bsm : model;
}

inline constexpr double kNoYield = 0.0;

// A run's inputs as the kernels of GreeksModel(model) take them.
inline Inputs GreeksInputs(Model model, const Inputs& given) {
  Inputs in = given;
  if (model == Model::Bs) {
    in.data[6] = reinterpret_cast<const char*>(&kNoYield);
    in.stride[6] = 0;
  }
  return in;
}

// f.template operator()<GreeksModel(M)>() for the job's model M.
template <class F>
KV_INLINE void WithGreeksModel(Model model, F&& f) {
  WithModel(model, [&]<Model M>() KV_INLINE_LAMBDA { f.template operator()<GreeksModel(M)>(); });
}

}  // namespace detail

// The entry points of each target's kernel units, each unit compiled on its
// own so that the compiler builds them side by side: a job of one quantity
// (greeks_one.cpp, which hands runs of one kind and shared rates on to
// greeks_shared.cpp), any job of Greeks (greeks_many.cpp, which hands a job
// of one quantity on), implied volatilities (iv_kernels.cpp). Greeks is the
// entry of every job of Greeks; the two it hands jobs on to take inputs
// already as GreeksInputs gives them.
void GreeksOne(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n);
void GreeksOneShared(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n);
void Greeks(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n);
void ImpliedVol(const IvJob& job, const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n);
// Whether this target's kernels take the vector exp and log (block_math.hpp).
bool UsesVectorMath();

}  // namespace simd_kernels
KV_TARGET_END
