"""Cost per element of the _array functions, against a bare C++ loop over the
same inline routines and against a vectorised NumPy/SciPy formula.

The bare loop is a small shared library built here from the project's own
headers (src/models, src/iv) with the module's compiler flags, loaded with
ctypes and handed pointers to the NumPy buffers. It evaluates one option at a
time and, like the module, writes into a freshly malloc'd output buffer. The
ratio is the module's whole call against that plain loop; every element goes
through the same IEEE operations either way, so the outputs must agree bit for
bit, and the script checks.

Run:  python bench/bench_arrays.py
"""

from __future__ import annotations

import ctypes
import math
import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _common  # noqa: E402

import numpy as np  # noqa: E402

import kestrovane  # noqa: E402

try:
    from scipy.optimize import brentq
    from scipy.special import ndtr
except ImportError:  # SciPy is only a yardstick
    brentq = ndtr = None

N = 1_000_000
N_BRENTQ = 2_000
R = 0.03
Q = 0.01
SEED = 20240611
# Rounds per quantity; the minimum is reported. Closed forms take ~20-70 ms a
# call, the implied-volatility solve ~0.7 s.
CLOSED_FORM_REPEATS = 15
IV_REPEATS = 7

BARE_SOURCE = r"""
// Bare element loops over the module's own inline routines, one option at a
// time. Results leave as the module documents them: every NaN as the default
// quiet NaN.
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <type_traits>

#include "iv/implied_vol.hpp"
#include "models/spot.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

kv::OptionKind Kind(int put) { return put ? kv::OptionKind::Put : kv::OptionKind::Call; }

double Canonical(double x) { return x == x ? x : kNaN; }

// out[i] = element(i) for i in [0, n), into a new malloc'd buffer.
template <class Element>
double* Loop(std::int64_t n, Element element) {
  auto* out = static_cast<double*>(std::malloc(n > 0 ? static_cast<std::size_t>(n) * sizeof(double) : 1));
  if (out == nullptr) return nullptr;
  for (std::int64_t i = 0; i < n; ++i) out[i] = Canonical(element(i));
  return out;
}

// BsmImpliedVol either solves at once (an IvResult) or states the problem in
// forward terms for SolveImpliedVol; either way, one scalar solve per option.
template <class Stated>
double Volatility(kv::OptionKind kind, const Stated& stated) {
  if constexpr (std::is_same_v<Stated, kv::IvResult>) {
    return stated.ok ? stated.volatility : kNaN;
  } else {
    const kv::IvResult result = kv::SolveImpliedVol(kind, stated);
    return result.ok ? result.volatility : kNaN;
  }
}

}  // namespace

extern "C" {

double* bare_bsm_price(const double* S, const double* K, const double* t, double r,
                       const double* sigma, double q, std::int64_t n, int put) {
  const kv::OptionKind kind = Kind(put);
  return Loop(n, [=](std::int64_t i) { return kv::BsmPrice(kind, S[i], K[i], t[i], r, sigma[i], q); });
}

double* bare_bsm_delta(const double* S, const double* K, const double* t, double r,
                       const double* sigma, double q, std::int64_t n, int put) {
  const kv::OptionKind kind = Kind(put);
  return Loop(n, [=](std::int64_t i) { return kv::BsmDelta(kind, S[i], K[i], t[i], r, sigma[i], q); });
}

double* bare_bsm_ultima(const double* S, const double* K, const double* t, double r,
                        const double* sigma, double q, std::int64_t n, int put) {
  const kv::OptionKind kind = Kind(put);
  return Loop(n, [=](std::int64_t i) { return kv::BsmUltima(kind, S[i], K[i], t[i], r, sigma[i], q); });
}

// Black-Scholes implied volatility (q = 0.0); a failed solve is NaN.
double* bare_bs_implied_vol(const double* price, const double* S, const double* K,
                            const double* t, double r, std::int64_t n, int put) {
  const kv::OptionKind kind = Kind(put);
  return Loop(n, [=](std::int64_t i) {
    return Volatility(kind, kv::BsmImpliedVol(kind, price[i], S[i], K[i], t[i], r, 0.0));
  });
}

void bare_free(double* p) { std::free(p); }

}  // extern "C"
"""


