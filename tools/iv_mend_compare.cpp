// The implied-volatility solver of this tree against the one of an earlier
// commit, side by side in one program (tools/iv_mend_compare.py builds it).
//
// Compiled three times: with KV_MEND_SIDE=old against the earlier tree and
// with KV_MEND_SIDE=new against this one (KV_TARGET puts each copy of the
// solver in its own namespace), and once as the driver. The driver solves
// every input with both, compares value and status bit for bit, and for each
// row that changed finds the exact implied volatility of its price in
// quadruple precision and asks which answer is nearer to it.
//
//   iv_mend_compare random COUNT SEED   random and special inputs
//   iv_mend_compare rows IN OUT         rows of (call, price, F, K, t, r)
//                                       from IN; OUT gets old, new per row
//   iv_mend_compare bench N REPEAT      the block solvers' speed on a book
//   iv_mend_compare one FLAG PRICE F K T R

#if defined(KV_MEND_SIDE)

#include "src/iv/block_solver.hpp"

#define KV_CAT2(a, b) a##b
#define KV_CAT(a, b) KV_CAT2(a, b)

// A book of n Black-76 options (sign w per option, one rate) through the
// block solver of the array kernels, W solves side by side.
[[gnu::flatten]] void KV_CAT(Book_, KV_MEND_SIDE)(long n, const double* w, const double* price,
                                                  const double* F, const double* K, const double* t,
                                                  double r, double* out) {
  constexpr int W = kv::kBlockLanes;
  auto lanes = [](const double* p) { return kv::LoadLanes<W>(reinterpret_cast<const char*>(p)); };
  kv::SolveBlocks<W>(
      n,
      [&](std::ptrdiff_t e, kv::Lanes<W>& sign) {
        sign = lanes(w + e);
        return kv::IvBlockInputs<W>{lanes(price + e), lanes(F + e), lanes(K + e), lanes(t + e),
                                    kv::PerLane<W>(r)};
      },
#if defined(KV_MEND_OLD_API)  // the block driver's interface before the solver was one routine
      [&](std::ptrdiff_t e, kv::IvSolve& solve) {
        return solve.Begin(w[e] > 0 ? kv::OptionKind::Call : kv::OptionKind::Put,
                           {price[e], F[e], K[e], t[e], r});
      },
#else
      [&](std::ptrdiff_t e, double& sign) {
        sign = w[e];
        return kv::IvInputs{price[e], F[e], K[e], t[e], r};
      },
#endif
      [&](std::ptrdiff_t e, double value, kv::IvStatus) { out[e] = value; });
}

double KV_CAT(Solve_, KV_MEND_SIDE)(bool call, double price, double F, double K, double t, double r,
                                    int* status) {
  const kv::IvResult result =
      kv::SolveImpliedVol(call ? kv::OptionKind::Call : kv::OptionKind::Put, {price, F, K, t, r});
  *status = static_cast<int>(result.status);
  return kv::WithCanonicalNaN(result.volatility);
}

#else

#include <quadmath.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

double Solve_old(bool call, double price, double F, double K, double t, double r, int* status);
double Solve_new(bool call, double price, double F, double K, double t, double r, int* status);
void Book_old(long n, const double* w, const double* price, const double* F, const double* K,
              const double* t, double r, double* out);
void Book_new(long n, const double* w, const double* price, const double* F, const double* K,
              const double* t, double r, double* out);

