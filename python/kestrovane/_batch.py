"""``python -m kestrovane book IN -o OUT``: a whole file of options in, a file out.

CSV or Parquet in, CSV or Parquet out (by the file's extension; ``-`` is CSV
on standard input or output). The file is read and written in chunks of
``--chunk-rows`` rows, so its size is bounded by the disk, not by memory;
each chunk goes through ``kestrovane.greeks`` (and ``implied_volatility``
with ``--iv``) in one call. CSV goes through the standard library's csv
module and NumPy; Parquet needs pyarrow (``pip install kestrovane[parquet]``),
which is imported only for a Parquet file.

A bad row never stops the run: an unreadable or missing value, or a row
with the wrong number of fields, makes every result of that row NaN, and
with ``--iv`` its status NAN_INPUT. The count of such rows is
reported on stderr at the end. Exit status and errors follow the calculator:
0 on success, 2 for bad arguments or an unreadable file (one line on
stderr), 1 for a missing dependency or an internal failure.
"""

from __future__ import annotations

import argparse
import csv
import importlib
import itertools
import math
import os
import queue
import sys
import tempfile
import threading
import time
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any, TextIO

from . import _book, _dates, _need, book
from ._cli import Failure, InputError, _Parser
from ._quantities import MODELS, QUANTITIES

PROG = "python -m kestrovane book"
CHUNK_ROWS = 1 << 20
# CSV rows live as Python strings between reading and writing: a smaller
# chunk keeps the memory of a CSV run near that of a Parquet one.
CSV_CHUNK_ROWS = 1 << 16
STATUS_NAMES = tuple(status.name for status in book.IvStatus)
_FLAG_WORDS = {"c": 1, "call": 1, "p": 0, "put": 0}
_INPUTS = ("flag", "S", "F", "K", "t", "r", "sigma", "q", "price")
_MEANING = {
    "flag": "call or put (c, call, p, put in any case, or a bool)",
    "S": "spot price (bs, bsm)",
    "F": "forward price (black76)",
    "K": "strike",
    "t": "time to expiry in years (expiry dates with --as-of)",
    "r": "riskless rate, annual decimal",
    "sigma": "volatility, annual decimal",
    "q": "dividend yield, bsm (default 0)",
    "price": "option price, for --iv",
}


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Price every option of a CSV or Parquet file and write the results.",
        epilog="""Each input is read from the column of its own name (flag, S, K, t, r, sigma,
q, price; any case) unless mapped: --K strike reads K from the column
"strike", --r 0.03 uses 0.03 for every row. The output holds the input's
columns (--keep) followed by the results. Parquet needs pyarrow
(pip install kestrovane[parquet]).

examples:
  python -m kestrovane book options.csv -o greeks.parquet
  python -m kestrovane book quotes.parquet -o iv.csv --iv --price mid --quantities delta,vega
  python -m kestrovane book - -o - --model black76 --r 0.02 < book.csv > out.csv""",
    )
    parser.add_argument("input", metavar="IN", help="a .csv or .parquet file, or - (CSV on stdin)")
    parser.add_argument(
        "-o", "--output", metavar="OUT", required=True, help="a .csv or .parquet file, or -"
    )
    parser.add_argument("--model", choices=MODELS, default="bsm", help="pricing model (bsm)")
    parser.add_argument(
        "--iv",
        action="store_true",
        help="solve the implied volatility from the price column; the quantities are "
        "computed at it (adds implied_volatility and iv_status)",
    )
    parser.add_argument(
        "--quantities",
        metavar="LIST",
        default="all",
        help="comma-separated quantities (default all sixteen; empty: none, with --iv)",
    )
    for name in _INPUTS:
        parser.add_argument(
            f"--{name}", metavar="COL", help=f"{_MEANING[name]}: a column, or a value for all rows"
        )
    parser.add_argument(
        "--as-of",
        metavar="DATE",
        help="valuation time, for a t column of expiry dates: an ISO date or date and time "
        "(2025-03-03, 2025-03-03T09:30); t is then the exact time to each expiry in years of "
        "365 days (UTC where the column carries a time zone)",
    )
    parser.add_argument(
        "--keep",
        metavar="COLS",
        default="all",
        help="input columns copied to the output: all (default), none, or a comma-separated list",
    )
    parser.add_argument(
        "--chunk-rows",
        type=int,
        metavar="N",
        help=f"rows per chunk (default {CHUNK_ROWS:,} for Parquet, {CSV_CHUNK_ROWS:,} for CSV)",
    )
    parser.add_argument(
        "--threads", type=int, metavar="N", help="threads per chunk (default: every core)"
    )
    return parser


