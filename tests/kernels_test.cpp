// Drives the kernels of every SIMD target the processor runs -- not only the
// one the module picks -- over the same inputs, and compares every element
// with the scalar routine bit for bit (every NaN as the default quiet NaN).
// First as each _array function runs them (its arrays contiguous, its flag,
// r and q of stride 0): random options mixed with special values (zeros of
// both signs, infinities, NaN, t = 0, sigma = 0, deep in and out of the
// money, runs of equal expiries) and a sorted strike ladder, at every length
// up to two blocks and a long one, aligned and not. Then as the whole-book
// API runs them: implied volatilities with calls and puts mixed, their status
// codes compared as well, and the Greeks in every composition of quantities.
// Also checks the split exponential's table against the platform's exp.
// Prints one line; exits 1 on any mismatch.

#include <gnu/libc-version.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "../src/american/solver_targets.hpp"
#include "../src/ext_kestrovane/array_kernel.hpp"
#include "../src/ext_kestrovane/function_list.hpp"
#include "../src/ext_kestrovane/shapes.hpp"
#include "../src/iv/block_solver.hpp"
#include "../src/iv/implied_vol.hpp"
#include "../src/iv/rational.hpp"
#include "../src/kernels/active.hpp"

namespace {

using namespace kv;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int kMaxArrays = 4;
constexpr std::ptrdiff_t kLong = 1501;    // a remainder at every block width
constexpr std::ptrdiff_t kShortest = 17;  // lengths 0..17 cover two blocks of 8 and a tail

// A value no kernel writes: a signalling NaN, unlike every result.
constexpr std::uint64_t kUnwritten = 0x7ff4000000dead00;

std::uint64_t Bits(double x) {
  std::uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

double Expected(OptionKind, double value) {
  return WithCanonicalNaN(value);
}
double Expected(OptionKind kind, const IvInputs& inputs) {
  return IvElement(SolveImpliedVol(kind, inputs));
}

// The element loop of one array function, on a target's kernels.
using ArrayKernel = void (*)(const kernels::Kernels& run, OptionKind kind, const double* shared,
                             const char* const* data, double* out, std::ptrdiff_t n);

// One array function: its parameters, its loop and its scalar evaluation of
// element e.
struct ArrayFunction {
  const char* name;
  ArrayKernel kernel;
  int count;
  const char* const* names;
  const Param* kinds;
  double (*scalar)(OptionKind, const double* shared, const std::vector<double>* columns,
                   std::ptrdiff_t e);
};

template <class Shape, class Routine>
double Scalar(OptionKind kind, const double* shared, const std::vector<double>* columns,
              std::ptrdiff_t e) {
  Bound<double, Shape::kCount> one;
  int a = 0;
  for (int i = 0; i < Shape::kCount; ++i) {
    one.shared[i] = shared[i];
    if (Shape::kKinds[i] == Param::PerOption) one.per[i] = columns[a++][e];
  }
  return Expected(kind, Shape::template Evaluate<Routine>(kind, one));
}

#define KV_TEST_ROW(name, Shape, Routine, Enum, quantity)                                  \
  ArrayFunction{                                                                           \
      #name,         &RunArrayKernel<Shape, kernels::Model::Enum, row_quantity::quantity>, \
      Shape::kCount, Shape::kNames,                                                        \
      Shape::kKinds, &Scalar<Shape, routines::name>},
const ArrayFunction kArrayFunctionList[] = {KV_ALL_FUNCTIONS(KV_IGNORE_ROW, KV_TEST_ROW)};
#undef KV_TEST_ROW
static_assert(std::size(kArrayFunctionList) == kArrayFunctions);

class Values {
 public:
  // A random value for the parameter, now and then a special one.
  double Next(const std::string& name, double previous) {
    if (Uniform(0, 1) < 0.08) return Pick({0.0, -0.0, kInf, -kInf, kNaN, 5e-324, 1e300, -1.0});
    if (name == "t") {
      if (Uniform(0, 1) < 0.3) return previous;  // neighbours sharing an expiry
      if (Uniform(0, 1) < 0.3) return Pick({1.0 / 365.0, 0.25, 1.0, 30.0});
      return Uniform(0.001, 3.0);
    }
    if (name == "sigma") return Uniform(0, 1) < 0.05 ? Pick({1e-9, 5.0}) : Uniform(0.01, 1.5);
    // S, F, K: mostly near 100, some deep in or out of the money.
    if (Uniform(0, 1) < 0.05) return Pick({1e-4, 1e4});
    return 100.0 * std::exp(Uniform(-1.0, 1.0));
  }

  double Uniform(double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng_);
  }

 private:
  double Pick(std::initializer_list<double> options) {
    std::uniform_int_distribution<std::size_t> index(0, options.size() - 1);
    return options.begin()[index(rng_)];
  }
  std::mt19937_64 rng_{20240611};
};

// The per-option columns of a row, in parameter order. An implied-volatility
// row's price is mostly a Black-76 price of the other inputs (so that most
// solves converge), else random or special.
std::vector<std::vector<double>> MakeColumns(const ArrayFunction& row, OptionKind kind,
                                             Values& values) {
  std::vector<std::string> names;
  for (int i = 0; i < row.count; ++i) {
    if (row.kinds[i] == Param::PerOption) names.emplace_back(row.names[i]);
  }
  std::vector<std::vector<double>> columns(names.size(), std::vector<double>(kLong));
  for (std::size_t a = 0; a < names.size(); ++a) {
    double previous = 1.0;
    for (std::ptrdiff_t e = 0; e < kLong; ++e) {
      previous = columns[a][e] = values.Next(names[a], previous);
    }
  }
  // A sorted strike ladder around the money at one expiry, as in an option
  // chain: whole blocks fall in one interval of the normal distribution.
  for (std::ptrdiff_t e = 1000; e < 1400; ++e) {
    for (std::size_t a = 0; a < names.size(); ++a) {
      const std::string& name = names[a];
      if (name == "K") columns[a][e] = 80.0 + 0.1 * static_cast<double>(e - 1000);
      if (name == "S" || name == "F") columns[a][e] = 100.0;
      if (name == "t") columns[a][e] = 0.5;
      if (name == "sigma") columns[a][e] = 0.3;
    }
  }
  if (names[0] == "price") {  // price, S or F, K, t
    for (std::ptrdiff_t e = 0; e < kLong; ++e) {
      const double sigma = values.Uniform(0.05, 1.0);
      const double price =
          Black76<greeks::Price>(kind, columns[1][e], columns[2][e], columns[3][e], 0.0, sigma);
      if (values.Uniform(0, 1) < 0.8) columns[0][e] = price;
    }
  }
  return columns;
}

struct Tally {
  long elements = 0;
  long mismatches = 0;
};

void Report(const char* target, const ArrayFunction& row, OptionKind kind, const double* rates,
            std::ptrdiff_t n, std::ptrdiff_t e, double got, double want) {
  std::printf("MISMATCH %s %s %s r=%g q=%g n=%td element %td: got %016llx, scalar %016llx\n",
              target, row.name, kind == OptionKind::Call ? "call" : "put", rates[0], rates[1], n, e,
              static_cast<unsigned long long>(Bits(got)),
              static_cast<unsigned long long>(Bits(want)));
}

// Runs one kernel on the first n elements (read from `offset` bytes into a
// copy of each column) and compares them with the scalar results.
void RunOne(const kernels::Kernels& run, const char* target, const ArrayFunction& row,
            OptionKind kind, const double* rates, const double* shared,
            const std::vector<std::vector<double>>& columns, const std::vector<double>& want,
            std::ptrdiff_t n, int offset, Tally& tally) {
  std::vector<std::vector<char>> copies;
  const char* data[kMaxArrays] = {};
  for (std::size_t a = 0; a < columns.size(); ++a) {
    copies.emplace_back(sizeof(double) * n + offset + 1);  // never empty: data() not null
    std::memcpy(copies[a].data() + offset, columns[a].data(), sizeof(double) * n);
    data[a] = copies[a].data() + offset;
  }
  std::vector<double> out(n + 1);  // the last one must stay unwritten
  for (double& x : out) std::memcpy(&x, &kUnwritten, sizeof x);
  row.kernel(run, kind, shared, data, out.data(), n);
  for (std::ptrdiff_t e = 0; e <= n; ++e) {
    const std::uint64_t expected = e < n ? Bits(want[e]) : kUnwritten;
    if (Bits(out[e]) != expected && tally.mismatches++ < 10)
      Report(target, row, kind, rates, n, e, out[e], std::bit_cast<double>(expected));
  }
  tally.elements += n;
}

// Where the platform's exp and log are glibc's table-driven ones built with
// fused multiply-adds (glibc 2.28 or later, an x86-64 processor with FMA),
// the kernels' own vector exp and log must reproduce them and be in use.
// Should they not, the kernels fall back to the platform's functions, still
// exact (so the comparison below cannot tell) but much slower.
bool VectorMathExpected() {
#if defined(__x86_64__) && defined(__GLIBC__)
  int major = 0, minor = 0;
  std::sscanf(gnu_get_libc_version(), "%d.%d", &major, &minor);
  return __builtin_cpu_supports("fma") && (major > 2 || (major == 2 && minor >= 28));
#else
  return false;
#endif
}

// The whole-book implied volatility of every model on every target: flags
// mixed from option to option, per-option r and q, and prices at and around
// the bounds (zero, exactly intrinsic, just below it, the maximum, beyond it)
// beside model prices and special values. Values and status codes must be the
// scalar solver's, for Newton's solver and the rational one alike.
void RunBookIv(const std::vector<Target>& targets, Values& values, Tally& tally) {
  using kernels::Model;
  constexpr std::ptrdiff_t n = kLong;
  std::vector<char> flag(n);
  std::vector<double> price(n), X(n), K(n), t(n), r(n), q(n);
  double previous = 1.0;
  for (std::ptrdiff_t e = 0; e < n; ++e) {
    flag[e] = values.Uniform(0, 1) < 0.5;
    X[e] = values.Next("S", 1.0);
    K[e] = values.Next("K", 1.0);
    previous = t[e] = values.Next("t", previous);
    r[e] = values.Uniform(0, 1) < 0.02 ? kNaN : values.Uniform(-0.02, 0.08);
    q[e] = values.Uniform(0, 1) < 0.02 ? kNaN : values.Uniform(0.0, 0.05);
    const OptionKind kind = flag[e] ? OptionKind::Call : OptionKind::Put;
    const double intrinsic = std::fmax(flag[e] ? X[e] - K[e] : K[e] - X[e], 0.0);
    const double u = values.Uniform(0, 1);
    if (u < 0.5) {
      price[e] = Black76<greeks::Price>(kind, X[e], K[e], t[e], r[e], values.Uniform(0.01, 2.0));
    } else if (u < 0.6) {  // from tiny prices far out of the money to near the maximum
      const double sigma = std::exp(values.Uniform(std::log(0.002), std::log(20.0)));
      price[e] = Black76<greeks::Price>(kind, X[e], K[e], t[e], r[e], sigma);
    } else if (u < 0.7) {
      price[e] = intrinsic * std::exp(-r[e] * t[e]);
    } else if (u < 0.75) {
      price[e] = intrinsic * 0.999;
    } else if (u < 0.8) {
      price[e] = flag[e] ? X[e] : K[e];
    } else if (u < 0.85) {
      price[e] = (flag[e] ? X[e] : K[e]) * 1.001;
    } else {
      price[e] = values.Next("price", 1.0);
    }
  }
  const double* columns[] = {price.data(), X.data(), K.data(), t.data(), r.data(), q.data()};
  kernels::Inputs in{};
  for (int k = 1; k < kernels::kInputs; ++k) {
    in.data[k] = reinterpret_cast<const char*>(columns[k - 1]);
    in.stride[k] = sizeof(double);
  }
  // The flags contiguous, every other byte, and one shared by the run: the
  // kernels gather a block's signs by their own path for each.
  std::vector<char> spread(2 * n);
  for (std::ptrdiff_t e = 0; e < n; ++e) spread[2 * e] = flag[e];
  for (const std::ptrdiff_t flag_stride : {1, 2, 0}) {
    in.data[0] = flag_stride == 2 ? spread.data() : flag.data();
    in.stride[0] = flag_stride;
    for (Model model : {Model::Bs, Model::Bsm, Model::Black76}) {
      for (bool rational : {false, true}) {
        std::vector<double> want(n);
        std::vector<std::int8_t> want_status(n);
        for (std::ptrdiff_t e = 0; e < n; ++e) {
          const OptionKind kind =
              flag[flag_stride == 0 ? 0 : e] ? OptionKind::Call : OptionKind::Put;
          const IvInputs problem = model == Model::Black76
                                       ? Black76IvInputs(kind, price[e], X[e], K[e], t[e], r[e])
                                       : BsmIvInputs(kind, price[e], X[e], K[e], t[e], r[e],
                                                     model == Model::Bs ? 0.0 : q[e]);
          if (rational) {
            const auto result = rational::Solve<double>(Sign(kind), problem.price, problem.F,
                                                        problem.K, problem.t, problem.r);
            want[e] = WithCanonicalNaN(result.sigma);
            want_status[e] = static_cast<std::int8_t>(result.status);
            continue;
          }
          const IvResult result = SolveImpliedVol(kind, problem);
          want[e] = IvElement(result);
          want_status[e] = static_cast<std::int8_t>(result.status);
          if (t[e] <= 0.0) {  // expired: the whole-book API has no volatility for it
            want[e] = kNaN;
            want_status[e] = static_cast<std::int8_t>(IvStatus::Expired);
          }
        }
        for (Target target : targets) {
          const kernels::IvKernel run = kernels::KernelsFor(target).implied_vol;
          for (std::ptrdiff_t length : {std::ptrdiff_t{3}, std::ptrdiff_t{17}, n}) {
            std::vector<double> out(length);
            std::vector<std::int8_t> status(length, -1);
            run(kernels::IvJob{model, out.data(), status.data(), rational}, in, 0, length);
            for (std::ptrdiff_t e = 0; e < length; ++e) {
              if (Bits(out[e]) == Bits(want[e]) && status[e] == want_status[e]) continue;
              if (tally.mismatches++ < 10) {
                std::printf(
                    "MISMATCH %s book implied volatility (%s), model %d, flag stride %td, n=%td "
                    "element %td: got %016llx status %d, scalar %016llx status %d\n",
                    TargetName(target), rational ? "rational" : "newton", static_cast<int>(model),
                    flag_stride, length, e, static_cast<unsigned long long>(Bits(out[e])),
                    status[e], static_cast<unsigned long long>(Bits(want[e])), want_status[e]);
              }
            }
            tally.elements += length;
          }
        }
      }
    }
  }
}

// The scalar routine of quantity Q for one option (X, K, t, r, sigma, q) of a model.
template <class Q>
double BookScalar(kernels::Model model, OptionKind kind, const double (&x)[6]) {
  const auto [X, K, t, r, sigma, q] = x;
  if (model == kernels::Model::Black76)
    return WithCanonicalNaN(Black76<Q>(kind, X, K, t, r, sigma));
  return WithCanonicalNaN(Bsm<Q>(kind, X, K, t, r, sigma, model == kernels::Model::Bs ? 0.0 : q));
}
using BookScalarFn = double (*)(kernels::Model, OptionKind, const double (&)[6]);
const BookScalarFn kBookScalars[] = {
#define KV_BOOK_SCALAR(name, Routine) &BookScalar<greeks::Routine>,
    KV_ALL_QUANTITIES(KV_BOOK_SCALAR)
#undef KV_BOOK_SCALAR
};

// The whole-book Greeks of every model on every target, against the scalar
// routines, in every composition the kernels have: one quantity (each of the
// sixteen), all sixteen (in index order and reversed, `all` set as the module
// sets it; streamed past the caches too) and other lists (all sixteen without
// `all`, a few subsets). Flags mixed from option to option, r and q per option
// and shared by the run (stride 0), a run of one kind and expiry with a
// strided sigma, special values, a sorted strike ladder; the long run in two
// pieces, as threads split a book.
void RunBookGreeks(const std::vector<Target>& targets, Values& values, Tally& tally) {
  using kernels::Model;
  namespace I = kernels::Index;
  constexpr std::ptrdiff_t n = kLong;
  const double kEdges[] = {0.0, -0.0, kInf, -kInf, kNaN};
  std::vector<char> flag(n);
  std::vector<double> X(n), K(n), t(n), r(n), sigma(n), q(n);
  double previous = 1.0;
  for (std::ptrdiff_t e = 0; e < n; ++e) {
    const auto edge = [&] { return kEdges[static_cast<int>(values.Uniform(0, 5))]; };
    flag[e] = values.Uniform(0, 1) < 0.5;
    X[e] = values.Next("S", 1.0), K[e] = values.Next("K", 1.0),
    sigma[e] = values.Next("sigma", 1.0);
    previous = t[e] = values.Next("t", previous);
    r[e] = values.Uniform(0, 1) < 0.04 ? edge() : values.Uniform(-0.02, 0.08);
    q[e] = values.Uniform(0, 1) < 0.04 ? edge() : values.Uniform(0.0, 0.05);
    if (e >= 1000 && e < 1400) X[e] = 100.0, K[e] = 80.0 + 0.1 * double(e - 1000), t[e] = 0.5;
  }
  std::vector<int> every(kQuantityCount), reversed(kQuantityCount);
  for (int i = 0; i < kQuantityCount; ++i) every[i] = i, reversed[i] = kQuantityCount - 1 - i;
  std::vector<std::pair<std::vector<int>, bool>> lists = {
      {every, true},
      {reversed, true},
      {reversed, false},
      {{I::delta, I::gamma}, false},  //
      {{I::ultima, I::price, I::dual_gamma, I::charm, I::theta, I::rho, I::vanna}, false}};
  for (int i = 0; i < kQuantityCount; ++i) lists.push_back({{i}, false});
  static const double kShared[] = {0.03, 0.01};  // r and q for every option
  // sigma every other double, for runs that read it through a stride.
  std::vector<double> strided(2 * n);
  for (std::ptrdiff_t e = 0; e < n; ++e) strided[2 * e] = sigma[e];
  // Runs: everything per option; r and q shared; one kind, r, q and t for
  // the run, sigma strided (the kernels copy such inputs in chunks).
  enum class Run { PerOption, SharedRates, OneKind };
  for (Model model : {Model::Bs, Model::Bsm, Model::Black76}) {
    for (Run mode : {Run::PerOption, Run::SharedRates, Run::OneKind}) {
      const bool shared = mode != Run::PerOption, one = mode == Run::OneKind;
      const double* columns[] = {X.data(), K.data(), t.data(), r.data(), sigma.data(), q.data()};
      if (shared) columns[3] = &kShared[0], columns[5] = &kShared[1];
      if (one) columns[4] = strided.data();
      kernels::Inputs in{{flag.data()}, {one ? 0 : 1}};
      for (int k = 1; k < kernels::kInputs; ++k) {
        in.data[k] = reinterpret_cast<const char*>(columns[k - 1]);
        in.stride[k] = (shared && (k == 4 || k == 6)) || (one && k == 3) ? 0 : sizeof(double);
      }
      if (one) in.stride[5] = 2 * sizeof(double);
      std::vector<std::vector<double>> want(kQuantityCount, std::vector<double>(n));
      for (std::ptrdiff_t e = 0; e < n; ++e) {
        const double option[6] = {
            X[e], K[e], one ? t[0] : t[e], shared ? 0.03 : r[e], sigma[e], shared ? 0.01 : q[e]};
        const bool call = flag[one ? 0 : e];
        for (int i = 0; i < kQuantityCount; ++i) {
          want[i][e] = kBookScalars[i](model, call ? OptionKind::Call : OptionKind::Put, option);
        }
      }
      for (Target target : targets) {
        const kernels::GreeksKernel run = kernels::KernelsFor(target).greeks;
        for (const auto& [quantities, all] : lists) {
          const int count = static_cast<int>(quantities.size());
          for (std::ptrdiff_t length : {1, 7, 17, 33, int{n}, -int{n}}) {
            const bool stream = length < 0;  // then from a 64-byte boundary, so that it happens
            length = std::abs(length);
            std::vector<double> block(count * (length + 8) + 8, std::bit_cast<double>(kUnwritten));
            double* base =
                block.data() + (-reinterpret_cast<std::uintptr_t>(block.data()) % 64) / 8;
            std::vector<double*> outs(count);
            for (int k = 0; k < count; ++k) outs[k] = base + k * (length + 8);
            const kernels::GreeksJob job{model, count, quantities.data(), outs.data(), all, stream};
            const std::ptrdiff_t split = length == n ? 40 : length;  // 64-byte aligned
            run(job, in, 0, split);
            kernels::Inputs rest = in;
            for (int k = 0; k < kernels::kInputs; ++k) rest.data[k] += split * in.stride[k];
            if (split < length) run(job, rest, split, length - split);
            for (int k = 0; k < count; ++k) {
              for (std::ptrdiff_t e = 0; e <= length; ++e) {  // the one after stays unwritten
                const std::uint64_t expected =
                    e < length ? Bits(want[quantities[k]][e]) : kUnwritten;
                if (Bits(outs[k][e]) != expected && tally.mismatches++ < 10) {
                  std::printf(
                      "MISMATCH %s book greeks, %d quantities, #%d, model %d, run %d, "
                      "n=%td element %td: got %016llx, scalar %016llx\n",
                      TargetName(target), count, k, static_cast<int>(model), static_cast<int>(mode),
                      length, e, static_cast<unsigned long long>(Bits(outs[k][e])),
                      static_cast<unsigned long long>(expected));
                }
              }
              tally.elements += length;
            }
          }
        }
      }
    }
  }
}
// The compiler's table of the split exponential (normal.hpp) must hold the
// platform's exp at every argument, as NormCdf's scalar form assumes.
void CheckSplitTable(Tally& tally) {
  volatile double zero = 0.0;  // keeps the compiler from folding the exp below
  for (int k = 0; k < kSplitSteps; ++k) {
    const double yq = static_cast<double>(k) * 0.0625 + zero;
    const double want = std::exp(-(yq * yq));
    if (Bits(kSplitTable.head[k]) != Bits(want) && tally.mismatches++ < 10) {
      std::printf("MISMATCH split table k=%d: %016llx, exp %016llx\n", k,
                  static_cast<unsigned long long>(Bits(kSplitTable.head[k])),
                  static_cast<unsigned long long>(Bits(want)));
    }
  }
}

// The American boundary's solver gives the same doubles on every target: its
// vectors have eight lanes everywhere, and each lane is the same operations.
// Random puts, with drifts either way and some strong enough to cut the
// integrals short (mu > 0).
void CheckAmericanTargets(const std::vector<Target>& targets, Tally& tally) {
  std::mt19937_64 rng(2016);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const american::Setting settings[] = {{10, 8, 8, 20, 1e-6}, {24, 16, 20, 64, 1e-8}};
  for (int k = 0; k < 200; ++k) {
    const american::PutInputs in{
        40.0 + 120.0 * unit(rng), 100.0,
        0.02 + 3.0 * unit(rng),   0.005 + 0.1 * unit(rng),
        0.12 * unit(rng),         k % 4 == 0 ? 0.01 + 0.04 * unit(rng) : 0.05 + 0.5 * unit(rng)};
    for (const american::Setting& setting : settings) {
      const american::PutValues want = american::SolverFor(Target::Baseline)(setting, in, true);
      for (Target target : targets) {
        const american::PutValues got = american::SolverFor(target)(setting, in, true);
        const double pairs[4][2] = {{got.price, want.price},
                                    {got.delta, want.delta},
                                    {got.gamma, want.gamma},
                                    {got.theta, want.theta}};
        for (const auto& pair : pairs) {
          ++tally.elements;
          if (Bits(pair[0]) != Bits(pair[1]) && tally.mismatches++ < 10) {
            std::printf(
                "MISMATCH american %s S=%.17g tau=%.17g r=%.17g q=%.17g sigma=%.17g: "
                "%.17g, baseline %.17g\n",
                TargetName(target), in.S, in.tau, in.r, in.q, in.sigma, pair[0], pair[1]);
          }
        }
      }
    }
  }
}

}  // namespace

