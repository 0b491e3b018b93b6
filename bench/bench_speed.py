"""What the _array functions and the whole-book API cost per element, in one
table (arrays, chain, implied volatility, whole book, scaling, memory), beside
the NumPy/SciPy reference formulas and a straightforward C++ loop over the
same inline routines, whose bits must be kestrovane's on every element.
Nothing asserts on time: ratios sit beside their targets (bench/README.md).

Run:  python bench/bench_speed.py [--quick] [--markdown FILE]
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import math
import os
import resource
import subprocess
import sys
import time
import tracemalloc
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import _common  # noqa: E402
import kestrovane  # noqa: E402
import numpy as np  # noqa: E402
from kestrovane._quantities import MODELS, QUANTITIES, function_name  # noqa: E402

SEED, R, Q = 20240611, 0.03, 0.01
AGREEMENT = 1e-9  # a NumPy formula further than this from kestrovane gets a warning
HEADERS = ["quantity", "n", "kv ns/el", "NumPy/SciPy ns/el", "loop ns/el"]
HEADERS += ["NumPy/kv", "loop/kv", "target", "status", "notes"]


CPUINFO = Path("/proc/cpuinfo").read_text().splitlines()
CPU = set(next((line for line in CPUINFO if line.startswith("flags")), "").split())
AVX512 = {"avx512f", "avx512dq"} <= CPU
# Against NumPy: 2x, or 1.5x where NumPy has AVX-512 SIMD exp and log too.
NUMPY_TARGET = 1.5 if AVX512 else 2.0


@dataclass(frozen=True)
class Config:
    n: int
    expiries: tuple[float, ...]
    n_brentq: int
    sizes: tuple[int, ...]
    memory_n: int
    memory_quantities: tuple[str, ...]
    quantities: dict[str, tuple[str, ...]]
    repeat: int  # kestrovane/loop rounds
    numpy_repeat: int
    iv_repeat: int


FULL = Config(
    1_000_000, (1 / 52, 1 / 12, 0.25, 0.5, 0.75, 1.0, 1.5, 2.0), 2_000,
    (10**3, 10**4, 10**5, 10**6, 10**7), 10**7, ("delta", "price"),
    {model: QUANTITIES for model in MODELS}, 9, 9, 4,
)  # fmt: skip
QUICK = Config(
    100_000, (1 / 12, 0.25, 0.5, 1.0), 300, (10**3, 10**4, 10**5), 10**6, ("delta",),
    {"bsm": QUANTITIES, "bs": ("price", "delta"), "black76": ("price", "delta")}, 5, 3, 3,
)  # fmt: skip


# ---- the straightforward loop -------------------------------------------------------

LOOP_SOURCE = r"""
// One option at a time, in order, into a new malloc'd buffer; every NaN leaves
// as the default quiet NaN, as the module's do.
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "iv/implied_vol.hpp"
#include "models/black76.hpp"
#include "models/spot.hpp"

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
template <class Element>
double* Loop(std::int64_t n, Element element) {
  auto* out = static_cast<double*>(std::malloc(n > 0 ? n * sizeof(double) : 1));
  for (std::int64_t i = 0; out != nullptr && i < n; ++i) {
    const double x = element(i);
    out[i] = x == x ? x : kNaN;
  }
  return out;
}
}  // namespace