namespace {

using Quad = __float128;

struct Row {
  bool call;
  double price, F, K, t, r;
};

std::uint64_t Bits(double x) {
  std::uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

// The math functions in extended (long double) and quadruple precision.
long double Erfc(long double x) {
  return std::erfc(x);
}
long double Exp(long double x) {
  return std::exp(x);
}
long double Log(long double x) {
  return std::log(x);
}
long double Sqrt(long double x) {
  return std::sqrt(x);
}
Quad Erfc(Quad x) {
  return erfcq(x);
}
Quad Exp(Quad x) {
  return expq(x);
}
Quad Log(Quad x) {
  return logq(x);
}
Quad Sqrt(Quad x) {
  return sqrtq(x);
}

// The undiscounted Black price and vega in precision X.
template <class X>
X Black(const Row& row, X sigma, X* vega) {
  const X w = row.call ? 1 : -1;
  const X F = row.F, K = row.K, st = Sqrt((X)row.t);
  const X sd = sigma * st;
  const X d1 = Log(F / K) / sd + sd / 2;
  const X d2 = d1 - sd;
  const X root_half = Sqrt((X)0.5);
  const X n1 = Erfc(-w * d1 * root_half) / 2, n2 = Erfc(-w * d2 * root_half) / 2;
  *vega = F * st * Exp(-d1 * d1 / 2) / Sqrt((X)(2 * M_PIq));
  return w * (F * n1 - K * n2);
}

// The volatility at which the exact Black price is the row's price, by
// safeguarded Newton from a start near it; NaN if there is none below 1000.
template <class X>
X Truth(const Row& row, double start, X tiny) {
  const X target = (X)row.price * Exp((X)row.t * (X)row.r);
  X lo = 0, hi = 1000, vega;
  if (!(Black(row, hi, &vega) >= target)) return NAN;
  X s = std::isfinite(start) && start > 0 && start < 1000 ? (X)start : (X)0.5;
  for (int i = 0; i < 400; ++i) {
    const X m = Black(row, s, &vega);
    if (m == target) return s;
    if (m < target)
      lo = s;
    else
      hi = s;
    // Newton on the log of the price: tiny prices fall steeply with sigma.
    X next = m > 0 ? s - (Log(m) - Log(target)) * (m / vega) : (lo + hi) / 2;
    if (!(next > lo && next < hi)) next = (lo + hi) / 2;
    const X step = next > s ? next - s : s - next;
    if (step <= s * tiny || hi - lo <= hi * tiny) return next;
    s = next;
  }
  return s;
}

// Relative errors of a and b from the truth; the truth in extended
// precision, or in quadruple precision where that does not settle which of
// the two is nearer. False if there is no truth.
bool Errors(const Row& row, double a, double b, double* truth, double* ea, double* eb,
            double* floor, double* kappa) {
  long double x = Truth<long double>(row, b, 1e-18L);
  if (x != x) return false;
  auto error = [](auto v, auto x) { return (double)((v > x ? v - x : x - v) / x); };
  *ea = error((long double)a, x);
  *eb = error((long double)b, x);
  if (!(*eb < 0.01 * *ea || *ea < 0.01 * *eb)) {
    const Quad q = Truth<Quad>(row, b, (Quad)1e-30);
    *ea = error((Quad)a, q);
    *eb = error((Quad)b, q);
    x = (long double)q;
  }
  *truth = (double)x;
  // How well the double price fixes sigma: half its ulp over sigma * vega.
  long double vega;
  Black<long double>(row, x, &vega);
  const long double half_ulp =
      ((long double)std::nextafter(row.price, INFINITY) - (long double)row.price) / 2;
  const long double sigma_vega = x * vega * Exp(-(long double)row.t * row.r);
  *floor = (double)(half_ulp / sigma_vega);
  *kappa = (double)(row.price / sigma_vega);  // relative sigma per relative price
  return true;
}

struct Tally {
  long long rows = 0, changed = 0, status_changed = 0, closer = 0, not_closer = 0, no_truth = 0;
  double worst_old = 0, worst_new = 0;  // largest relative error among changed rows
  double smallest_gain = INFINITY;      // smallest old error / new error
  double largest_changed_price = 0;
  // Not nearer, but the new answer is one the tolerance admits (its price
  // within about 1e-9 of the target: the tolerance, and rounding in the model
  // price, which decides which of two such answers comes out);
  // the target is within the tolerance of a bound; the target is subnormal
  // (it carries fewer than 53 bits).
  long long within_tolerance = 0, at_bound = 0, subnormal = 0;
  long long well_posed = 0;
  double worst_well_posed = 0;
  Row worst_row{};
  double worst_values[3] = {};
  long long beyond[8] = {};          // truth outside the bracket, by new status
  long long transitions[8][8] = {};  // old status -> new status
};

void Compare(const Row& row, Tally& tally, std::FILE* report) {
  int old_status, new_status;
  const double a = Solve_old(row.call, row.price, row.F, row.K, row.t, row.r, &old_status);
  const double b = Solve_new(row.call, row.price, row.F, row.K, row.t, row.r, &new_status);
  ++tally.rows;
  if (Bits(a) == Bits(b) && old_status == new_status) return;
  ++tally.changed;
  if (old_status != new_status) ++tally.status_changed;
  const double target = row.price * std::exp(row.t * row.r);
  if (target > tally.largest_changed_price) tally.largest_changed_price = target;
  double truth, old_error, new_error, floor, kappa;
  if (!Errors(row, a, b, &truth, &old_error, &new_error, &floor, &kappa)) {
    if (++tally.no_truth <= 3) {
      std::fprintf(report,
                   "no truth: %s price %.17g F %.17g K %.17g t %.17g r %.17g: old %.17g (%d) new "
                   "%.17g (%d)\n",
                   row.call ? "call" : "put", row.price, row.F, row.K, row.t, row.r, a, old_status,
                   b, new_status);
    }
  } else if (!(truth >= 1e-6 && truth <= 5.0)) {
    // Beyond the bracket [1e-6, 5]: neither can be right; the status says so.
    ++tally.beyond[new_status];
  } else {
    // How far the target lies from the nearer of its bounds. Where that gap is
    // below the tolerance, any volatility whose price falls in it passes:
    // near the maximum (a put struck far below the forward, a huge sigma
    // root-t) the price barely depends on sigma, and neither answer is one.
    const double intrinsic = std::fmax(row.call ? row.F - row.K : row.K - row.F, 0.0);
    const double gap = std::fmin(target - intrinsic, (row.call ? row.F : row.K) - target);
    if (new_error < old_error) {
      ++tally.closer;
    } else if (new_error <= 1e-9 * std::fmax(kappa, 1.0)) {
      ++tally.within_tolerance;
    } else if (gap < target * 1e-10) {
      ++tally.at_bound;
    } else if (target < 2.2250738585072014e-308) {
      ++tally.subnormal;
    } else {
      ++tally.not_closer;
      std::fprintf(report, "NOT CLOSER %d %.17g %.17g %.17g %.17g %.17g: old %.17g new %.17g\n",
                   row.call, row.price, row.F, row.K, row.t, row.r, a, b);
    }
    tally.worst_old = std::fmax(tally.worst_old, old_error);
    if (floor <= 1e-12 && std::fabs(std::log(row.K / row.F)) <= 3 &&
        target >= 2.2250738585072014e-308) {
      ++tally.well_posed;
      if (new_error > tally.worst_well_posed && new_error > 1e-7) {
        std::fprintf(report,
                     "well-posed, off: %s price %.17g F %.17g K %.17g t %.17g r %.17g: old %.17g "
                     "new %.17g truth %.17g floor %.3g\n",
                     row.call ? "call" : "put", row.price, row.F, row.K, row.t, row.r, a, b, truth,
                     floor);
      }
      tally.worst_well_posed = std::fmax(tally.worst_well_posed, new_error);
    }
    if (new_error > tally.worst_new) {
      tally.worst_new = new_error;
      tally.worst_row = row;
      tally.worst_values[0] = a;
      tally.worst_values[1] = b;
      tally.worst_values[2] = truth;
    }
    if (new_error > 0) tally.smallest_gain = std::fmin(tally.smallest_gain, old_error / new_error);
  }
  ++tally.transitions[old_status][new_status];
  if (tally.changed <= 5) {
    std::fprintf(report,
                 "changed: %s price %.17g F %.17g K %.17g t %.17g r %.17g: %.17g -> %.17g\n",
                 row.call ? "call" : "put", row.price, row.F, row.K, row.t, row.r, a, b);
  }
}

// Random inputs: mostly Black prices of random options (tiny ones included),
// some random prices between the bounds, some special values anywhere.
class Inputs {
 public:
  explicit Inputs(std::uint64_t seed) : rng_(seed) {}

  Row Next() {
    Row row{Uniform(0, 1) < 0.5, 0, 0, 0, 0, 0};
    const double kind = Uniform(0, 1);
    row.F = 100.0 * std::exp(Uniform(-2, 2));
    row.t = std::exp(Uniform(std::log(1.0 / 365), std::log(30.0)));
    row.r = Uniform(-0.02, 0.1);
    const double sigma = std::exp(Uniform(std::log(0.003), std::log(5.0)));
    // Log-moneyness in standard deviations, up to deep in the wings.
    const double sd = sigma * std::sqrt(row.t);
    row.K = row.F * std::exp(std::fmax(-8.0, std::fmin(8.0, Uniform(-40, 40) * sd)));
    if (kind < 0.5) row.K = row.F * std::exp(Uniform(-3, 3) * sd);
    if (Uniform(0, 1) < 0.05) row.K = row.F * std::exp(Uniform(-3, 3));
    const double D = std::exp(-row.r * row.t);
    if (kind < 0.85) {
      Quad vega;
      row.price = (double)(Black<Quad>(row, sigma, &vega) * (Quad)D);
    } else if (kind < 0.95) {
      const double intrinsic = std::fmax(row.call ? row.F - row.K : row.K - row.F, 0.0);
      const double maximum = row.call ? row.F : row.K;
      row.price = D * (intrinsic + (maximum - intrinsic) * std::pow(Uniform(0, 1), 8.0));
    } else {
      row.price = Uniform(0, 1) < 0.5 ? Special() : Uniform(-1, 200);
      if (Uniform(0, 1) < 0.3) row.F = Special();
      if (Uniform(0, 1) < 0.3) row.K = Special();
      if (Uniform(0, 1) < 0.3) row.t = Special();
      if (Uniform(0, 1) < 0.2) row.r = Special();
    }
    return row;
  }

 private:
  double Uniform(double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng_);
  }
  double Special() {
    static const double kValues[] = {0.0,    -0.0,   INFINITY, -INFINITY, NAN,   5e-324,
                                     1e-300, 1e-20,  1e-12,    1.0,       100.0, 1e300,
                                     -1.0,   -100.0, 2.2e-308, 0.5,       1e-6,  5.0};
    return kValues[std::uniform_int_distribution<int>(0, std::size(kValues) - 1)(rng_)];
  }
  std::mt19937_64 rng_;
};

void Print(const char* what, const Tally& t) {
  std::printf(
      "%s: %lld rows, %lld changed (%lld of them in status)\n"
      "  changed rows with the truth in the bracket: nearer it %lld; not nearer %lld, besides "
      "%lld whose new answer the tolerance admits (within 1e-9 * max(kappa, 1)), %lld with the "
      "target "
      "within the tolerance of a bound, %lld with a subnormal target\n"
      "  changed rows without a truth below sigma = 1000: %lld\n",
      what, t.rows, t.changed, t.status_changed, t.closer, t.not_closer, t.within_tolerance,
      t.at_bound, t.subnormal, t.no_truth);
  if (t.changed > 0) {
    std::printf(
        "  changed rows: largest forward price %.3g; worst relative error old %.3g, new %.3g; "
        "error shrank at least %.3gx\n",
        t.largest_changed_price, t.worst_old, t.worst_new, t.smallest_gain);
    std::printf(
        "  well-posed changed rows (floor <= 1e-12, |ln(K/F)| <= 3, normal target): %lld, worst "
        "new relative "
        "error %.3g\n",
        t.well_posed, t.worst_well_posed);
    const Row& w = t.worst_row;
    std::printf(
        "  the worst new: %s price %.17g F %.17g K %.17g t %.17g r %.17g: old %.17g new %.17g "
        "truth %.17g\n",
        w.call ? "call" : "put", w.price, w.F, w.K, w.t, w.r, t.worst_values[0], t.worst_values[1],
        t.worst_values[2]);
  }
  for (int s = 0; s < 8; ++s) {
    if (t.beyond[s] > 0)
      std::printf("  truth beyond the bracket, new status %d: %lld\n", s, t.beyond[s]);
  }
  for (int a = 0; a < 8; ++a) {
    for (int b = 0; b < 8; ++b) {
      if (t.transitions[a][b] > 0)
        std::printf("  status %d -> %d: %lld\n", a, b, t.transitions[a][b]);
    }
  }
}

}  // namespace