class BareLoops:
    """The bare loops, called with NumPy arrays; each call returns the raw
    output pointer (release it with `free`, read it with `to_array`)."""

    def __init__(self) -> None:
        compiler = os.environ.get("CXX", "g++")
        command = [compiler, *_common.MODULE_CXX_FLAGS, "-shared", "-fPIC",
                   f"-I{_common.SOURCE_DIR}", str(_common.SOURCE_DIR / "models" / "normal.cpp")]
        path = _common.build_shared_library(
            "kvbench_bare", BARE_SOURCE, ".cpp", command,
            depends_on=_common.model_sources())
        lib = ctypes.CDLL(str(path))
        p, d, i64, i32 = ctypes.c_void_p, ctypes.c_double, ctypes.c_int64, ctypes.c_int
        for name in ("bare_bsm_price", "bare_bsm_delta", "bare_bsm_ultima"):
            fn = getattr(lib, name)
            fn.argtypes = [p, p, p, d, p, d, i64, i32]
            fn.restype = p
        lib.bare_bs_implied_vol.argtypes = [p, p, p, p, d, i64, i32]
        lib.bare_bs_implied_vol.restype = p
        lib.bare_free.argtypes = [p]
        lib.bare_free.restype = None
        self.lib = lib

    @staticmethod
    def _ptr(a: np.ndarray) -> int:
        assert a.dtype == np.float64 and a.flags.c_contiguous
        return a.ctypes.data

    def spot(self, name: str, S, K, t, r, sigma, q) -> int:
        out = getattr(self.lib, name)(self._ptr(S), self._ptr(K), self._ptr(t), r,
                                      self._ptr(sigma), q, len(S), 0)
        if not out:
            raise MemoryError
        return out

    def implied_vol(self, price, S, K, t, r) -> int:
        out = self.lib.bare_bs_implied_vol(self._ptr(price), self._ptr(S), self._ptr(K),
                                           self._ptr(t), r, len(price), 0)
        if not out:
            raise MemoryError
        return out

    def free(self, out: int) -> None:
        self.lib.bare_free(out)

    def to_array(self, out: int, n: int) -> np.ndarray:
        """Copies the output into a NumPy array and frees it."""
        try:
            return np.frombuffer((ctypes.c_double * n).from_address(out), dtype=np.float64).copy()
        finally:
            self.free(out)


# ---- NumPy/SciPy yardsticks (calls), as a user would write them ----------------

def _d1(S, K, t, r, sigma, q):
    sd = sigma * np.sqrt(t)
    return (np.log(S / K) + (r - q + 0.5 * sigma**2) * t) / sd, sd


def numpy_price(S, K, t, r, sigma, q):
    d1, sd = _d1(S, K, t, r, sigma, q)
    d2 = d1 - sd
    return S * np.exp(-q * t) * ndtr(d1) - K * np.exp(-r * t) * ndtr(d2)


def numpy_delta(S, K, t, r, sigma, q):
    d1, _ = _d1(S, K, t, r, sigma, q)
    return np.exp(-q * t) * ndtr(d1)


def numpy_ultima(S, K, t, r, sigma, q):
    d1, sd = _d1(S, K, t, r, sigma, q)
    d2 = d1 - sd
    vega = S * np.exp(-q * t) * np.sqrt(t) * np.exp(-0.5 * d1 * d1) / math.sqrt(2.0 * math.pi)
    d1d2 = d1 * d2
    return -vega / sigma**2 * (d1d2 * (1.0 - d1d2) + d1 * d1 + d2 * d2)


def _scalar_bs_call(S, K, t, r, sigma):
    sd = sigma * math.sqrt(t)
    d1 = (math.log(S / K) + (r + 0.5 * sigma * sigma) * t) / sd
    return S * ndtr(d1) - K * math.exp(-r * t) * ndtr(d1 - sd)


def brentq_implied_vol(price, S, K, t, r):
    out = np.empty(len(price))
    for i in range(len(price)):
        p, s, k, tt = float(price[i]), float(S[i]), float(K[i]), float(t[i])
        try:
            out[i] = brentq(lambda v: _scalar_bs_call(s, k, tt, r, v) - p, 1e-6, 5.0)
        except ValueError:  # the bracket does not straddle the price
            out[i] = math.nan
    return out


def scaled_max_diff(ours: np.ndarray, theirs: np.ndarray) -> float:
    """max |difference| / max |value| over the elements both give finite."""
    both = np.isfinite(ours) & np.isfinite(theirs)
    scale = np.max(np.abs(ours[both]))
    return float(np.max(np.abs(ours[both] - theirs[both])) / scale) if scale else 0.0


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    return a.shape == b.shape and bool(np.array_equal(a.view(np.uint64), b.view(np.uint64)))


