"""Helpers shared by the benchmark scripts: building small native libraries
into bench/_build/ (cached by a digest of everything that goes into them),
interleaved minimum-of-repeats timing, and table printing.

Nothing here asserts on time: the scripts only measure and print.
"""

from __future__ import annotations

import gc
import hashlib
import importlib.machinery
import importlib.util
import os
import shlex
import subprocess
import sys
import time
import timeit
from collections.abc import Callable, Iterable, Sequence
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
REPO_DIR = BENCH_DIR.parent
SOURCE_DIR = REPO_DIR / "src"
BUILD_DIR = BENCH_DIR / "_build"

# The flags the extension module itself is built with (CMake Release adds
# -O3 -DNDEBUG; the project adds the two floating-point ones).
MODULE_CXX_FLAGS = ["-std=c++20", "-O3", "-DNDEBUG", "-ffp-contract=off", "-fno-fast-math"]


# ---- building ---------------------------------------------------------------

_compiler_ids: dict[str, str] = {}


def _compiler_identity(compiler: str) -> str:
    """First line of `compiler --version`, so a compiler upgrade forces a rebuild."""
    if compiler not in _compiler_ids:
        try:
            out = subprocess.run(
                [compiler, "--version"], capture_output=True, text=True, check=False
            ).stdout
        except OSError as exc:
            raise SystemExit(f"cannot run the compiler {compiler!r}: {exc}") from exc
        _compiler_ids[compiler] = out.splitlines()[0] if out else compiler
    return _compiler_ids[compiler]


def _write_atomically(path: Path, data: bytes) -> None:
    tmp = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    tmp.write_bytes(data)
    os.replace(tmp, path)


def build_shared_library(
    name: str,
    source: str,
    source_suffix: str,
    command: Sequence[str],
    output_suffix: str = ".so",
    depends_on: Iterable[Path] = (),
) -> Path:
    """Compile `source` into bench/_build/<name><output_suffix> with
    `command + ['-o', out, src]`, unless the library there was built from the
    same source, command, compiler and dependency contents.

    The digest covers the text of every file in `depends_on` (headers the
    source includes), so an edit to them rebuilds the library too.
    """
    BUILD_DIR.mkdir(parents=True, exist_ok=True)
    digest = hashlib.sha256()
    digest.update(source.encode())
    digest.update("\0".join(command).encode())
    digest.update(_compiler_identity(command[0]).encode())
    for dep in sorted(set(depends_on)):
        digest.update(str(dep).encode())
        digest.update(dep.read_bytes())
    key = digest.hexdigest()

    out = BUILD_DIR / f"{name}{output_suffix}"
    stamp = BUILD_DIR / f"{name}.stamp"
    if out.exists() and stamp.exists() and stamp.read_text().strip() == key:
        return out

    src = BUILD_DIR / f"{name}{source_suffix}"
    _write_atomically(src, source.encode())
    tmp_out = BUILD_DIR / f".{name}.{os.getpid()}.tmp{output_suffix}"
    argv = [*command, "-o", str(tmp_out), str(src)]
    result = subprocess.run(argv, capture_output=True, text=True, check=False)
    if result.returncode != 0:
        tmp_out.unlink(missing_ok=True)
        raise SystemExit(
            f"building {name} failed:\n  {shlex.join(argv)}\n{result.stdout}{result.stderr}"
        )
    os.replace(tmp_out, out)
    _write_atomically(stamp, (key + "\n").encode())
    return out


def header_files(*subdirs: str) -> list[Path]:
    """Every header under the given directories of src/."""
    files: list[Path] = []
    for sub in subdirs:
        files.extend(sorted((SOURCE_DIR / sub).rglob("*.hpp")))
    return files


def model_sources() -> list[Path]:
    """The model and solver headers, and the one source they need linked in
    (normal.cpp, the table NormCdf reads)."""
    return [*header_files("models", "iv"), SOURCE_DIR / "models" / "normal.cpp"]


def load_extension(module_name: str, path: Path):
    """Import a compiled CPython extension from an explicit path."""
    loader = importlib.machinery.ExtensionFileLoader(module_name, str(path))
    spec = importlib.util.spec_from_file_location(module_name, str(path), loader=loader)
    if spec is None:
        raise SystemExit(f"cannot load {path}")
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


# ---- timing -----------------------------------------------------------------


