// The identity tool: VectorExp and VectorLog (src/simd/vector_math.hpp)
// against the running platform's std::exp and std::log, bit for bit, for every
// kernel this CPU can run: 2 lanes baseline (per-lane std::fma), 4 lanes
// AVX2+FMA, 8 lanes AVX-512. Prints the argument count and mismatches of each
// family of arguments; exits 1 on any mismatch.
//
// This file is compiled once per target with -DKV_IDENTITY_PART (each copy
// lands in that target's namespace) and once more with -DKV_IDENTITY_MAIN for
// the driver; tools/vector_math_identity.sh builds and runs it (make identity).
//
//   --count N          arguments per function per kernel (default 1e7)
//   --threads T        worker threads (default: all cores)
//   --bench            ns per element, vector against per-lane platform calls
//   --fma-sensitive K  print K arguments per function on which the algorithm
//                      without fused multiply-adds differs from the platform

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace identity {

struct Options {
  std::uint64_t count = 10'000'000;
  unsigned threads = 0;
  bool bench = false;
  int fma_sensitive = 0;
};

}  // namespace identity

#if defined(KV_IDENTITY_PART)

#include "vector_math.hpp"

namespace kv::KV_VECTOR_MATH_TARGET {
namespace {

namespace detail = vector_math_detail;
constexpr int N = kVectorMathWidth;

std::uint64_t Bits(double x) {
  std::uint64_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

double FromBits(std::uint64_t b) {
  double x;
  std::memcpy(&x, &b, sizeof x);
  return x;
}

// A well-mixed 64-bit function of (stream, index): random arguments that any
// thread can produce for any index, so a run is the same for any thread count.
std::uint64_t Hash(std::uint64_t stream, std::uint64_t i) {
  std::uint64_t z = i * 0x9e3779b97f4a7c15ull + stream * 0xd1b54a32d192ed03ull;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

double Uniform(std::uint64_t h, double lo, double hi) {
  return lo + (hi - lo) * static_cast<double>(h >> 11) * 0x1p-53;
}

// A family of arguments: the i-th argument, for i < size.
struct Family {
  const char* name;
  std::uint64_t size;
  double (*at)(std::uint64_t i, std::uint64_t size);
};

// The value v moved by n ulps along the bit patterns.
double Step(double v, std::int64_t n) {
  return FromBits(Bits(v) + static_cast<std::uint64_t>(n));
}

// Each point of a list with every neighbour within `radius` ulps.
template <std::size_t K>
double AroundPoints(const double (&points)[K], std::uint64_t radius, std::uint64_t i) {
  const std::uint64_t width = 2 * radius + 1;
  return Step(points[i / width], static_cast<std::int64_t>(i % width) - std::int64_t(radius));
}

constexpr double kInf = __builtin_inf();
constexpr double kSpecials[] = {0.0,
                                -0.0,
                                kInf,
                                -kInf,
                                __builtin_nan(""),
                                -__builtin_nan(""),
                                __builtin_nan("0x123"),
                                __builtin_nans(""),
                                0x1p-1074,
                                -0x1p-1074,
                                0x1.fffffffffffffp-1023,
                                0x1p-1022,
                                -0x1p-1022,
                                0x1.fffffffffffffp+1023,
                                -0x1.fffffffffffffp+1023,
                                1.0,
                                -1.0};
constexpr std::uint64_t kEdgeRadius = 1000;

// ---- exp's arguments --------------------------------------------------------

constexpr double kLn2By128 = 0x1.62e42fefa39efp-8;
constexpr std::int64_t kExpMaxK = 189'104;  // 1024 / (ln2/128), rounded up
constexpr double kExpEdges[] = {
    0x1p-54,
    -0x1p-54,
    512.0,
    -512.0,
    1024.0,
    -1024.0,
    0x1.62e42fefa39efp+9,   // overflow threshold
    -0x1.6232bdd7abcd2p+9,  // below: subnormal results
    -0x1.74910d52d3051p+9,  // below: zero
    0x1p-1022,
    -0x1p-1022,
};

const Family kExpStructured[] = {
    {"specials", std::size(kSpecials), [](std::uint64_t i, std::uint64_t) { return kSpecials[i]; }},
    {"fast-path edges +-1000 ulps", std::size(kExpEdges) * (2 * kEdgeRadius + 1),
     [](std::uint64_t i, std::uint64_t) { return AroundPoints(kExpEdges, kEdgeRadius, i); }},
    // k ln2/128 (table points) and (k + 1/2) ln2/128 (where the rounding of k,
    // hence the table entry, steps), each with 2 ulps either side.
    {"table boundaries +-2 ulps", (2 * kExpMaxK + 1) * 10,
     [](std::uint64_t i, std::uint64_t) {
       const double k = static_cast<double>(std::int64_t(i / 10) - kExpMaxK) + (i / 5 % 2) * 0.5;
       return Step(k * kLn2By128, std::int64_t(i % 5) - 2);
     }},
    {"integers and halves +-2 ulps", 4201 * 5,
     [](std::uint64_t i, std::uint64_t) {
       return Step((std::int64_t(i / 5) - 2100) * 0.5, std::int64_t(i % 5) - 2);
     }},
};

const Family kExpRandom[] = {
    // Uniform in bits over [2^-60, 1024) of either sign: every binade alike.
    {"random, uniform in bits", 0,
     [](std::uint64_t i, std::uint64_t) {
       const std::uint64_t h = Hash(1, i), lo = Bits(0x1p-60), hi = Bits(1024.0);
       return FromBits((lo + (h >> 1) % (hi - lo)) | (h << 63));
     }},
    {"random, uniform in [-746, 710]", 0,
     [](std::uint64_t i, std::uint64_t) { return Uniform(Hash(2, i), -746.0, 710.0); }},
    {"random, uniform in [-1, 1]", 0,
     [](std::uint64_t i, std::uint64_t) { return Uniform(Hash(3, i), -1.0, 1.0); }},
};

// ---- log's arguments --------------------------------------------------------

constexpr std::uint64_t kLogOff = vector_math_data::kLogOff;
constexpr double kLogEdges[] = {
    0x1p-1022,
    0x1.fffffffffffffp+1023,
    0x1.0p+0 - 0x1p-4,     // start of the near-1 path
    0x1.0p+0 + 0x1.09p-4,  // past its end
};

const Family kLogStructured[] = {
    {"specials", std::size(kSpecials), [](std::uint64_t i, std::uint64_t) { return kSpecials[i]; }},
    {"fast-path edges +-1000 ulps", std::size(kLogEdges) * (2 * kEdgeRadius + 1),
     [](std::uint64_t i, std::uint64_t) { return AroundPoints(kLogEdges, kEdgeRadius, i); }},
    // The edges of the 128 table intervals in every binade, +-2 ulps.
    {"table boundaries +-2 ulps", 2046ull * 128 * 5,
     [](std::uint64_t i, std::uint64_t) {
       const std::uint64_t e = i / 640, j = i / 5 % 128;
       const std::uint64_t edge = kLogOff + ((e - 1022) << 52) + (j << 45);
       return Step(FromBits(edge), std::int64_t(i % 5) - 2);
     }},
    {"every ulp within 1e5 ulps of 1", 200'001,
     [](std::uint64_t i, std::uint64_t) { return Step(1.0, std::int64_t(i) - 100'000); }},
    {"integers and halves to 1e6", 2'000'000,
     [](std::uint64_t i, std::uint64_t) { return (i + 1) * 0.5; }},
};

const Family kLogRandom[] = {
    {"random, uniform in bits (positive normal)", 0,
     [](std::uint64_t i, std::uint64_t) {
       const std::uint64_t lo = 0x0010000000000000, hi = 0x7ff0000000000000;
       return FromBits(lo + Hash(4, i) % (hi - lo));
     }},
    {"random, uniform in (0, 4]", 0,
     [](std::uint64_t i, std::uint64_t) { return Uniform(Hash(5, i), 0x1p-53, 4.0); }},
    {"random, near 1 (+-1/16)", 0,
     [](std::uint64_t i, std::uint64_t) { return Uniform(Hash(6, i), 0.9375, 1.0647); }},
    {"random, uniform in (0, 1e6]", 0,
     [](std::uint64_t i, std::uint64_t) { return Uniform(Hash(7, i), 0x1p-40, 1e6); }},
};

struct Mismatch {
  double x, got, want;
};

struct Tally {
  std::atomic<std::uint64_t> mismatches{0};
  std::mutex mutex;
  std::vector<Mismatch> examples;
};

// Runs `family` through vector_fn and scalar_fn on `threads` threads.
template <class VectorFn, class ScalarFn>
std::uint64_t CheckFamily(const Family& family, std::uint64_t size, unsigned threads,
                          VectorFn vector_fn, ScalarFn scalar_fn, Tally& tally) {
  constexpr std::uint64_t kBlock = 1 << 14;
  std::atomic<std::uint64_t> next{0};
  std::atomic<std::uint64_t> family_mismatches{0};
  auto work = [&] {
    std::vector<double> args(kBlock);
    for (;;) {
      const std::uint64_t start = next.fetch_add(kBlock);
      if (start >= size) return;
      const std::uint64_t n = std::min(kBlock, size - start);
      for (std::uint64_t i = 0; i < n; ++i) args[i] = family.at(start + i, size);
      std::uint64_t bad = 0;
      for (std::uint64_t i = 0; i < n; i += N) {
        detail::Vec<N> x;
        for (int l = 0; l < N; ++l) x[l] = args[std::min(i + l, n - 1)];
        const detail::Vec<N> y = vector_fn(x);
        for (int l = 0; l < N && i + l < n; ++l) {
          const double want = scalar_fn(x[l]);
          if (Bits(y[l]) == Bits(want)) continue;
          ++bad;
          std::lock_guard<std::mutex> lock(tally.mutex);
          if (tally.examples.size() < 10) tally.examples.push_back({x[l], y[l], want});
        }
      }
      family_mismatches += bad;
    }
  };
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t) pool.emplace_back(work);
  for (auto& t : pool) t.join();
  tally.mismatches += family_mismatches;
  return family_mismatches;
}

template <class VectorFn, class ScalarFn, std::size_t S, std::size_t R>
std::uint64_t CheckFunction(const char* name, const Family (&structured)[S],
                            const Family (&random)[R], const identity::Options& options,
                            VectorFn vector_fn, ScalarFn scalar_fn) {
  const auto start = std::chrono::steady_clock::now();
  Tally tally;
  std::uint64_t total = 0;
  auto run = [&](const Family& family, std::uint64_t size) {
    const std::uint64_t bad =
        CheckFamily(family, size, options.threads, vector_fn, scalar_fn, tally);
    std::printf("  %s  %-44s %12" PRIu64 " args %8" PRIu64 " mismatches\n", name, family.name, size,
                bad);
    total += size;
  };
  for (const Family& f : structured) run(f, f.size);
  // The random families share what the structured ones leave of the count.
  const std::uint64_t rest = options.count > total ? options.count - total : 0;
  for (std::size_t i = 0; i < R; ++i) run(random[i], rest / R + (i < rest % R ? 1 : 0));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("  %s  %-44s %12" PRIu64 " args %8" PRIu64 " mismatches  (%.1f s)\n", name, "total",
              total, tally.mismatches.load(), seconds);
  for (const Mismatch& m : tally.examples) {
    std::printf("    %s(%a) = %a, platform %a\n", name, m.x, m.got, m.want);
  }
  return tally.mismatches;
}

// ---- timing -------------------------------------------------------------------

template <class Fn>
double NsPerElement(const std::vector<double>& args, std::vector<double>& out, Fn fn) {
  double best = 1e300;
  for (int rep = 0; rep < 7; ++rep) {
    const auto start = std::chrono::steady_clock::now();
    for (int pass = 0; pass < 50; ++pass) fn(args, out);
    const double ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    best = std::min(best, ns / (50.0 * args.size()));
  }
  return best;
}

template <class VectorFn>
void BenchOne(const char* name, double lo, double hi, VectorFn vector_fn,
              double (*scalar)(double)) {
  std::vector<double> args(4096), out(4096);
  for (std::size_t i = 0; i < args.size(); ++i) args[i] = Uniform(Hash(8, i), lo, hi);
  const double vec = NsPerElement(args, out, [&](const auto& a, auto& o) {
    for (std::size_t i = 0; i < a.size(); i += N) {
      detail::Vec<N> x;
      std::memcpy(&x, &a[i], sizeof x);
      const detail::Vec<N> y = vector_fn(x);
      std::memcpy(&o[i], &y, sizeof y);
    }
  });
  const double sca = NsPerElement(args, out, [&](const auto& a, auto& o) {
    for (std::size_t i = 0; i < a.size(); ++i) o[i] = scalar(a[i]);
  });
  std::printf("  %s on [%g, %g]: vector %.2f ns, platform per lane %.2f ns, ratio %.2fx\n", name,
              lo, hi, vec, sca, sca / vec);
}

double PlatformExp(double x) {
  return std::exp(x);
}
double PlatformLog(double x) {
  return std::log(x);
}

// Arguments on which the algorithm without fused multiply-adds differs from
// the platform, as source lines for the self-check's battery.
template <class UnfusedFn, class ScalarFn>
void PrintFmaSensitive(const char* name, int wanted, double lo, double hi, std::uint64_t stream,
                       UnfusedFn unfused, ScalarFn scalar_fn) {
  std::printf("  // %s, on [%g, %g]\n", name, lo, hi);
  int found = 0;
  std::uint64_t tried = 0;
  for (std::uint64_t i = 0; found < wanted; i += N) {
    detail::Vec<N> x;
    for (int l = 0; l < N; ++l) x[l] = Uniform(Hash(stream, i + l), lo, hi);
    const detail::Vec<N> y = unfused(x);
    tried += N;
    for (int l = 0; l < N && found < wanted; ++l) {
      if (Bits(y[l]) != Bits(scalar_fn(x[l]))) {
        std::printf("    %a,\n", x[l]);
        ++found;
      }
    }
  }
  std::printf("  // %d of %" PRIu64 " arguments differ without fusion\n", found, tried);
}

}  // namespace

// One kernel's run; returns its mismatch count.
std::uint64_t RunIdentity(const identity::Options& options) {
  const auto exp_fn = [](detail::Vec<N> x) { return detail::Exp<N>(x); };
  const auto log_fn = [](detail::Vec<N> x) { return detail::Log<N>(x); };
  if (options.bench) {
    BenchOne("exp", -10.0, 1.0, exp_fn, PlatformExp);
    BenchOne("exp", -700.0, 700.0, exp_fn, PlatformExp);
    BenchOne("log", 0.5, 2.0, log_fn, PlatformLog);
    BenchOne("log", 1e-3, 1e3, log_fn, PlatformLog);
    return 0;
  }
  if (options.fma_sensitive > 0) {
    const int k = options.fma_sensitive;
    const auto exp_unfused = [](detail::Vec<N> x) { return detail::Exp<N, false>(x); };
    const auto log_unfused = [](detail::Vec<N> x) { return detail::Log<N, false>(x); };
    PrintFmaSensitive("exp", k, -700.0, 700.0, 9, exp_unfused, PlatformExp);
    PrintFmaSensitive("log", k / 2, 1e-3, 1e3, 10, log_unfused, PlatformLog);
    PrintFmaSensitive("log", k - k / 2, 0.9375, 1.0647, 11, log_unfused, PlatformLog);
    return 0;
  }
  const bool self_check = VectorMathMatchesPlatform();
  std::printf("  self-check (VectorMathMatchesPlatform): %s\n", self_check ? "match" : "MISMATCH");
  // The battery must fail the same algorithm without fused multiply-adds.
  detail::Battery battery;
  detail::FillExpBattery(battery);
  const auto exp_unfused = [](detail::Vec<N> x) { return detail::Exp<N, false>(x); };
  const bool exp_caught = !detail::BatteryMatches<N>(battery, exp_unfused, PlatformExp);
  battery.count = 0;
  detail::FillLogBattery(battery);
  const auto log_unfused = [](detail::Vec<N> x) { return detail::Log<N, false>(x); };
  const bool log_caught = !detail::BatteryMatches<N>(battery, log_unfused, PlatformLog);
  std::printf("  self-check rejects exp/log without fused multiply-adds: %s/%s\n",
              exp_caught ? "yes" : "NO", log_caught ? "yes" : "NO");
  std::uint64_t bad = (self_check ? 0 : 1) + (exp_caught ? 0 : 1) + (log_caught ? 0 : 1);
  bad += CheckFunction("exp", kExpStructured, kExpRandom, options, exp_fn, PlatformExp);
  bad += CheckFunction("log", kLogStructured, kLogRandom, options, log_fn, PlatformLog);
  return bad;
}

}  // namespace kv::KV_VECTOR_MATH_TARGET

#elif defined(KV_IDENTITY_MAIN)

#include "target.hpp"

// The parts define these inside the header's target namespace (inline).
KV_TARGET_BEGIN
#if defined(__x86_64__)
namespace vector_math_avx2_fma {
std::uint64_t RunIdentity(const identity::Options& options);
}
namespace vector_math_avx512_fma {
std::uint64_t RunIdentity(const identity::Options& options);
}
#endif
namespace vector_math_generic {
std::uint64_t RunIdentity(const identity::Options& options);
}
KV_TARGET_END

namespace {

struct Kernel {
  const char* name;
  bool supported;
  std::uint64_t (*run)(const identity::Options&);
};

[[noreturn]] void Usage() {
  std::fprintf(stderr,
               "usage: vector_math_identity [--count N] [--threads T] [--bench]"
               " [--fma-sensitive K]\n");
  std::exit(2);
}

identity::Options Parse(int argc, char** argv) {
  identity::Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--count" && has_value) {
      const double count = std::strtod(argv[++i], nullptr);
      if (!(count >= 1 && count <= 1e13)) Usage();
      options.count = static_cast<std::uint64_t>(count);
    } else if (arg == "--threads" && has_value) {
      options.threads = static_cast<unsigned>(std::atoi(argv[++i]));
    } else if (arg == "--fma-sensitive" && has_value) {
      options.fma_sensitive = std::atoi(argv[++i]);
    } else if (arg == "--bench") {
      options.bench = true;
    } else {
      Usage();
    }
  }
  if (options.threads == 0) options.threads = std::max(1u, std::thread::hardware_concurrency());
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const identity::Options options = Parse(argc, argv);
  const Kernel kernels[] = {
      {"baseline, 2 lanes (per-lane std::fma)", true, kv::vector_math_generic::RunIdentity},
#if defined(__x86_64__)
      {"AVX2+FMA, 4 lanes", __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"),
       kv::vector_math_avx2_fma::RunIdentity},
      {"AVX-512, 8 lanes", __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("fma"),
       kv::vector_math_avx512_fma::RunIdentity},
#endif
  };
  if (!options.bench && options.fma_sensitive == 0) {
    std::printf("vector exp/log against the platform: %" PRIu64
                " arguments per function per kernel, %u threads\n",
                options.count, options.threads);
  }
  std::uint64_t bad = 0;
  for (const Kernel& kernel : kernels) {
    if (!kernel.supported) {
      std::printf("kernel %s: not supported by this CPU, skipped\n", kernel.name);
      continue;
    }
    std::printf("kernel %s\n", kernel.name);
    bad += kernel.run(options);
  }
  if (options.bench || options.fma_sensitive > 0) return 0;
  std::printf(bad == 0 ? "identity: OK, zero mismatches\n" : "identity: FAILED\n");
  return bad == 0 ? 0 : 1;
}

#else
#error "compile with -DKV_IDENTITY_PART or -DKV_IDENTITY_MAIN (tools/vector_math_identity.sh)"
#endif
