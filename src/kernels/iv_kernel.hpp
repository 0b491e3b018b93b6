#pragma once

// The implied-volatility kernels (iv_kernels.cpp): Newton's solver and the
// rational one over runs of options read like the Greeks (kernel.hpp), each
// element the scalar solver's double and status for its inputs.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "../iv/block_solver.hpp"
#include "../iv/implied_vol.hpp"
#include "../iv/rational.hpp"
#include "kernel.hpp"

KV_TARGET_BEGIN
namespace simd_kernels {
namespace detail {

// An expired option (t <= 0) has no volatility. Its problem is stated with a
// NaN price, which the solver turns away before any model price; the element
// is then reported as expired. A NaN t stays a NaN input.
KV_INLINE double Unexpired(double price, double t) {
  return t <= 0.0 ? __builtin_nan("") : price;
}
template <int W>
KV_INLINE Lanes<W> Unexpired(const Lanes<W>& price, const Lanes<W>& t) {
  return {t.v <= 0.0 ? typename Lanes<W>::Vec{} + __builtin_nan("") : price.v};
}

// The forward problem of element e, as the scalar function states it (with
// the price of an expired option made NaN for Newton's solver where the job
// asks for the whole-book rule; the rational one reports expiry itself).
template <Model M>
KV_INLINE IvInputs IvProblem(OptionKind kind, const Inputs& in, std::ptrdiff_t e,
                             bool hide_expired) {
  const double t = Load(in, 4, e), r = Load(in, 5, e);
  const double raw = Load(in, 1, e);
  const double price = hide_expired ? Unexpired(raw, t) : raw;
  const double X = Load(in, 2, e), K = Load(in, 3, e);
  if constexpr (M == Model::Black76) {
    return Black76IvInputs(kind, price, X, K, t, r);
  } else {
    return BsmIvInputs(kind, price, X, K, t, r, M == Model::Bs ? 0.0 : Load(in, 6, e));
  }
}

// The same for W elements, input k of them as load(k) gives it. The option
// kind is not part of the forward problem: the signs travel beside it.
template <int W, Model M, class Load>
KV_INLINE IvBlockInputs<W> IvProblemsOf(const Load& load, bool hide_expired) {
  const Lanes<W> t = load(4), r = load(5);
  const Lanes<W> raw = load(1);
  const Lanes<W> price = hide_expired ? Unexpired(raw, t) : raw, X = load(2);
  const Lanes<W> K = load(3);
  if constexpr (M == Model::Black76) {
    return Black76IvInputs(OptionKind::Call, price, X, K, t, r);
  } else if constexpr (M == Model::Bs) {
    return BsmIvInputs(OptionKind::Call, price, X, K, t, r, PerLane<W>(0.0));
  } else {
    return BsmIvInputs(OptionKind::Call, price, X, K, t, r, load(6));
  }
}

// Elements e .. e+W-1.
template <int W, Model M>
KV_INLINE IvBlockInputs<W> IvProblems(const Inputs& in, std::ptrdiff_t e, bool hide_expired) {
  return IvProblemsOf<W, M>([&](int k) KV_INLINE_LAMBDA { return LoadLanes<W>(in, k, e); },
                            hide_expired);
}

template <int W, Model M>
KV_INLINE void IvRun(const IvJob& job, const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n) {
  double* out = job.out + at;
  std::int8_t* status = job.status != nullptr ? job.status + at : nullptr;
  SolveBlocks<W>(
      n,
      [&](std::ptrdiff_t e, Lanes<W>& w) {
        w = LoadSigns<W>(in, e);
        return IvProblems<W, M>(in, e, job.expired_is_nan);
      },
      [&](std::ptrdiff_t e, double& w) {
        const OptionKind kind =
            in.data[0][e * in.stride[0]] != 0 ? OptionKind::Call : OptionKind::Put;
        w = Sign(kind);
        return IvProblem<M>(kind, in, e, job.expired_is_nan);
      },
      [&](std::ptrdiff_t e, double value, IvStatus reason) {
        out[e] = value;
        if (status == nullptr) return;
        if (job.expired_is_nan && reason == IvStatus::NanInput && Load(in, 4, e) <= 0.0) {
          reason = IvStatus::Expired;
        }
        status[e] = static_cast<std::int8_t>(reason);
      });
}

// The rational solver over the same forward problems: blocks of W options
// through its vector form, the rest one at a time through its scalar form,
// each lane the scalar's double.
template <Model M>
KV_INLINE rational::Solution<double> RationalOne(const Inputs& in, std::ptrdiff_t e) {
  const IvInputs p = IvProblem<M>(OptionKind::Call, in, e, false);
  return rational::Solve<double>(LoadSign(in, e), p.price, p.F, p.K, p.t, p.r);
}

template <int W, Model M>
KV_INLINE void RationalBlocks(const Inputs& in, std::ptrdiff_t n, double* out,
                              std::int8_t* status) {
  std::ptrdiff_t e = 0;
  for (; e + W <= n; e += W) {
    const Lanes<W> w = LoadSigns<W>(in, e);
    const IvBlockInputs<W> p = IvProblems<W, M>(in, e, false);
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

// The rational solver's lanes diverge where their options take different
// branches and regions, and a block pays for all it meets. So a run is solved
// in chunks whose options are first ordered by their expected path
// (rational::PathKey, a counting sort), each block filled from the options at
// its positions in that order and each result written to its own element.
// The order changes no result: every lane is the scalar's double whatever its
// neighbours. The chunk's keys and order live on the stack (a few KB).
inline constexpr int kPathChunk = 512;
inline constexpr std::ptrdiff_t kMinPathSort = 64;  // shorter runs gain nothing
inline constexpr int kInFlight = 2;

template <int W, Model M>
KV_INLINE void PathKeys(const Inputs& in, int n, std::uint8_t* key) {
  const rational::PathTable& table = rational::PathThresholds();
  int e = 0;
  for (; e + W <= n; e += W) {
    const auto t = LoadLanes<W>(in, 4, e).v, r = LoadLanes<W>(in, 5, e).v;
    auto F = LoadLanes<W>(in, 2, e).v;
    if constexpr (M != Model::Black76) {  // the forward of the spot, roughly
      F *= rational::RoughExp(M == Model::Bsm ? t * (r - LoadLanes<W>(in, 6, e).v) : t * r);
    }
    typename Lanes<W>::Vec z, log_share;
    rational::PathCoordinates(LoadSigns<W>(in, e).v, LoadLanes<W>(in, 1, e).v, F,
                              LoadLanes<W>(in, 3, e).v, t, r, z, log_share);
    const auto k =
        __builtin_convertvector(rational::PathKey(table, z, log_share), typename Lanes<W>::Index);
    for (int j = 0; j < W; ++j) key[e + j] = static_cast<std::uint8_t>(k[j]);
  }
  for (; e < n; ++e) {
    const IvInputs p = IvProblem<M>(OptionKind::Call, in, e, false);
    double z, log_share;
    rational::PathCoordinates(LoadSign(in, e), p.price, p.F, p.K, p.t, p.r, z, log_share);
    key[e] = static_cast<std::uint8_t>(rational::PathKey(table, z, log_share));
  }
}

// Input k of the elements `at` as a block (a shared input is one value).
template <int W>
KV_INLINE Lanes<W> LoadAt(const Inputs& in, int k, const std::uint16_t* at) {
  if (in.stride[k] == 0) return PerLane<W>(Load(in, k, 0));
  return FromLanes<W>([&](int j) { return Load(in, k, at[j]); });
}

// The signs of the elements `at`: their flag bytes gathered, then taken as
// one vector (SignsOfFlags; the path order sorts by neither calls nor puts).
template <int W>
KV_INLINE Lanes<W> SignsAt(const Inputs& in, const std::uint16_t* at) {
  if (in.stride[0] == 0) return PerLane<W>(LoadSign(in, 0));
  char bytes[W];
  for (int i = 0; i < W; ++i) bytes[i] = in.data[0][at[i] * in.stride[0]];
  return SignsOfFlags<W>(bytes);
}

// The forward problems of the elements `at`, as IvProblems states them.
template <int W, Model M>
KV_INLINE IvBlockInputs<W> IvProblemsAt(const Inputs& in, const std::uint16_t* at) {
  return IvProblemsOf<W, M>([&](int k) KV_INLINE_LAMBDA { return LoadAt<W>(in, k, at); }, false);
}

// Elements [0, n) of `in`, n <= kPathChunk, in path order.
template <int W, Model M>
KV_INLINE void RationalInPathOrder(const Inputs& in, int n, double* out, std::int8_t* status) {
  std::uint8_t key[kPathChunk];
  std::uint16_t order[kPathChunk];  // the element at each position
  PathKeys<W, M>(in, n, key);
  int start[rational::kPathKeys + 1] = {};
  for (int e = 0; e < n; ++e) ++start[key[e] + 1];
  for (int k = 0; k < rational::kPathKeys; ++k) start[k + 1] += start[k];
  for (int e = 0; e < n; ++e) order[start[key[e]]++] = static_cast<std::uint16_t>(e);
  // kInFlight blocks at a time, stage by stage (rational::Solve): each stage
  // of a block is one long dependent chain, and the other blocks' stages
  // beside it give the processor independent work to overlap with it.
  using Vec = typename Lanes<W>::Vec;
  const auto solve = [&]<int Count>(int j) {
    rational::SolveState<Vec> problems[Count];
    for (int b = 0; b < Count; ++b) {
      const std::uint16_t* at = order + j + b * W;
      const Lanes<W> w = SignsAt<W>(in, at);
      const IvBlockInputs<W> p = IvProblemsAt<W, M>(in, at);
      rational::Begin(problems[b], w.v, p.price.v, p.F.v, p.K.v, p.t.v, p.r.v);
    }
    rational::Solve(problems);
    for (int b = 0; b < Count; ++b) {
      const std::uint16_t* at = order + j + b * W;
      const auto s = rational::End(problems[b]);
      const Lanes<W> sigma = WithCanonicalNaN(Lanes<W>{s.sigma});
      for (int i = 0; i < W; ++i) out[at[i]] = sigma[i];
      if (status == nullptr) continue;
      for (int i = 0; i < W; ++i) status[at[i]] = static_cast<std::int8_t>(s.status[i]);
    }
  };
  int j = 0;
  for (; j + kInFlight * W <= n; j += kInFlight * W) solve.template operator()<kInFlight>(j);
  for (; j + W <= n; j += W) solve.template operator()<1>(j);
  for (; j < n; ++j) {
    const auto s = RationalOne<M>(in, order[j]);
    Store(out + order[j], s.sigma);
    if (status != nullptr) status[order[j]] = static_cast<std::int8_t>(s.status);
  }
}

template <int W, Model M>
KV_INLINE void IvRationalRun(const IvJob& job, const Inputs& in, std::ptrdiff_t at,
                             std::ptrdiff_t n) {
  double* out = job.out + at;
  std::int8_t* status = job.status != nullptr ? job.status + at : nullptr;
  if (n < kMinPathSort) {
    RationalBlocks<W, M>(in, n, out, status);
    return;
  }
  for (std::ptrdiff_t c = 0; c < n; c += kPathChunk) {
    Inputs chunk = in;
    for (int k = 0; k < kInputs; ++k) chunk.data[k] += c * in.stride[k];
    RationalInPathOrder<W, M>(chunk, static_cast<int>(std::min<std::ptrdiff_t>(kPathChunk, n - c)),
                              out + c, status != nullptr ? status + c : nullptr);
  }
}

}  // namespace detail
}  // namespace simd_kernels
KV_TARGET_END
