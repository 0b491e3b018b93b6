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
#include "../models/greeks.hpp"

namespace kv::book {

enum class Model : int { Bs = 0, Bsm = 1, Black76 = 2 };

// The quantities in their canonical order; a job names them by index.
inline constexpr int kQuantityCount = 16;

// A run's inputs, each a first element and a byte stride. Greeks read
// (flag, X, K, t, r, sigma, q); implied volatilities (flag, price, X, K, t, r, q).
// flag is one byte per option, nonzero for a call; the rest are doubles.
inline constexpr int kInputs = 7;
struct Inputs {
  const char* data[kInputs];
  std::ptrdiff_t stride[kInputs];
};

struct GreeksJob {
  Model model;
  int count;              // entries of quantities and outs
  const int* quantities;  // each in [0, kQuantityCount)
  double* const* outs;    // C-contiguous outputs, indexed by flat element
};

struct IvJob {
  Model model;
  double* out;
  std::int8_t* status;  // may be null
};

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
template <int W>
[[gnu::always_inline]] inline Lanes<W> LoadLanes(const Inputs& in, int k, std::ptrdiff_t e) {
  return FromLanes<W>([&](int j) { return Load(in, k, e + j); });
}
template <int W>
[[gnu::always_inline]] inline Lanes<W> LoadSigns(const Inputs& in, std::ptrdiff_t e) {
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

template <class X>
[[gnu::always_inline]] inline auto Evaluate(int quantity, X& x) {
  using namespace greeks;
  switch (quantity) {
    case 0:
      return Price::Of(x);
    case 1:
      return Delta::Of(x);
    case 2:
      return Gamma::Of(x);
    case 3:
      return Vega::Of(x);
    case 4:
      return Theta::Of(x);
    case 5:
      return Rho::Of(x);
    case 6:
      return Vanna::Of(x);
    case 7:
      return Charm::Of(x);
    case 8:
      return Vomma::Of(x);
    case 9:
      return Speed::Of(x);
    case 10:
      return Zomma::Of(x);
    case 11:
      return Color::Of(x);
    case 12:
      return Veta::Of(x);
    case 13:
      return Ultima::Of(x);
    case 14:
      return DualDelta::Of(x);
    default:
      return DualGamma::Of(x);
  }
}

template <int W, Model M>
[[gnu::always_inline]] inline void GreeksRun(const GreeksJob& job, const Inputs& in,
                                             std::ptrdiff_t at, std::ptrdiff_t n) {
  std::ptrdiff_t e = 0;
  for (; e + W <= n; e += W) {
    auto x = MakeTerms<M>(LoadSigns<W>(in, e), LoadLanes<W>(in, 1, e), LoadLanes<W>(in, 2, e),
                          LoadLanes<W>(in, 3, e), LoadLanes<W>(in, 4, e), LoadLanes<W>(in, 5, e),
                          LoadLanes<W>(in, 6, e));
    for (int k = 0; k < job.count; ++k) {
      const Lanes<W> value = WithCanonicalNaN(Evaluate(job.quantities[k], x));
      std::memcpy(job.outs[k] + at + e, &value.v, sizeof value.v);
    }
  }
  for (; e < n; ++e) {
    auto x = MakeTerms<M>(LoadSign(in, e), Load(in, 1, e), Load(in, 2, e), Load(in, 3, e),
                          Load(in, 4, e), Load(in, 5, e), Load(in, 6, e));
    for (int k = 0; k < job.count; ++k) {
      job.outs[k][at + e] = WithCanonicalNaN(Evaluate(job.quantities[k], x));
    }
  }
}

// The forward problem of element e, as the scalar function states it.
template <Model M>
[[gnu::always_inline]] inline IvInputs IvProblem(OptionKind kind, const Inputs& in,
                                                 std::ptrdiff_t e) {
  const double price = Load(in, 1, e), X = Load(in, 2, e), K = Load(in, 3, e);
  const double t = Load(in, 4, e), r = Load(in, 5, e);
  if constexpr (M == Model::Black76) {
    return Black76ImpliedVol(kind, price, X, K, t, r);
  } else {
    return BsmImpliedVol(kind, price, X, K, t, r, M == Model::Bs ? 0.0 : Load(in, 6, e));
  }
}

template <int W, Model M>
[[gnu::always_inline]] inline void IvRun(const IvJob& job, const Inputs& in, std::ptrdiff_t at,
                                         std::ptrdiff_t n) {
  double* out = job.out + at;
  std::int8_t* status = job.status != nullptr ? job.status + at : nullptr;
  SolveBlocks<W>(
      n,
      [&](std::ptrdiff_t e, IvSolve& solve) {
        const OptionKind kind =
            in.data[0][e * in.stride[0]] != 0 ? OptionKind::Call : OptionKind::Put;
        return solve.Begin(kind, IvProblem<M>(kind, in, e));
      },
      [&](std::ptrdiff_t e, const IvResult& result) {
        out[e] = IvElement(result);
        if (status != nullptr) status[e] = static_cast<std::int8_t>(result.status);
      });
}

template <int W>
[[gnu::always_inline]] inline void GreeksRunAny(const GreeksJob& job, const Inputs& in,
                                                std::ptrdiff_t at, std::ptrdiff_t n) {
  switch (job.model) {
    case Model::Bs:
      return GreeksRun<W, Model::Bs>(job, in, at, n);
    case Model::Bsm:
      return GreeksRun<W, Model::Bsm>(job, in, at, n);
    case Model::Black76:
      return GreeksRun<W, Model::Black76>(job, in, at, n);
  }
}

template <int W>
[[gnu::always_inline]] inline void IvRunAny(const IvJob& job, const Inputs& in, std::ptrdiff_t at,
                                            std::ptrdiff_t n) {
  switch (job.model) {
    case Model::Bs:
      return IvRun<W, Model::Bs>(job, in, at, n);
    case Model::Bsm:
      return IvRun<W, Model::Bsm>(job, in, at, n);
    case Model::Black76:
      return IvRun<W, Model::Black76>(job, in, at, n);
  }
}

}  // namespace detail

// One run of n options: element e reads every input at e * stride and writes
// element at + e of each output. Compiled per target in book_targets.cpp;
// these pick the widest the processor runs.
void GreeksRow(const GreeksJob& job, const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n);
void IvRow(const IvJob& job, const Inputs& in, std::ptrdiff_t at, std::ptrdiff_t n);

}  // namespace kv::book