def best_ns_per_call(
    cases: dict[str, tuple[str, dict]], repeat: int = 9, seconds_per_repeat: float = 0.1
) -> dict[str, float]:
    """Minimum over `repeat` rounds of the ns per execution of each statement.

    cases maps a label to (statement, globals). The number of executions per
    round is calibrated per case to last about `seconds_per_repeat`; rounds
    are interleaved across cases so slow drifts of the machine hit them all.
    """
    timers: dict[str, tuple[timeit.Timer, int]] = {}
    for label, (stmt, namespace) in cases.items():
        timer = timeit.Timer(stmt, globals=namespace)
        number, elapsed = timer.autorange()  # lasts at least 0.2 s
        number = max(1, int(number * seconds_per_repeat / elapsed))
        timers[label] = (timer, number)
    best = {label: float("inf") for label in cases}
    for _ in range(repeat):
        for label, (timer, number) in timers.items():
            best[label] = min(best[label], timer.timeit(number) / number)
    return {label: seconds * 1e9 for label, seconds in best.items()}


def best_seconds(
    cases: dict[str, tuple[Callable[[], object], Callable[[object], None] | None]], repeat: int
) -> dict[str, float]:
    """Minimum wall time in seconds of one call of each callable, over
    `repeat` interleaved rounds, with the garbage collector off.

    cases maps a label to (call, release): release, when given, receives the
    call's result after the clock has stopped, so freeing an output is never
    timed; otherwise the result is dropped after the clock stops.

    The order of the cases rotates from round to round. Large outputs make
    this matter: whichever call follows one that shrank the heap gets fresh
    pages from the system and pays their first-touch faults, so a fixed order
    would charge them to the same case every time.
    """
    best = {label: float("inf") for label in cases}
    items = list(cases.items())
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for round_index in range(repeat):
            shift = round_index % len(items)
            for label, (call, release) in items[shift:] + items[:shift]:
                start = time.perf_counter_ns()
                result = call()
                stop = time.perf_counter_ns()
                if release is not None:
                    release(result)
                del result
                best[label] = min(best[label], (stop - start) * 1e-9)
    finally:
        if gc_was_enabled:
            gc.enable()
    return best


# ---- printing ---------------------------------------------------------------


def fmt_ns(value: float | None) -> str:
    if value is None:
        return "n/a"
    if value >= 1e5:
        return f"{value:,.0f}"
    return f"{value:,.1f}"


def fmt_ratio(value: float | None) -> str:
    return "n/a" if value is None else f"{value:.2f}x"


def ratio(numerator: float | None, denominator: float | None) -> float | None:
    if numerator is None or denominator is None or denominator == 0:
        return None
    return numerator / denominator


def print_table(headers: Sequence[str], rows: Sequence[Sequence[str]]) -> None:
    """A plain-text table: first column left-aligned, the others right-aligned."""
    widths = [max(len(str(cell)) for cell in column) for column in zip(headers, *rows)]

    def line(cells: Sequence[str]) -> str:
        parts = [str(cells[0]).ljust(widths[0])]
        parts += [str(cell).rjust(width) for cell, width in zip(cells[1:], widths[1:])]
        return "  ".join(parts).rstrip()

    print(line(headers))
    print("  ".join("-" * width for width in widths))
    for row in rows:
        print(line(row))


def markdown_table(
    headers: Sequence[str], rows: Sequence[Sequence[str]], left_aligned: Iterable[int] = (0,)
) -> str:
    """A table as Markdown: the columns in `left_aligned` (by index) aligned
    left, the others right; '|' inside a cell is escaped."""
    left = set(left_aligned)

    def line(cells: Sequence[str]) -> str:
        return "| " + " | ".join(str(cell).replace("|", "\\|") for cell in cells) + " |"

    rule = [":---" if i in left else "---:" for i in range(len(headers))]
    out = [line(headers), "|" + "|".join(rule) + "|"]
    out += [line(row) for row in rows]
    return "\n".join(out) + "\n"


def load_average() -> str:
    """The 1-, 5- and 15-minute load averages, or 'n/a'."""
    if not hasattr(os, "getloadavg"):
        return "n/a"
    return ", ".join(f"{value:.2f}" for value in os.getloadavg())


def print_environment() -> None:
    import platform

    try:
        import kestrovane

        version = f"kestrovane {kestrovane.__version__} from {Path(kestrovane.__file__).parent}"
    except ImportError:
        version = "kestrovane not importable"
    load = f", load average {os.getloadavg()[0]:.2f}" if hasattr(os, "getloadavg") else ""
    print(
        f"{version}\nPython {platform.python_version()} ({sys.executable}), "
        f"{platform.machine()}, {os.cpu_count()} CPUs{load}"
    )