extern "C" {
void loop_free(double* p) { std::free(p); }
double* loop_bs_implied_volatility(const double* price, const double* S, const double* K,
                                   const double* t, double r, std::int64_t n) {
  return Loop(n, [=](std::int64_t i) {
    const kv::IvResult iv = kv::SolveImpliedVol(
        kv::OptionKind::Call, kv::BsmIvInputs(kv::OptionKind::Call, price[i], S[i], K[i], t[i], r, 0.0));
    return iv.ok ? iv.volatility : kNaN;
  });
}
"""
# X is S (bsm; bs with q = 0) or F (black76, which takes no q).
LOOP_FUNCTION = r"""
double* loop_{0}_{1}(const double* X, const double* K, const double* t, double r,
                     const double* sigma, double q, std::int64_t n) {{
  return Loop(n, [=](std::int64_t i) {{
    return kv::{2}<kv::greeks::{3}>(kv::OptionKind::Call, X[i], K[i], t[i], r, sigma[i]{4});
  }});
}}
"""


class Loops:
    """The loops through ctypes; each call returns the raw output pointer,
    to be released with `free` or read and released with `array`."""

    def __init__(self) -> None:
        parts = [LOOP_SOURCE]
        for quantity in QUANTITIES:
            greek = "".join(part.capitalize() for part in quantity.split("_"))
            for model, routine, q in (("bsm", "Bsm", ", q"), ("black76", "Black76", "")):
                parts.append(LOOP_FUNCTION.format(model, quantity, routine, greek, q))
        lib = _common.build_cxx("kvbench_loops", "".join(parts) + "}\n", (), ["iv"])
        p, d, i64 = ctypes.c_void_p, ctypes.c_double, ctypes.c_int64
        for fn in (getattr(lib, f"loop_{m}_{q}") for m in ("bsm", "black76") for q in QUANTITIES):
            fn.argtypes, fn.restype = [p, p, p, d, p, d, i64], p
        lib.loop_bs_implied_volatility.argtypes = [p, p, p, p, d, i64]
        lib.loop_bs_implied_volatility.restype = p
        lib.loop_free.argtypes, lib.loop_free.restype = [p], None
        self.lib, self.free = lib, lib.loop_free

    def closed_form(self, model: str, quantity: str, *arrays):
        """fn() over calls on (S or F, K, t, sigma); bs is bsm with q = 0."""
        fn = getattr(self.lib, f"loop_{'black76' if model == 'black76' else 'bsm'}_{quantity}")
        X, K, t, sigma = (a.ctypes.data for a in arrays)
        q = Q if model == "bsm" else 0.0
        return lambda: fn(X, K, t, R, sigma, q, len(arrays[0]))

    def implied_volatility(self, price, S, K, t):
        args = [a.ctypes.data for a in (price, S, K, t)]
        return lambda: self.lib.loop_bs_implied_volatility(*args, R, len(price))

    def array(self, out: int, n: int) -> np.ndarray:
        try:
            return np.ctypeslib.as_array((ctypes.c_double * n).from_address(out)).copy()
        finally:
            self.free(out)


def self_check() -> str:
    """The module's vector exp/log self-check, built here for the widest
    kernel this processor runs and run against this process's exp and log."""
    if "fma" not in CPU:
        return "not run (no x86 FMA): the array kernels call the platform's exp and log"
    name = "avx512" if AVX512 else "avx2"
    flags = [f"-DKV_TARGET={name}", "-mavx2", "-mfma"] + ["-mavx512f", "-mavx512dq"] * AVX512
    source = '#include "simd/vector_math.hpp"\n'
    source += 'extern "C" int check() { return kv::VectorMathMatchesPlatform(); }\n'
    try:
        lib = _common.build_cxx(f"kvbench_selfcheck_{name}", source, flags)
    except SystemExit as failure:  # the headers changed under the bench: say so, go on
        return f"not built ({str(failure).splitlines()[0]})"
    if lib.check():
        return f"passes ({name} kernel): the array kernels use the vector exp and log"
    return f"FAILS ({name} kernel): the array kernels fall back to the platform's exp and log"


# ---- measuring ----------------------------------------------------------------------


def random_options(n: int, seed: int = SEED):
    rng = np.random.default_rng(seed)
    return tuple(rng.uniform(lo, hi, n) for lo, hi in ((50, 150), (50, 150), (0.05, 2), (0.05, 1)))


def kv_closed_form(model: str, quantity: str, S, K, t, sigma):
    fn = getattr(kestrovane, function_name(model, quantity) + "_array")
    if model == "bsm":
        return lambda: fn("c", S, K, t, R, sigma, Q)
    return lambda: fn("c", S, K, t, R, sigma)


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    return a.shape == b.shape and bool(np.array_equal(a.view(np.uint64), b.view(np.uint64)))


def relative_diff(ours: np.ndarray, theirs: np.ndarray) -> float:
    """max |theirs - ours| / max(|ours|, 1e-6 max|ours|): relative, with a
    floor for values near zero; inf where one side is finite and the other not."""
    finite = np.isfinite(ours)
    if not np.array_equal(finite, np.isfinite(theirs)):
        return math.inf
    a, b = ours[finite], theirs[finite]
    floor = 1e-6 * float(np.max(np.abs(a), initial=0.0))
    if floor == 0.0:
        return float(np.max(np.abs(b), initial=0.0))
    return float(np.max(np.abs(b - a) / np.maximum(np.abs(a), floor)))


def progress(message: str) -> None:
    if sys.stderr.isatty():
        sys.stderr.write(f"\r\033[K{message}")


def cell(value, unit: str) -> str:
    return _common.fmt_ns(value) if not unit or value is None else f"{value:.1f}{unit}"


class Bench:
    def __init__(self, cfg: Config) -> None:
        self.cfg, self.loops, self.data = cfg, Loops(), random_options(cfg.n)
        self.table, self.missed = _common.Table(HEADERS, (0, 7, 9)), []

    def title(self, text: str) -> None:
        self.table.rows.append(text)

    def warn(self, text: str) -> None:
        self.table.rows.append(f"WARNING: {text}")
        self.missed.append(text)

    def row(self, label, n, kv, numpy, loop, target="-", met=None, notes="", ratio=None, unit=""):
        """kv, numpy and loop in ns per element (or in `unit`); NumPy/kv is
        numpy / kv unless `ratio` is given."""
        ratio = ratio if ratio is not None or not numpy or not kv else numpy / kv
        if met is False:
            self.missed.append(f"{label} ({target})")
        status = "-" if met is None else ("meets" if met else "misses")
        loop_ratio = loop / kv if loop and kv else None
        self.table.add(label, n if isinstance(n, str) else f"{n:,}", cell(kv, unit))
        self.table.rows[-1] += [cell(numpy, unit), cell(loop, unit), _common.fmt_ratio(ratio)]
        self.table.rows[-1] += [_common.fmt_ratio(loop_ratio), target, status, notes]

    def ns(self, cases: dict, repeat: int, elements: int) -> dict[str, float]:
        seconds = _common.best_seconds(cases, repeat)
        return {label: value / elements * 1e9 for label, value in seconds.items()}

    def against_loop(self, kv_call, loop_call, repeat: int, n: int):
        """Outputs compared (also the warm-up), then kv and the loop in alternating rounds."""
        ours, theirs = kv_call(), self.loops.array(loop_call(), n)
        notes = "bits = loop" if same_bits(ours, theirs) else "bits DIFFER from loop"
        ns = self.ns({"kv": (kv_call, None), "loop": (loop_call, self.loops.free)}, repeat, n)
        return ours, theirs, ns, notes

    def closed_form(self, model, quantity, arrays, label, loop_target, numpy_target) -> None:
        progress(f"{label} ...")
        n, cfg = len(arrays[0]), self.cfg
        kv_call = kv_closed_form(model, quantity, *arrays)
        loop_call = self.loops.closed_form(model, quantity, *arrays)
        ours, _, ns, notes = self.against_loop(kv_call, loop_call, cfg.repeat, n)
        kv, loop, numpy, met = ns["kv"], ns["loop"], None, None
        target = f"NumPy >= {numpy_target:g}x"
        target = f"loop >= {loop_target:.0f}x, {target}" if loop_target else target
        if _common.ndtr is not None:
            ref = _common.reference(model, quantity, R, Q)
            diff = relative_diff(ours, ref(*arrays))
            numpy = self.ns({"np": (lambda: ref(*arrays), None)}, cfg.numpy_repeat, n)["np"]
            notes += f"; NumPy {diff:.0e}"
            met = numpy / kv >= numpy_target and (not loop_target or loop / kv >= loop_target)
        self.row(label, n, kv, numpy, loop, target, met, notes)
        if "DIFFER" in notes:
            self.warn(f"{label}: kestrovane and the loop differ in some bits")
        if numpy and not diff <= AGREEMENT:
            self.warn(
                f"{label}: the NumPy formula is {diff:.1e} from kv; its time is not comparable"
            )

    # ---- sections -------------------------------------------------------------------

    def arrays(self) -> None:
        self.title(f"1. {self.cfg.n:,} random calls: price and Greeks (_array functions)")
        for model in ("bsm", "bs", "black76"):
            for quantity in self.cfg.quantities[model]:
                loop_target = 4.0 if quantity in ("price", "delta") else 3.0
                label = function_name(model, quantity) + "_array"
                self.closed_form(model, quantity, self.data, label, loop_target, NUMPY_TARGET)

    def chain(self) -> None:
        expiries = self.cfg.expiries
        per_expiry = self.cfg.n // len(expiries)
        t = np.repeat(np.array(expiries), per_expiry)
        K = np.tile(np.linspace(50.0, 150.0, per_expiry), len(expiries))
        m = np.log(K / 100.0)
        sigma = 0.2 - 0.1 * m + 0.3 * m * m / np.sqrt(t / 0.25 + 1.0)  # skewed smile, flatter later
        arrays = (np.full(len(t), 100.0), K, t, sigma)
        self.title(
            f"2. Option chain: {len(expiries)} expiries x {per_expiry:,} strikes in 50..150, S = 100, smile"
        )
        for model in ("bsm", "bs"):
            for quantity in ("price", "delta"):
                label = f"chain: {function_name(model, quantity)}_array"
                self.closed_form(model, quantity, arrays, label, None, 3.0)

    def implied_volatility(self) -> None:
        S, K, t, sigma = self.data
        n, label = len(S), "bs_implied_volatility_array"
        progress(f"{label} ...")
        price = kestrovane.bs_black_scholes_array("c", S, K, t, R, sigma)
        self.title(
            f"3. Implied volatility: {n:,} prices from bs_black_scholes_array at the random sigmas"
        )
        kv_call = lambda: kestrovane.bs_implied_volatility_array(price, S, K, t, R, "c")  # noqa: E731
        loop_call = self.loops.implied_volatility(price, S, K, t)
        ours, theirs, ns, notes = self.against_loop(kv_call, loop_call, self.cfg.iv_repeat, n)
        notes += f"; {int(np.isnan(theirs).sum()):,} NaN (solve failed); "
        notes += f"{int((np.abs(ours - sigma) <= 1e-8).sum()):,} within 1e-8 of sigma"
        met = ns["loop"] / ns["kv"] >= 3.0
        self.row(label, n, ns["kv"], None, ns["loop"], "loop >= 3x", met, notes)
        if "DIFFER" in notes:
            self.warn(f"{label}: kestrovane and the loop of the scalar solver differ in some bits")
        if _common.brentq is None:
            return
        progress("scipy.optimize.brentq ...")
        m = self.cfg.n_brentq
        args = [(float(price[i]), float(S[i]), float(K[i]), float(t[i]), R) for i in range(m)]

        def brentq_all():
            return np.array([_common.brentq_bs_implied_volatility(*a) for a in args])

        agree = int((np.abs(brentq_all() - ours[:m]) <= 1e-6).sum())
        numpy = self.ns({"np": (brentq_all, None)}, 2, m)["np"]
        notes, met = f"brentq within 1e-6 of kv on {agree:,} of {m:,}", numpy / ns["kv"] >= 10.0
        label += " vs brentq per option"
        self.row(label, f"{m:,}*", ns["kv"], numpy, None, "far ahead (>= 10x)", met, notes)

    def whole_book(self) -> None:
        """kv ns/el holds the whole-book call, NumPy/SciPy ns/el the call it is
        compared with, and NumPy/kv the ratio whole-book / comparison."""
        S, K, t, sigma = self.data
        n = len(S)
        self.title(
            f"4. Whole book: kestrovane.greeks and implied_volatility, {n:,} random options "
            "(NumPy/SciPy column: the comparison call; NumPy/kv: whole-book / comparison)"
        )
        rng = np.random.default_rng(SEED + 7)
        flags, rates = rng.random(n) < 0.5, rng.uniform(0.0, 0.06, n)
        one = dict(S=S, K=K, t=t, sigma=sigma, r=R, q=Q)
        price = kestrovane.bs_black_scholes_array("c", S, K, t, R, sigma)
        iv = dict(price=price, S=S, K=K, t=t, r=R, flag="c")
        cores = len(os.sched_getaffinity(0))
        gr, ivol = kestrovane.greeks, kestrovane.implied_volatility
        delta = kestrovane.bsm_delta_array
        threads = f"threads=None ({cores} cores) vs threads=1 (ratio: 1 / None)"
        price_call = lambda: kestrovane.bsm_black_scholes_merton_array("c", S, K, t, R, sigma, Q)  # noqa: E731
        previous = gr("bsm", flag="c", threads=1, **one)
        rows = [  # label, target: at most (> 0), at least (< 0) or none; whole-book call, comparison
            ("greeks, all 16 into new arrays, threads=1 vs one bsm_black_scholes_merton_array", None,
             lambda: gr("bsm", flag="c", threads=1, **one), price_call),
            ("greeks, all 16 into out=, threads=1 vs one bsm_black_scholes_merton_array", 3.0,
             lambda: gr("bsm", flag="c", threads=1, out=previous, **one), price_call),
            ("greeks delta, scalar r and q, one flag vs bsm_delta_array", 1.15,
             lambda: gr("bsm", flag="c", quantities=["delta"], threads=1, **one),
             lambda: delta("c", S, K, t, R, sigma, Q)),
            ("greeks delta, per-option flags (bool) and r vs bsm_delta_array", 1.25,
             lambda: gr("bsm", flag=flags, quantities=["delta"], threads=1, **{**one, "r": rates}),
             lambda: delta("c", S, K, t, R, sigma, Q)),
            ("implied_volatility, threads=1 vs bs_implied_volatility_array", 1.1,
             lambda: ivol("bs", threads=1, **iv),
             lambda: kestrovane.bs_implied_volatility_array(price, S, K, t, R, "c")),
            (f"greeks, all 16, {threads}", -1.8,
             lambda: gr("bsm", flag="c", threads=1, **one), lambda: gr("bsm", flag="c", **one)),
            (f"implied_volatility, {threads}", -1.8,
             lambda: ivol("bs", threads=1, **iv), lambda: ivol("bs", **iv)),
        ]  # fmt: skip
        for label, limit, book, other in rows:
            progress(f"{label} ...")
            book(), other()  # warm-up
            repeat = self.cfg.iv_repeat if "implied" in label else self.cfg.repeat
            ns = self.ns({"book": (book, None), "other": (other, None)}, repeat, n)
            ratio = ns["book"] / ns["other"]
            if limit is None:
                target, met = "-", None
            else:
                met = ratio >= -limit if limit < 0 else ratio <= limit
                target = f"{'>=' if limit < 0 else '<='} {abs(limit):.2f}x"
            self.row(label, n, ns["book"], ns["other"], None, target, met, "", ratio)

        progress("whole-book peak memory ...")
        # In a fresh process, where no freed memory is at hand.
        probe = run_memory_probe("book", "all", n)
        peak, outputs = probe["traced"], probe["output"]
        label, notes = "greeks, all 16, scalar S r q: peak memory / outputs", "tracemalloc"
        notes += f" (VmHWM {probe['rss'] / 1e6:.0f} MB)"
        notes, met = f"outputs {outputs / 1e6:.0f} MB; {notes}", peak <= outputs * 1.1
        self.row(label, n, peak / 1e6, None, None, "<= 1.10x", met, notes, peak / outputs, " MB")

    def scaling(self) -> None:
        self.title("5. Scaling: bsm_delta_array ns/element by n")
        largest = max(self.cfg.sizes)
        data = self.data if largest <= self.cfg.n else random_options(largest, SEED + 1)
        per_element = []
        for n in self.cfg.sizes:
            progress(f"bsm_delta_array n={n:,} ...")
            arrays = tuple(np.ascontiguousarray(a[:n]) for a in data)
            calls, free = max(1, 1_000_000 // n), self.loops.free
            kv = kv_closed_form("bsm", "delta", *arrays)
            loop = self.loops.closed_form("bsm", "delta", *arrays)

            def kv_round():  # the round's last output is released after the clock stops
                for _ in range(calls - 1):
                    kv()
                return kv()

            def loop_round():
                for _ in range(calls - 1):
                    free(loop())
                return loop()

            kv()
            repeat = self.cfg.repeat if n < 10**7 else 3
            ns = self.ns({"kv": (kv_round, None), "loop": (loop_round, free)}, repeat, n * calls)
            per_element.append(ns["kv"])
            faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
            kv()  # fresh pages for the output (first-touch faults) are part of the cost
            faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
            notes = f"1 call per round; {faults:,} page faults per call"
            notes = f"{calls:,} calls per round" if calls > 1 else notes
            label = f"bsm_delta_array, n = 10^{round(math.log10(n))}"
            self.row(label, n, ns["kv"], None, ns["loop"], notes=notes)
        spread = max(per_element) / min(per_element)
        label, notes = "bsm_delta_array, max/min ns/el over n", f"max/min = {spread:.2f}x"
        self.row(label, "-", None, None, None, "flat: <= 1.25x", spread <= 1.25, notes)

    def memory(self) -> None:
        n = self.cfg.memory_n
        self.title(
            f"6. Peak memory beyond the inputs, n = {n:,} (MB in place of ns/element; each in a fresh process)"
        )
        for quantity in self.cfg.memory_quantities:
            name = function_name("bsm", quantity) + "_array"
            progress(f"memory: {name} ...")
            ours = run_memory_probe("kv", quantity, n)
            theirs = run_memory_probe("numpy", quantity, n) if _common.ndtr is not None else None
            kv_mb, out_mb = ours["rss"] / 1e6, ours["output"] / 1e6
            notes = f"inputs {ours['inputs'] / 1e6:.0f} MB; kv: VmHWM "
            notes += f"(tracemalloc sees {ours['traced'] / 1e6:.1f} MB)"
            if theirs:
                notes += f"; NumPy: tracemalloc (VmHWM {theirs['rss'] / 1e6:.0f} MB)"
            numpy = theirs["traced"] / 1e6 if theirs else None
            target, met = f"kv = one output ({out_mb:.0f} MB)", kv_mb <= out_mb * 1.02 + 1.0
            self.row(f"peak memory: {name}", n, kv_mb, numpy, None, target, met, notes, None, " MB")


# ---- peak memory, in a fresh process per measurement ------------------------------


def _status_kib(name: str) -> int:
    with open("/proc/self/status") as status:
        return int(next(line for line in status if line.startswith(name + ":")).split()[1])


def memory_probe(which: str, quantity: str, n: int) -> dict:
    """Build the inputs, make one small call (imports, NumPy's C-API lookup),
    reset the resident-set high-water mark (Linux), call once and report the
    peak beyond what was resident before, and tracemalloc's peak, which sees
    NumPy's arrays and the whole-book outputs but not the _array functions' output."""
    arrays = random_options(n)

    def book(S, K, t, sigma):  # every quantity, S a scalar
        return kestrovane.greeks("bsm", flag="c", S=100.0, K=K, t=t, r=R, sigma=sigma, q=Q)

    kv = lambda *a: kv_closed_form("bsm", quantity, *a)()  # noqa: E731
    call = {"kv": kv, "book": book}.get(which) or _common.reference("bsm", quantity, R, Q)
    call(*(a[:16].copy() for a in arrays))
    gc.collect()
    tracemalloc.start()
    rss = _status_kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # VmHWM := VmRSS
    traced = tracemalloc.get_traced_memory()[0]
    tracemalloc.reset_peak()
    out = call(*arrays)
    traced = tracemalloc.get_traced_memory()[1] - traced
    rss = (_status_kib("VmHWM") - rss) * 1024
    output = sum(a.nbytes for a in out.values()) if isinstance(out, dict) else out.nbytes
    return {"rss": rss, "traced": traced, "output": output, "inputs": 4 * arrays[0].nbytes}


def run_memory_probe(which: str, quantity: str, n: int) -> dict:
    argv = [sys.executable, __file__, "--memory-probe", which, quantity, str(n)]
    result = subprocess.run(argv, capture_output=True, text=True)
    if result.returncode != 0:
        raise SystemExit(f"memory probe ({which}, {quantity}, {n}) failed:\n{result.stderr}")
    return json.loads(result.stdout.splitlines()[-1])


# ---- main -----------------------------------------------------------------------------


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="n = 100,000 and fewer rows (~15 s)")
    parser.add_argument("--markdown", metavar="FILE", type=Path, help="also write Markdown")
    sections = ("arrays", "chain", "implied_volatility", "whole_book", "scaling", "memory")
    parser.add_argument("--only", choices=sections, action="append", help="these sections alone")
    parser.add_argument("--memory-probe", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_probe:
        which, quantity, n = args.memory_probe
        print(json.dumps(memory_probe(which, quantity, int(n))))
        return
    cfg, started = (QUICK if args.quick else FULL), time.perf_counter()
    progress("building the loop library ...")
    bench, check = Bench(cfg), self_check()
    for section in args.only or sections:
        getattr(bench, section)()
    progress("")
    preamble = (
        f"{_common.describe_run()}. Calls (flag 'c'); random options: S, K in [50, 150], t in [0.05, 2], "
        f"sigma in [0.05, 1], r = {R}, q = {Q} (bsm), seed {SEED}. Minimum ns per element over interleaved "
        f"rounds: {cfg.repeat} (kestrovane and loop alternating), {cfg.numpy_repeat} (NumPy/SciPy); "
        f"implied volatility {cfg.iv_repeat}, 10^7 elements 3."
    )
    notes = [
        "NumPy/kv and loop/kv above 1 mean kestrovane is faster.",
        f"loop: the same inline routine once per element in a bare C++ loop ({' '.join(_common.MODULE_CXX_FLAGS)}); "
        "'bits = loop': every element's bits agree (NaN as the default quiet NaN).",
        "'NumPy 3e-16' (notes): the NumPy formula's largest max |NumPy - kv| / max(|kv|, 1e-6 max|kv|); "
        f"above {AGREEMENT:.0e} the row gets a warning. NumPy target "
        f"{NUMPY_TARGET:g}x: {'AVX-512' if AVX512 else 'no AVX-512'} on this machine.",
        f"* per-option scipy.optimize.brentq on [1e-6, 5], first {cfg.n_brentq:,} options only.",
        "Scaling: an output of 10^7 doubles is fresh memory from the system on every call; kestrovane asks "
        "for huge pages for outputs of 32 MiB and more (about a hundred page faults, not 19,500).",
        f"Vector exp/log self-check: {check}. A build with -Ccmake.define.KESTROVANE_PLATFORM_MATH=ON "
        "forces the platform's functions lane by lane.",
        f"Load average at end {os.getloadavg()[0]:.2f}; the run took {time.perf_counter() - started:.0f} s.",
    ]
    print(f"\n{preamble}\n{bench.table.text()}\n")
    print("\n".join(notes))
    if bench.missed:
        print("Targets missed: " + "; ".join(bench.missed))
    if args.markdown:
        items = "\n".join("- " + ("\\" + note if note.startswith("*") else note) for note in notes)
        args.markdown.write_text(f"{preamble}\n\n{bench.table.markdown()}\n{items}\n")
        print(f"Markdown written to {args.markdown}")


if __name__ == "__main__":
    main()