def _prepare(argv: Sequence[str]) -> list[str]:
    """Attaches a negative number to its option ("--r -1e-3"), which argparse
    would otherwise read as an option of its own."""
    out: list[str] = []
    tokens = iter(argv)
    for token in tokens:
        out.append(token)
        if token.startswith("--") and token[2:] in _INPUTS:
            value = next(tokens, None)
            if value is not None and value.startswith("-") and _number(value) is not None:
                out[-1] = f"{token}={value}"
            elif value is not None:
                out.append(value)
    return out


def _number(text: str) -> float | None:
    try:
        return float(text)
    except ValueError:
        return None


# ---- the plan: which column or value feeds each input ------------------------------


@dataclass
class Plan:
    model: str
    iv: bool
    quantities: tuple[str, ...]
    sources: dict[str, str | float]  # input -> column name, or one value for all rows
    keep: list[str]
    as_of: Any = None  # the valuation time (datetime64) when t holds expiry dates
    results: list[str] = field(default_factory=list)


def _quantities(text: str, iv: bool) -> tuple[str, ...]:
    if text.strip() == "all":
        return QUANTITIES
    names = tuple(name.strip() for name in text.split(",") if name.strip())
    for name in names:
        if name not in QUANTITIES:
            raise InputError(f"unknown quantity {name!r}: valid are {', '.join(QUANTITIES)}")
    if not names and not iv:
        raise InputError("no quantities asked for (an empty list is only for --iv)")
    return names


def make_plan(args: argparse.Namespace, columns: list[str]) -> Plan:
    model = args.model
    needed = ["flag", "F" if model == "black76" else "S", "K", "t", "r"]
    needed += ["price"] if args.iv else ["sigma"]
    optional = ["q"] if model == "bsm" else []
    for name in _INPUTS:
        if getattr(args, name) is not None and name not in needed + optional:
            why = "with --iv" if name == "sigma" else "without --iv" if name == "price" else ""
            raise InputError(f"--{name} does not apply to {model} {why}".rstrip())
    folded: dict[str, list[str]] = {}
    for column in columns:
        folded.setdefault(column.lower(), []).append(column)
    sources: dict[str, str | float] = {}
    for name in needed + optional:
        given = getattr(args, name)
        if given is not None:
            if given in columns:
                sources[name] = given
            elif name == "flag" and given.lower() in _FLAG_WORDS:
                sources[name] = float(_FLAG_WORDS[given.lower()])
            elif name != "flag" and _number(given) is not None:
                sources[name] = float(given)
            else:
                raise InputError(f"--{name} {given}: no such column in {_shown(columns)}")
        elif name in columns:
            sources[name] = name
        elif len(folded.get(name.lower(), [])) == 1:
            sources[name] = folded[name.lower()][0]
        elif name == "q":
            sources[name] = 0.0
        else:
            raise InputError(
                f"no column for {name} ({_MEANING[name]}) in {_shown(columns)}: "
                f"name it with --{name} COLUMN, or give --{name} VALUE for every row"
            )
    if args.keep == "all":
        keep = list(columns)
    elif args.keep == "none":
        keep = []
    else:
        keep = [c.strip() for c in args.keep.split(",") if c.strip()]
        for column in keep:
            if column not in columns:
                raise InputError(f"--keep {column}: no such column in {_shown(columns)}")
    plan = Plan(model, args.iv, _quantities(args.quantities, args.iv), sources, keep)
    if args.as_of is not None:
        if not isinstance(sources["t"], str):
            raise InputError("--as-of applies to a t column of expiry dates, not to --t VALUE")
        plan.as_of = _as_of(args.as_of)
    plan.results = (["implied_volatility", "iv_status"] if args.iv else []) + list(plan.quantities)
    clash = [name for name in plan.results if name in keep]
    if clash:
        raise InputError(
            f"the input has a column named {clash[0]!r}, which is also a result: "
            "leave it out of the output with --keep"
        )
    return plan