// This thread's processor time: on a shared machine, wall time measures the
// neighbours as much as the code.
double CpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// The realistic book: t from a week to 3 years, strikes within two standard
// deviations, calls and puts mixed. Times the block solver of each side, best
// of `repeat` runs each, alternating, and checks that the new block solver
// gives the new scalar solver's values.
int Bench(long n, int repeat) {
  std::mt19937_64 rng(20261207);
  auto uniform = [&](double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng);
  };
  const double r = 0.03;
  std::vector<double> w(n), price(n), F(n), K(n), t(n), out_old(n), out_new(n);
  for (long i = 0; i < n; ++i) {
    w[i] = uniform(0, 1) < 0.5 ? 1.0 : -1.0;
    F[i] = 100.0 * std::exp(uniform(-0.5, 0.5));
    t[i] = uniform(7.0 / 365.0, 3.0);
    const double sigma = uniform(0.05, 0.8);
    K[i] = F[i] * std::exp(uniform(-2, 2) * sigma * std::sqrt(t[i]));
    const Row row{w[i] > 0, 0, F[i], K[i], t[i], r};
    Quad vega;
    price[i] = (double)(Black<Quad>(row, sigma, &vega) * expq(-(Quad)r * (Quad)t[i]));
  }
  double best[4] = {INFINITY, INFINITY, INFINITY, INFINITY};  // block old, new; scalar old, new
  for (int k = 0; k < repeat; ++k) {
    for (int side = 0; side < 2; ++side) {
      double start = CpuSeconds();
      (side == 0 ? Book_old : Book_new)(n, w.data(), price.data(), F.data(), K.data(), t.data(), r,
                                        side == 0 ? out_old.data() : out_new.data());
      best[side] = std::fmin(best[side], CpuSeconds() - start);
      start = CpuSeconds();
      double sum = 0;
      for (long i = 0; i < n; ++i) {
        int status;
        sum +=
            (side == 0 ? Solve_old : Solve_new)(w[i] > 0, price[i], F[i], K[i], t[i], r, &status);
      }
      best[2 + side] = std::fmin(best[2 + side], CpuSeconds() - start + 0 * sum);
    }
  }
  long changed = 0, unlike_scalar = 0;
  for (long i = 0; i < n; ++i) {
    changed += Bits(out_old[i]) != Bits(out_new[i]);
    int status;
    const double scalar = Solve_new(w[i] > 0, price[i], F[i], K[i], t[i], r, &status);
    unlike_scalar += Bits(scalar) != Bits(out_new[i]);
  }
  std::printf(
      "realistic book, %ld options, processor time, best of %d:\n"
      "  block solver:  old %.1f ns/option, new %.1f ns/option, new/old %.3f\n"
      "  scalar solver: old %.1f ns/option, new %.1f ns/option, new/old %.3f\n"
      "  %ld values changed, %ld unlike the scalar solver\n",
      n, repeat, best[0] / n * 1e9, best[1] / n * 1e9, best[1] / best[0], best[2] / n * 1e9,
      best[3] / n * 1e9, best[3] / best[2], changed, unlike_scalar);
  return unlike_scalar == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "bench") == 0) {
    return Bench(std::atol(argv[2]), std::atoi(argv[3]));
  }
  if (argc == 4 && std::strcmp(argv[1], "random") == 0) {
    const long long count = std::atoll(argv[2]);
    Inputs inputs(std::strtoull(argv[3], nullptr, 10));
    Tally tally;
    for (long long i = 0; i < count; ++i) Compare(inputs.Next(), tally, stdout);
    Print("random", tally);
    return tally.not_closer == 0 ? 0 : 1;
  }
  if (argc == 4 && std::strcmp(argv[1], "rows") == 0) {
    std::FILE* in = std::fopen(argv[2], "rb");
    std::FILE* out = std::fopen(argv[3], "wb");
    if (in == nullptr || out == nullptr) return 2;
    double v[6];
    Tally tally;
    while (std::fread(v, sizeof v, 1, in) == 1) {
      const Row row{v[0] != 0, v[1], v[2], v[3], v[4], v[5]};
      int status;
      const double result[] = {Solve_old(row.call, row.price, row.F, row.K, row.t, row.r, &status),
                               Solve_new(row.call, row.price, row.F, row.K, row.t, row.r, &status)};
      std::fwrite(result, sizeof result, 1, out);
      Compare(row, tally, stdout);
    }
    Print("rows", tally);
    std::fclose(in);
    std::fclose(out);
    return tally.not_closer == 0 ? 0 : 1;
  }
  if (argc == 8 && std::strcmp(argv[1], "one") == 0) {
    const Row row{argv[2][0] == 'c',  std::atof(argv[3]), std::atof(argv[4]),
                  std::atof(argv[5]), std::atof(argv[6]), std::atof(argv[7])};
    int so, sn;
    const double a = Solve_old(row.call, row.price, row.F, row.K, row.t, row.r, &so);
    const double b = Solve_new(row.call, row.price, row.F, row.K, row.t, row.r, &sn);
    double truth = NAN, ea = NAN, eb = NAN, floor = NAN, kappa = NAN;
    Errors(row, a, b, &truth, &ea, &eb, &floor, &kappa);
    std::printf("old %.17g (status %d) new %.17g (status %d) truth %.17g floor %.3g kappa %.3g\n",
                a, so, b, sn, truth, floor, kappa);
    return 0;
  }
  std::fprintf(stderr, "usage: %s random COUNT SEED | rows IN OUT\n", argv[0]);
  return 2;
}

#endif
