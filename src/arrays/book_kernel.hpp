#pragma once

// The whole-book kernels: one pass over a run of options computes any list of
// the sixteen quantities (price and the fifteen Greeks), or their implied
// volatilities. Every input is read through its own byte stride (0 for one
// value shared by the run) and may change from option to option: the kind
// (call or put), the rates, everything. Blocks of W options run on Lanes<W>,
// the rest one at a time, through the same routines as the scalar functions,
// so every element is that function's double for its inputs.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "../iv/block_solver.hpp"
#include "../iv/implied_vol.hpp"
#include "../iv/rational.hpp"
#include "../models/greeks.hpp"
#include "../models/lane_pair.hpp"
#include "../models/target.hpp"
#include "book_job.hpp"

KV_TARGET_BEGIN
namespace book_kernel {

using kv::book::GreeksJob;
using kv::book::Inputs;
using kv::book::IvJob;
using kv::book::kInputs;
using kv::book::kQuantityCount;
using kv::book::Model;

namespace detail {

// Unaligned-safe loads: a strided view may start anywhere.
[[gnu::always_inline]] inline double Load(const Inputs& in, int k, std::ptrdiff_t e) {
  double v;
  std::memcpy(&v, in.data[k] + e * in.stride[k], sizeof v);
  return v;
}
[[gnu::always_inline]] inline double LoadSign(const Inputs& in, std::ptrdiff_t e) {
  return in.data[0][e * in.stride[0]] != 0 ? 1.0 : -1.0;
}
// A block of input k: one load for a contiguous input, one value for a
// broadcast one, lane by lane otherwise. The strides are the same for every
// block of a run, so the branches are always predicted.
template <int W>
[[gnu::always_inline]] inline Lanes<W> LoadLanes(const Inputs& in, int k, std::ptrdiff_t e) {
  if (in.stride[k] == sizeof(double)) return ::kv::LoadLanes<W>(in.data[k] + e * in.stride[k]);
  if (in.stride[k] == 0) return PerLane<W>(Load(in, k, 0));
  return FromLanes<W>([&](int j) { return Load(in, k, e + j); });
}
// The signs of a block: contiguous flag bytes are widened and compared as one
// vector, not lane by lane.
template <int W>
[[gnu::always_inline]] inline Lanes<W> LoadSigns(const Inputs& in, std::ptrdiff_t e) {
  using Vec = typename Lanes<W>::Vec;
  using Mask = typename Lanes<W>::Mask;
  typedef std::uint8_t Bytes __attribute__((vector_size(W)));
  if (in.stride[0] == 0) return PerLane<W>(LoadSign(in, 0));
  if (in.stride[0] == 1) {
    Bytes flags;
    std::memcpy(&flags, in.data[0] + e, sizeof flags);
    const Mask call = __builtin_convertvector(flags, Mask) != 0;
    return {call ? Vec{} + 1.0 : Vec{} - 1.0};
  }
  return FromLanes<W>([&](int j) { return LoadSign(in, e + j); });
}

// Black-Scholes is the spot model with q = 0.0; Black-76 ignores q.
template <Model M, class T, class P>
[[gnu::always_inline]] inline auto MakeTerms(P w, T X, T K, T t, P r, T sigma, P q) {
  if constexpr (M == Model::Black76) {
    return ForwardModel::Make<T, P>(w, X, K, t, r, sigma, q);
  } else {
    return SpotModel::Make<T, P>(w, X, K, t, r, sigma, M == Model::Bs ? P{} : q);
  }
}

// Calls f(Q{}) for the quantity of index i.
template <class F>
[[gnu::always_inline]] inline auto WithQuantity(int i, F&& f) {
  using namespace greeks;
  switch (i) {
#define KV_QUANTITY_CASE(name, Routine) \
  case kv::book::Index::name:           \
    return f(Routine{});
    KV_ALL_QUANTITIES(KV_QUANTITY_CASE)
#undef KV_QUANTITY_CASE
    default:
      return f(Price{});  // never: the module checks every index
  }
}

// Calls f(i, Q{}) for every quantity, in index order.
template <class F>
[[gnu::always_inline]] inline void ForEachQuantity(F&& f) {
  using namespace greeks;
#define KV_QUANTITY_CALL(name, Routine) f(kv::book::Index::name, Routine{});
  KV_ALL_QUANTITIES(KV_QUANTITY_CALL)
#undef KV_QUANTITY_CALL
}

template <class X>
[[gnu::always_inline]] inline auto Evaluate(int quantity, X& x) {
  return WithQuantity(quantity,
                      [&](auto q) __attribute__((always_inline)) { return decltype(q)::Of(x); });
}

[[gnu::always_inline]] inline void Store(double* out, double value) {
  *out = WithCanonicalNaN(value);
}
template <int W>
[[gnu::always_inline]] inline void Store(double* out, const Lanes<W>& value) {
  const Lanes<W> stored = WithCanonicalNaN(value);
  std::memcpy(out, &stored.v, sizeof stored.v);
}

// Where the job's outputs are too large to stay in the caches (job.stream),
// a block at its own width's boundary is written past them: the stores then
// neither read the memory they overwrite nor evict the inputs.
template <int W>
[[gnu::always_inline]] inline void Store(double* out, const Lanes<W>& value, bool stream) {
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
[[gnu::always_inline]] inline void Store(double* out, double value, bool) {
  Store(out, value);
}

// Streamed stores are ordered before anything the caller does next.
[[gnu::always_inline]] inline void EndStreaming(const GreeksJob& job) {
#if defined(__SSE2__)
  if (job.stream) _mm_sfence();
#else
  (void)job;
#endif
}

template <int W>
[[gnu::always_inline]] inline LanePair<W> LoadPair(const Inputs& in, int k, std::ptrdiff_t e) {
  return {LoadLanes<W>(in, k, e), LoadLanes<W>(in, k, e + W)};
}
template <int W>
[[gnu::always_inline]] inline LanePair<W> LoadPairSigns(const Inputs& in, std::ptrdiff_t e) {
  return {LoadSigns<W>(in, e), LoadSigns<W>(in, e + W)};
}
template <int W>
[[gnu::always_inline]] inline void Store(double* out, const LanePair<W>& value, bool stream) {
  Store(out, value.lo, stream);
  Store(out + W, value.hi, stream);
}

// body(x, e) for the terms x of each pair of blocks of W options starting at
// e (if Paired), then of each block, then of each remaining option.
template <int W, Model M, bool Paired = false, class Body>
[[gnu::always_inline]] inline void ForEachBlock(const Inputs& in, std::ptrdiff_t n, Body&& body) {
  std::ptrdiff_t e = 0;
  if constexpr (Paired) {
    for (; e + 2 * W <= n; e += 2 * W) {
      auto x = MakeTerms<M>(LoadPairSigns<W>(in, e), LoadPair<W>(in, 1, e), LoadPair<W>(in, 2, e),
                            LoadPair<W>(in, 3, e), LoadPair<W>(in, 4, e), LoadPair<W>(in, 5, e),
                            LoadPair<W>(in, 6, e));
      body(x, e);
    }
  }
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

// Three compositions of the same routines. One quantity: known at compile
// time, and run like an _array kernel, on pairs of blocks where the target
// gains by them. All sixteen: evaluated in a fixed order, so the
// compiler sees every shared term's uses at once. Any other list: each
// quantity chosen per block, each shared term taken on first use. These two
// hold many values per block already: pairs of blocks would spill them.
template <int W, Model M, class Q>
[[gnu::always_inline]] inline void GreeksOne(const GreeksJob& job, const Inputs& in,
                                             std::ptrdiff_t at, std::ptrdiff_t n) {
  double* out = job.outs[0] + at;
  ForEachBlock<W, M, kPairBlocks<W>>(in, n,
                                     [&](auto& x, std::ptrdiff_t e) __attribute__((always_inline)) {
                                       Store(out + e, Q::Of(x), job.stream);
                                     });
}

// job.all: the quantities are the sixteen in some order, each once, so each
// value is stored as soon as it is formed, into its own output.
template <int W, Model M>
[[gnu::always_inline]] inline void GreeksAll(const GreeksJob& job, const Inputs& in,
                                             std::ptrdiff_t at, std::ptrdiff_t n) {
  double* out_of[kQuantityCount];
  for (int k = 0; k < kQuantityCount; ++k) out_of[job.quantities[k]] = job.outs[k] + at;
  ForEachBlock<W, M>(in, n, [&](auto& x, std::ptrdiff_t e) __attribute__((always_inline)) {
    ForEachQuantity([&](int i, auto q) __attribute__((always_inline)) {
      Store(out_of[i] + e, decltype(q)::Of(x), job.stream);
    });
  });
}

template <int W, Model M>
[[gnu::always_inline]] inline void GreeksAny(const GreeksJob& job, const Inputs& in,
                                             std::ptrdiff_t at, std::ptrdiff_t n) {
  ForEachBlock<W, M>(in, n, [&](auto& x, std::ptrdiff_t e) __attribute__((always_inline)) {
    for (int k = 0; k < job.count; ++k) {
      Store(job.outs[k] + at + e, Evaluate(job.quantities[k], x), job.stream);
    }
  });
}

// An expired option (t <= 0) has no volatility. Its problem is stated with a
// NaN price, which the solver turns away before any model price; the element
// is then reported as expired. A NaN t stays a NaN input.
[[gnu::always_inline]] inline double Unexpired(double price, double t) {
  return t <= 0.0 ? __builtin_nan("") : price;
}
template <int W>
[[gnu::always_inline]] inline Lanes<W> Unexpired(const Lanes<W>& price, const Lanes<W>& t) {
  return {t.v <= 0.0 ? typename Lanes<W>::Vec{} + __builtin_nan("") : price.v};
}

// The forward problem of element e, as the scalar function states it (with
// the price of an expired option made NaN for the specified solver; the
// rational one reports expiry itself).
template <Model M, bool kHideExpired = true>
[[gnu::always_inline]] inline IvInputs IvProblem(OptionKind kind, const Inputs& in,
                                                 std::ptrdiff_t e) {
  const double t = Load(in, 4, e), r = Load(in, 5, e);
  const double raw = Load(in, 1, e);
  const double price = kHideExpired ? Unexpired(raw, t) : raw;
  const double X = Load(in, 2, e), K = Load(in, 3, e);
  if constexpr (M == Model::Black76) {
    return Black76IvInputs(kind, price, X, K, t, r);
  } else {
    return BsmIvInputs(kind, price, X, K, t, r, M == Model::Bs ? 0.0 : Load(in, 6, e));
  }
}

// The same for elements e .. e+W-1. The option kind is not part of the
// forward problem: the signs travel beside it.
template <int W, Model M, bool kHideExpired = true>
[[gnu::always_inline]] inline IvBlockInputs<W> IvProblems(const Inputs& in, std::ptrdiff_t e) {
  const Lanes<W> t = LoadLanes<W>(in, 4, e), r = LoadLanes<W>(in, 5, e);
  const Lanes<W> raw = LoadLanes<W>(in, 1, e);
  const Lanes<W> price = kHideExpired ? Unexpired(raw, t) : raw, X = LoadLanes<W>(in, 2, e);
  const Lanes<W> K = LoadLanes<W>(in, 3, e);
  if constexpr (M == Model::Black76) {
    return Black76IvInputs(OptionKind::Call, price, X, K, t, r);
  } else if constexpr (M == Model::Bs) {
    return BsmIvInputs(OptionKind::Call, price, X, K, t, r, PerLane<W>(0.0));
  } else {
    return BsmIvInputs(OptionKind::Call, price, X, K, t, r, LoadLanes<W>(in, 6, e));
  }
}

template <int W, Model M>
[[gnu::always_inline]] inline void IvRun(const IvJob& job, const Inputs& in, std::ptrdiff_t at,
                                         std::ptrdiff_t n) {
  double* out = job.out + at;
  std::int8_t* status = job.status != nullptr ? job.status + at : nullptr;
  SolveBlocks<W>(
      n,
      [&](std::ptrdiff_t e, Lanes<W>& w) {
        w = LoadSigns<W>(in, e);
        return IvProblems<W, M>(in, e);
      },
      [&](std::ptrdiff_t e, double& w) {
        const OptionKind kind =
            in.data[0][e * in.stride[0]] != 0 ? OptionKind::Call : OptionKind::Put;
        w = Sign(kind);
        return IvProblem<M>(kind, in, e);
      },
      [&](std::ptrdiff_t e, double value, IvStatus reason) {
        out[e] = value;
        if (status == nullptr) return;
        if (reason == IvStatus::NanInput && Load(in, 4, e) <= 0.0) reason = IvStatus::Expired;
        status[e] = static_cast<std::int8_t>(reason);
      });
}

// The rational solver over the same forward problems: blocks of W options
// through its vector form, the rest one at a time through its scalar form,
// each lane the scalar's double.
template <Model M>
[[gnu::always_inline]] inline rational::Solution<double> RationalOne(const Inputs& in,
                                                                     std::ptrdiff_t e) {
  const IvInputs p = IvProblem<M, false>(OptionKind::Call, in, e);
  return rational::Solve<double>(LoadSign(in, e), p.price, p.F, p.K, p.t, p.r);
}

template <int W, Model M>
[[gnu::always_inline]] inline void IvRationalRun(const IvJob& job, const Inputs& in,
                                                 std::ptrdiff_t at, std::ptrdiff_t n) {
  double* out = job.out + at;
  std::int8_t* status = job.status != nullptr ? job.status + at : nullptr;
  std::ptrdiff_t e = 0;
  for (; e + W <= n; e += W) {
    const Lanes<W> w = LoadSigns<W>(in, e);
    const IvBlockInputs<W> p = IvProblems<W, M, false>(in, e);
    const auto s = rational::Solve(w.v, p.price.v, p.F.v, p.K.v, p.t.v, p.r.v);
    Store(out + e, Lanes<W>{s.sigma});
    if (status != nullptr) {
      for (int j = 0; j < W; ++j) status[e + j] = static_cast<std::int8_t>(s.status[j]);
    }
  }
  for (; e < n; ++e) {
    const auto s = RationalOne<M>(in, e);
    Store(out + e, s.sigma);
    if (status != nullptr) status[e] = static_cast<std::int8_t>(s.status);
  }
}

// f.template operator()<M>() for the job's model M.
template <class F>
[[gnu::always_inline]] inline void WithModel(Model model, F&& f) {
  switch (model) {
    case Model::Bs:
      return f.template operator()<Model::Bs>();
    case Model::Bsm:
      return f.template operator()<Model::Bsm>();
    case Model::Black76:
      return f.template operator()<Model::Black76>();
  }
}

}  // namespace detail

// A job of one quantity (book_kernels_one.cpp): its own unit, so that the
// compiler builds the one-quantity and the many-quantity kernels side by side.
void GreeksOneRow(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n);

}  // namespace book_kernel
KV_TARGET_END