int main() {
  // Shared numbers by parameter position: r at 4 and q at 5 or 6 as the shape has them.
  const double kRates[][2] = {{0.03, 0.01}, {0.0, 0.0}, {-0.02, 0.05}, {kNaN, 0.0}};
  std::vector<Target> targets;
#define KV_RUNNABLE(ns, Enum) \
  if (TargetRuns(Target::Enum)) targets.push_back(Target::Enum);
  KV_FOR_EACH_TARGET(KV_RUNNABLE)
#undef KV_RUNNABLE

  Values values;
  Tally tally;
  for (const ArrayFunction& row : kArrayFunctionList) {
    for (OptionKind kind : {OptionKind::Call, OptionKind::Put}) {
      const auto columns = MakeColumns(row, kind, values);
      for (const auto& rates : kRates) {
        double shared[7] = {};
        for (int i = 0; i < row.count; ++i) {
          if (std::strcmp(row.names[i], "r") == 0) shared[i] = rates[0];
          if (std::strcmp(row.names[i], "q") == 0) shared[i] = rates[1];
        }
        std::vector<double> want(kLong);
        for (std::ptrdiff_t e = 0; e < kLong; ++e)
          want[e] = row.scalar(kind, shared, columns.data(), e);
        for (Target target : targets) {
          const kernels::Kernels& kernel = kernels::KernelsFor(target);
          for (std::ptrdiff_t n = 0; n <= kShortest; ++n) {
            RunOne(kernel, TargetName(target), row, kind, rates, shared, columns, want, n, 0,
                   tally);
          }
          for (int offset : {0, 3}) {
            RunOne(kernel, TargetName(target), row, kind, rates, shared, columns, want, kLong,
                   offset, tally);
          }
        }
      }
    }
  }

  CheckSplitTable(tally);
  RunBookIv(targets, values, tally);
  RunBookGreeks(targets, values, tally);
  CheckAmericanTargets(targets, tally);

  std::string names;
  for (Target target : targets)
    names += std::string(names.empty() ? "" : ", ") + TargetName(target);
  const bool vector_math = VectorMathMatchesPlatform();
  const bool vector_math_ok = vector_math || !VectorMathExpected();
  std::printf(
      "kernels_test: %s (module uses %s): %d array functions, the book's Greeks and implied "
      "volatility, American puts, %ld elements, %ld mismatches; "
      "vector exp and log %s\n",
      names.c_str(), TargetName(ActiveTarget()), kArrayFunctions, tally.elements, tally.mismatches,
      vector_math      ? "match the platform's"
      : vector_math_ok ? "not used"
                       : "DIFFER FROM THE PLATFORM'S");
  return tally.mismatches == 0 && vector_math_ok ? 0 : 1;
}