def main() -> None:
    _common.print_environment()
    bare = BareLoops()

    rng = np.random.default_rng(SEED)
    S = rng.uniform(50.0, 150.0, N)
    K = rng.uniform(50.0, 150.0, N)
    t = rng.uniform(0.05, 2.0, N)
    sigma = rng.uniform(0.05, 1.0, N)
    price = kestrovane.bs_black_scholes_array("c", S, K, t, R, sigma)
    sub = slice(0, N_BRENTQ)
    sub_args = (price[sub].copy(), S[sub].copy(), K[sub].copy(), t[sub].copy())

    kv = kestrovane
    # label: (kestrovane call, bare-loop call, NumPy/SciPy call or None, repeats)
    quantities = {
        "bsm_black_scholes_merton_array": (
            lambda: kv.bsm_black_scholes_merton_array("c", S, K, t, R, sigma, Q),
            lambda: bare.spot("bare_bsm_price", S, K, t, R, sigma, Q),
            (lambda: numpy_price(S, K, t, R, sigma, Q)) if ndtr else None, CLOSED_FORM_REPEATS),
        "bsm_delta_array": (
            lambda: kv.bsm_delta_array("c", S, K, t, R, sigma, Q),
            lambda: bare.spot("bare_bsm_delta", S, K, t, R, sigma, Q),
            (lambda: numpy_delta(S, K, t, R, sigma, Q)) if ndtr else None, CLOSED_FORM_REPEATS),
        "bsm_ultima_array": (
            lambda: kv.bsm_ultima_array("c", S, K, t, R, sigma, Q),
            lambda: bare.spot("bare_bsm_ultima", S, K, t, R, sigma, Q),
            (lambda: numpy_ultima(S, K, t, R, sigma, Q)) if ndtr else None, CLOSED_FORM_REPEATS),
        "bs_implied_volatility_array": (
            lambda: kv.bs_implied_volatility_array(price, S, K, t, R, "c"),
            lambda: bare.implied_vol(price, S, K, t, R),
            (lambda: brentq_implied_vol(*sub_args, R)) if brentq else None, IV_REPEATS),
    }

    # One untimed run of each: warms up, and gives the outputs to compare.
    identical: dict[str, bool] = {}
    agreement: dict[str, str] = {}
    kv_outputs: dict[str, np.ndarray] = {}
    for label, (kv_call, bare_call, np_call, _) in quantities.items():
        ours = kv_call()
        kv_outputs[label] = ours
        identical[label] = same_bits(ours, bare.to_array(bare_call(), N))
        if np_call is not None:
            theirs = np_call()
            if label == "bs_implied_volatility_array":
                agree = np.abs(theirs - ours[sub]) <= 1e-6
                agreement[label] = (f"brentq within 1e-6 of kestrovane on "
                                    f"{int(agree.sum())} of {N_BRENTQ}")
            else:
                agreement[label] = f"max|diff|/max|value| = {scaled_max_diff(ours, theirs):.1e}"

    # kestrovane and the bare loop alternate; the NumPy yardstick, whose many
    # temporaries churn the heap, is timed on its own so that it cannot hand
    # fresh (page-faulting) output memory to one side only.
    seconds: dict[str, dict[str, float]] = {}
    for label, (kv_call, bare_call, np_call, repeat) in quantities.items():
        seconds[label] = _common.best_seconds(
            {"kv": (kv_call, None), "bare": (bare_call, bare.free)}, repeat)
        if np_call is not None:
            seconds[label] |= _common.best_seconds({"np": (np_call, None)}, max(3, repeat // 2))

    headers = ["quantity", "n", "kestrovane ns/el", "bare loop ns/el", "NumPy/SciPy ns/el",
               "kv/bare", "target", "status", "NumPy/kv", "bit-identical"]
    rows = []
    for label, timing in seconds.items():
        kv_ns = timing["kv"] / N * 1e9
        bare_ns = timing["bare"] / N * 1e9
        np_n = N_BRENTQ if label == "bs_implied_volatility_array" else N
        np_ns = timing["np"] / np_n * 1e9 if "np" in timing else None
        kv_vs_bare = kv_ns / bare_ns
        rows.append([
            label, f"{N:,}", _common.fmt_ns(kv_ns), _common.fmt_ns(bare_ns),
            _common.fmt_ns(np_ns) + ("*" if np_ns is not None and np_n != N else ""),
            _common.fmt_ratio(kv_vs_bare), "<= 1.10x",
            "within" if kv_vs_bare <= 1.10 else "OVER",
            _common.fmt_ratio(_common.ratio(np_ns, kv_ns)),
            "yes" if identical[label] else "no",
        ])

    print()
    print(f"Arrays of {N:,} random calls (S, K in [50, 150], t in [0.05, 2], "
          f"sigma in [0.05, 1], r={R}, q={Q}; seed {SEED}); ns per element, "
          f"minimum of {CLOSED_FORM_REPEATS} interleaved repeats "
          f"({IV_REPEATS} for implied volatility)")
    _common.print_table(headers, rows)
    print()
    print(f"bit-identical: {'yes' if all(identical.values()) else 'no'} "
          "(kestrovane against the bare loop, every element of every quantity)")
    ivs = kv_outputs["bs_implied_volatility_array"]
    failed = int(np.isnan(ivs).sum())
    close = int((np.abs(ivs - sigma) <= 1e-8).sum())
    print(f"implied volatility: {failed:,} of {N:,} solves gave NaN (prices too small to "
          f"invert); {close:,} recover sigma within 1e-8")
    if brentq is None:
        print("NumPy/SciPy: n/a (SciPy not installed)")
    else:
        print(f"* per-option scipy.optimize.brentq on [1e-6, 5] over the first {N_BRENTQ:,} "
              "options only: a yardstick, not a like-for-like figure")
        print("NumPy/SciPy against kestrovane (sanity of the yardsticks): "
              + "; ".join(f"{k.removesuffix('_array')}: {v}" for k, v in agreement.items()))


if __name__ == "__main__":
    main()