def _as_of(text: str) -> Any:
    np = _need.numpy()
    point = _date_or_nat(np, text)
    if np.isnat(point):
        raise InputError(f"--as-of {text}: expected a date or date and time, like 2025-03-03T09:30")
    return point


def _shown(columns: list[str]) -> str:
    listed = ", ".join(columns[:12]) + (", ..." if len(columns) > 12 else "")
    return f"the input (columns: {listed})"


# ---- one chunk: text or Arrow columns to results ------------------------------------


def _numbers_from_text(np: Any, texts: Sequence[str]) -> tuple[Any, Any]:
    """float64 values of text fields, and where one is unreadable (or empty):
    None when all are read."""
    try:
        return np.array(texts, dtype=np.float64), None
    except ValueError:
        values = np.fromiter(map(_number_or_nan, texts), np.float64, count=len(texts))
        unread = np.isnan(values)
        unread[unread] = [_number(t) is None for t in itertools.compress(texts, unread)]
        return values, unread


def _number_or_nan(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        return math.nan


def _flag_codes(np: Any, words: Sequence[Any]) -> Any:
    """1 for a call, 0 for a put, -1 for anything else, per distinct value."""
    table: dict[Any, int] = {}
    for word in set(words):
        if isinstance(word, str):
            table[word] = _FLAG_WORDS.get(word.strip().lower(), -1)
        elif isinstance(word, bool):
            table[word] = int(word)
        else:
            table[word] = -1
    return np.fromiter(map(table.__getitem__, words), np.int8, count=len(words))


def _arrow_numbers(np: Any, pa: Any, column: Any) -> tuple[Any, Any]:
    """Like _numbers_from_text for an Arrow column; a null is unread."""
    unread = np.asarray(column.is_null()) if column.null_count else None
    if pa.types.is_integer(column.type) or pa.types.is_floating(column.type):
        return column.to_numpy(zero_copy_only=False).astype(np.float64, copy=False), unread
    if pa.types.is_string(column.type) or pa.types.is_large_string(column.type):
        return _numbers_from_text(np, [s or "" for s in column.to_pylist()])
    if pa.types.is_null(column.type):
        return np.full(len(column), np.nan), unread
    # Another type (a date, say) goes to the library as NumPy has it.
    return column.to_numpy(zero_copy_only=False), unread


def _arrow_flags(np: Any, pa: Any, column: Any) -> Any:
    if pa.types.is_boolean(column.type):
        codes = np.asarray(column.fill_null(False)).astype(np.int8)
        if column.null_count:
            codes[np.asarray(column.is_null())] = -1
        return codes
    text = pa.types.is_dictionary(column.type) and column.type.value_type or column.type
    if not (pa.types.is_string(text) or pa.types.is_large_string(text)):
        return np.full(len(column), -1, np.int8)
    # Read natively; only what it refuses (" Put", say) goes the slow way.
    codes = np.empty(len(column), np.int8)
    if _book.flag_codes(column, codes) >= 0:
        again = np.flatnonzero(codes < 0)
        codes[again] = _flag_codes(np, column.take(pa.array(again)).to_pylist())
    return codes


def _dates_from_text(np: Any, texts: Sequence[str]) -> Any:
    """datetime64 of ISO date (and time) fields; NaT where one is unreadable."""
    try:
        return np.array([t.strip().replace(" ", "T") for t in texts], "datetime64[us]")
    except ValueError:
        return np.array([_date_or_nat(np, t) for t in texts], "datetime64[us]")


def _date_or_nat(np: Any, text: str) -> Any:
    try:
        return np.datetime64(text.strip().replace(" ", "T"), "us")
    except ValueError:
        return np.datetime64("NaT")


def _years(np: Any, plan: Plan, expiries: Any) -> tuple[Any, Any]:
    """Years from --as-of to each expiry (datetime64), and where one is missing."""
    years = np.asarray(_dates.times_to_expiry(np, expiries, plan.as_of, None), np.float64)
    unread = np.isnan(years)
    return years, unread if unread.any() else None


def _arrow_years(np: Any, pa: Any, plan: Plan, column: Any) -> tuple[Any, Any]:
    kind = column.type
    if _temporal(pa, column):
        return _years(np, plan, column.to_numpy(zero_copy_only=False))
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        return _years(np, plan, _dates_from_text(np, [s or "" for s in column.to_pylist()]))
    raise InputError(f"--as-of: the t column holds {kind}, not expiry dates")


def _temporal(pa: Any, column: Any) -> bool:
    return bool(pa.types.is_date(column.type) or pa.types.is_timestamp(column.type))


@dataclass
class Chunk:
    rows: int
    inputs: dict[str, Any]  # input -> array, or one value
    codes: Any  # flag codes: 1 call, 0 put, -1 unreadable
    bad: Any  # rows whose results are all NaN


def evaluate(np: Any, plan: Plan, chunk: Chunk, threads: int | None) -> dict[str, Any]:
    """The results of one chunk, by output column name."""
    # Model and quantity names come from the command line as plain strings,
    # checked when the plan is made.
    greeks: Any = book.greeks
    implied_volatility: Any = book.implied_volatility
    bad = chunk.bad | (chunk.codes < 0)
    flags = chunk.codes > 0
    market = {k: v for k, v in chunk.inputs.items() if k not in ("flag", "sigma", "price")}
    out: dict[str, Any] = {}
    if plan.iv:
        iv, status = implied_volatility(
            plan.model, price=chunk.inputs["price"], flag=flags, status=True, threads=threads,
            **market,
        )  # fmt: skip
        iv = np.broadcast_to(iv, (chunk.rows,)).copy()
        status = np.broadcast_to(status, (chunk.rows,)).copy()
        iv[bad], status[bad] = np.nan, book.IvStatus.NAN_INPUT
        out = {"implied_volatility": iv, "iv_status": status}
        sigma = iv
    else:
        sigma = chunk.inputs["sigma"]
    if plan.quantities:
        values = greeks(
            plan.model, quantities=plan.quantities, flag=flags, sigma=sigma, threads=threads,
            **market,
        )  # fmt: skip
        for name, column in values.items():
            column = np.broadcast_to(column, (chunk.rows,))
            if bad.any():
                column = column.copy()
                column[bad] = np.nan
            out[name] = column
    return out


def _empty_chunk(np: Any, plan: Plan) -> Chunk:
    inputs = {k: v if isinstance(v, float) else np.empty(0) for k, v in plan.sources.items()}
    return Chunk(0, inputs, np.empty(0, np.int8), np.empty(0, bool))


# ---- CSV -------------------------------------------------------------------------


class CsvReader:
    def __init__(self, stream: TextIO, size: int | None) -> None:
        self.rows = csv.reader(stream)
        self.stream, self.size = stream, size
        try:
            self.columns = next(self.rows)
        except StopIteration:
            raise InputError("the input is empty: expected a header line") from None
        except csv.Error as exc:
            raise InputError(f"the input is not CSV: {exc}") from None

    def done_fraction(self) -> float | None:
        if not self.size:
            return None
        try:
            return min(self.stream.buffer.tell() / self.size, 1.0)
        except (AttributeError, OSError, ValueError):
            return None

    def chunks(self, np: Any, plan: Plan, size: int) -> Iterator[tuple[Chunk, dict[str, Any]]]:
        width = len(self.columns)
        where = {name: i for i, name in enumerate(self.columns)}
        yielded = False
        while True:
            try:
                rows = list(itertools.islice(self.rows, size))
            except csv.Error as exc:
                raise InputError(f"line {self.rows.line_num}: {exc}") from None
            if not rows:
                if not yielded:  # a header alone: an empty output of the right columns
                    yield _empty_chunk(np, plan), {name: () for name in plan.keep}
                return
            yielded = True
            bad_rows = [i for i, row in enumerate(rows) if len(row) != width]
            if bad_rows:
                rows = [row for row in rows if row]  # blank lines are not rows
                bad_rows = [i for i, row in enumerate(rows) if len(row) != width]
                for i in bad_rows:
                    rows[i] = (rows[i] + [""] * width)[:width]
            fields = list(zip(*rows))
            n = len(rows)
            bad = np.zeros(n, bool)
            bad[bad_rows] = True
            inputs: dict[str, Any] = {}
            codes = None
            for name, source in plan.sources.items():
                if isinstance(source, float):
                    inputs[name] = source
                elif name == "flag":
                    codes = _flag_codes(np, fields[where[source]])
                elif name == "t" and plan.as_of is not None:
                    inputs[name], unread = _years(
                        np, plan, _dates_from_text(np, fields[where[source]])
                    )
                    if unread is not None:
                        bad |= unread
                else:
                    inputs[name], unread = _numbers_from_text(np, fields[where[source]])
                    if unread is not None:
                        bad |= unread
            if codes is None:
                codes = np.full(n, int(plan.sources["flag"]), np.int8)
            kept = {name: fields[where[name]] for name in plan.keep}
            yield Chunk(n, inputs, codes, bad), kept


def _text(np: Any, values: Any) -> Any:
    """CSV fields of a result column: shortest round-trip decimals, status names."""
    if values.dtype == np.int8:
        return [STATUS_NAMES[s] for s in values.tolist()]
    return list(map(repr, values.tolist()))


class CsvWriter:
    def __init__(self, stream: TextIO, columns: list[str]) -> None:
        self.stream = stream
        self.writer = csv.writer(stream, lineterminator="\n")
        self.writer.writerow(columns)

    def write(self, np: Any, kept: dict[str, Any], results: dict[str, Any]) -> None:
        columns = [_kept_text(np, v) for v in kept.values()]
        columns += [_text(np, v) for v in results.values()]
        self.writer.writerows(zip(*columns))

    def close(self) -> None:
        self.stream.flush()


def _kept_text(np: Any, values: Any) -> Any:
    if isinstance(values, tuple):  # CSV fields as read
        return values
    return ["" if v is None else str(v) for v in values.to_pylist()]  # an Arrow column


# ---- Parquet ---------------------------------------------------------------------


class ParquetReader:
    def __init__(self, pq: Any, path: str) -> None:
        try:
            self.file = pq.ParquetFile(path, pre_buffer=False)
        except Exception as exc:  # pyarrow's errors have no common base
            raise InputError(f"{path}: not a Parquet file ({exc})") from None
        self.columns = list(self.file.schema_arrow.names)
        self.total = self.file.metadata.num_rows
        self.read = 0

    def done_fraction(self) -> float | None:
        return self.read / self.total if self.total else None

    def chunks(self, np: Any, plan: Plan, size: int) -> Iterator[tuple[Chunk, dict[str, Any]]]:
        pa = importlib.import_module("pyarrow")

        used = [s for s in plan.sources.values() if isinstance(s, str)]
        wanted = [c for c in self.columns if c in used or c in plan.keep]
        batches = self.file.iter_batches(batch_size=size, columns=wanted)
        schema = pa.schema([self.file.schema_arrow.field(c) for c in wanted])
        yielded = False
        for batch in itertools.chain(batches, [None]):
            if batch is None:  # the end: without a batch, an empty output of the right columns
                if yielded:
                    return
                batch = pa.RecordBatch.from_pylist([], schema=schema)
            yielded = True
            n = batch.num_rows
            self.read += n
            bad = np.zeros(n, bool)
            inputs: dict[str, Any] = {}
            codes = None
            for name, source in plan.sources.items():
                if isinstance(source, float):
                    inputs[name] = source
                elif name == "flag":
                    codes = _arrow_flags(np, pa, batch.column(source))
                elif name == "t" and plan.as_of is not None:
                    inputs[name], unread = _arrow_years(np, pa, plan, batch.column(source))
                    if unread is not None:
                        bad |= unread
                elif name == "t" and _temporal(pa, batch.column(source)):
                    raise InputError(
                        f"the t column {source!r} holds dates: give --as-of DATE (valuation time)"
                    )
                else:
                    inputs[name], unread = _arrow_numbers(np, pa, batch.column(source))
                    if unread is not None:
                        bad |= unread
            if codes is None:
                codes = np.full(n, int(plan.sources["flag"]), np.int8)
            kept = {name: batch.column(name) for name in plan.keep}
            yield Chunk(n, inputs, codes, bad), kept


class ParquetWriter:
    """Writes each chunk in a thread of its own while the next one is read and
    computed: pyarrow encodes and compresses without the interpreter lock.
    A chunk is handed over once the one before is written, so that two
    chunks at most are held at once."""

    def __init__(self, pq: Any, path: str) -> None:
        self.pq, self.path = pq, path
        self.writer: Any = None
        self.queue: queue.Queue[Any] = queue.Queue(maxsize=1)
        self.thread: threading.Thread | None = None
        self.error: BaseException | None = None

    def _drain(self) -> None:
        while (batch := self.queue.get()) is not None:
            if self.error is None:
                try:
                    self.writer.write_batch(batch)
                except BaseException as exc:  # raised in the main thread at its next write
                    self.error = exc
            self.queue.task_done()

    def write(self, np: Any, kept: dict[str, Any], results: dict[str, Any]) -> None:
        pa = importlib.import_module("pyarrow")

        arrays = [
            v if isinstance(v, pa.Array | pa.ChunkedArray) else pa.array(_kept_numbers(np, v))
            for v in kept.values()
        ]
        for values in results.values():
            if values.dtype == np.int8:  # statuses: a dictionary of their names
                names = pa.array(STATUS_NAMES)
                arrays.append(pa.DictionaryArray.from_arrays(pa.array(values), names))
            else:
                arrays.append(pa.array(values))
        batch = pa.RecordBatch.from_arrays(arrays, names=[*kept, *results])
        if self.writer is None:
            # Dictionary pages only for text: doubles rarely repeat.
            text = [f.name for f in batch.schema if not pa.types.is_floating(f.type)]
            self.writer = self.pq.ParquetWriter(self.path, batch.schema, use_dictionary=text)
            self.thread = threading.Thread(target=self._drain, name="kestrovane-writer")
            self.thread.start()
        self.queue.join()
        self._raise()
        self.queue.put(batch)

    def _raise(self) -> None:
        if self.error is not None:
            raise Failure(f"writing {self.path} failed: {self.error}")

    def stop(self) -> None:
        """Ends the writing thread once what it holds is written; idempotent."""
        if self.thread is not None:
            self.queue.put(None)
            self.thread.join()
            self.thread = None

    def close(self) -> None:
        if self.writer is None:
            raise InputError("the input has no rows: no Parquet file written")
        self.stop()
        self._raise()
        self.writer.close()


def _kept_numbers(np: Any, fields: tuple[str, ...]) -> Any:
    """A CSV column for a Parquet file: numbers where every field is one, else text."""
    try:
        return np.array(fields, dtype=np.float64)
    except ValueError:
        return list(fields)


# ---- the run ---------------------------------------------------------------------


def _format(path: str) -> str:
    if path == "-":
        return "csv"
    ext = os.path.splitext(path)[1].lower()
    if ext == ".csv":
        return "csv"
    if ext in (".parquet", ".pq"):
        return "parquet"
    raise InputError(f"{path}: unknown format (a .csv or .parquet file, or - for CSV)")


def _pyarrow(path: str) -> Any:
    try:
        return _need.need("pyarrow.parquet", "kestrovane[parquet]", f"pyarrow for {path}")
    except ImportError as exc:
        raise Failure(str(exc)) from None


class Progress:
    """A one-line progress report on stderr, for runs longer than a second
    and only when stderr is a terminal."""

    def __init__(self) -> None:
        self.shown = False
        self.active = sys.stderr.isatty()
        self.start = time.monotonic()

    def update(self, rows: int, fraction: float | None) -> None:
        if not self.active or time.monotonic() - self.start < 1.0:
            return
        done = f"{fraction:4.0%} " if fraction is not None else ""
        sys.stderr.write(f"\r{PROG}: {done}{rows:,} rows")
        sys.stderr.flush()
        self.shown = True

    def close(self) -> None:
        if self.shown:
            sys.stderr.write("\r\033[K")
            sys.stderr.flush()


def run(args: argparse.Namespace) -> tuple[int, int]:
    """Rows written and rows with an unreadable value."""
    np = _need.numpy()
    if args.chunk_rows is not None and args.chunk_rows < 1:
        raise InputError(f"--chunk-rows must be at least 1, got {args.chunk_rows}")
    if args.threads is not None and args.threads < 1:
        raise InputError(f"--threads must be at least 1, got {args.threads}")
    in_format, out_format = _format(args.input), _format(args.output)
    for path, fmt in ((args.input, in_format), (args.output, out_format)):
        if fmt == "parquet":
            _pyarrow(path)
    with _opened_input(args.input, in_format) as reader:
        plan = make_plan(args, reader.columns)
        target, tmp = _output_paths(args.output)
        try:
            writer = _writer(out_format, target if tmp is None else tmp, plan)
            rows = bad = 0
            progress = Progress()
            try:
                size = args.chunk_rows or (CSV_CHUNK_ROWS if in_format == "csv" else CHUNK_ROWS)
                for chunk, kept in reader.chunks(np, plan, size):
                    results = evaluate(np, plan, chunk, args.threads)
                    writer.write(np, kept, results)
                    rows += chunk.rows
                    bad += int(np.count_nonzero(chunk.bad | (chunk.codes < 0)))
                    progress.update(rows, reader.done_fraction())
                writer.close()
            finally:
                if isinstance(writer, ParquetWriter):
                    writer.stop()
                progress.close()
            if tmp is not None:
                os.replace(tmp, target)
                tmp = None
        finally:
            if tmp is not None and os.path.exists(tmp):
                os.unlink(tmp)
    return rows, bad


class _opened_input:
    """The reader of IN, closing what it opened."""

    def __init__(self, path: str, fmt: str) -> None:
        self.path, self.fmt = path, fmt
        self.stream: TextIO | None = None

    def __enter__(self) -> CsvReader | ParquetReader:
        if self.fmt == "parquet":
            pq = _pyarrow(self.path)
            if not os.path.exists(self.path):
                raise InputError(f"{self.path}: no such file")
            return ParquetReader(pq, self.path)
        if self.path == "-":
            return CsvReader(sys.stdin, None)
        try:
            stream = open(self.path, newline="", encoding="utf-8")  # noqa: SIM115
        except OSError as exc:
            raise InputError(f"{self.path}: {exc.strerror}") from None
        self.stream = stream
        return CsvReader(stream, os.fstat(stream.fileno()).st_size)

    def __exit__(self, *exc: object) -> None:
        if self.stream is not None:
            self.stream.close()


def _output_paths(path: str) -> tuple[str, str | None]:
    """The output and the temporary file it is written to first (None for
    stdout): a run that fails leaves no half-written file behind."""
    if path == "-":
        return path, None
    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, tmp = tempfile.mkstemp(prefix=".kestrovane-", suffix=".tmp", dir=folder)
    except OSError as exc:
        raise InputError(f"{path}: cannot write there ({exc.strerror})") from None
    os.close(fd)
    mask = os.umask(0)  # mkstemp makes the file private; OUT gets the usual mode
    os.umask(mask)
    os.chmod(tmp, 0o666 & ~mask)
    return path, tmp


def _writer(fmt: str, path: str, plan: Plan) -> CsvWriter | ParquetWriter:
    if fmt == "parquet":
        return ParquetWriter(_pyarrow(path), path)
    stream = sys.stdout if path == "-" else open(path, "w", newline="", encoding="utf-8")  # noqa: SIM115
    return CsvWriter(stream, [*plan.keep, *plan.results])


def main(argv: Sequence[str]) -> int:
    args = build_parser().parse_args(_prepare(argv))
    try:
        rows, bad = run(args)
    except InputError as exc:
        return _fail(str(exc), 2)
    except (Failure, ImportError) as exc:
        return _fail(str(exc), 1)
    except MemoryError:
        return _fail("not enough memory: try a smaller --chunk-rows", 1)
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    if bad:
        print(f"{PROG}: {bad:,} of {rows:,} rows unreadable: NaN results", file=sys.stderr)
    return 0


def _fail(message: str, status: int) -> int:
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return status
