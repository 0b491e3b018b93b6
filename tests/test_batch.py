"""`python -m kestrovane book IN -o OUT`, run as a scheduled job would: every
result is the library's for that row, bad rows are NaN with their status and
never stop the run, chunks join seamlessly, and errors are one line."""

import csv
import json
import math
import os
import subprocess
import sys
import textwrap

import kestrovane as kv
import numpy as np
import pytest

MAIN = [sys.executable, "-m", "kestrovane", "book"]
HEADER = ["id", "flag", "S", "K", "t", "r", "sigma", "q"]
ROWS = [
    ["a", "call", "100", "95", "0.5", "0.03", "0.25", "0.01"],
    ["b", "P", "101.5", "110", "1", "0.02", "0.3", "0"],
    ["c", "x", "100", "100", "1", "0.03", "0.2", "0"],  # unreadable flag
    ["d", "put", "100", "100", "1", "0.03", "abc", "0"],  # unreadable sigma
    ["e", "c", "90", "", "1", "0.03", "0.2", "0"],  # missing strike
    ["f", "c", "100"],  # too few fields
    ["g", "PUT", "80", "100", "0.25", "-0.001", "0.45", "0.02"],
]
GOOD = {"a", "b", "g"}


def book(tmp_path, *argv, stdin=None):
    return subprocess.run([*MAIN, *map(str, argv)], capture_output=True, text=True, cwd=tmp_path,
                          input=stdin, timeout=120)  # fmt: skip


def write_csv(path, header, rows):
    with open(path, "w", newline="") as f:
        csv.writer(f).writerows([header, *rows])


def expected(row, quantities, model="bsm"):
    flag, S, K, t, r, sigma, q = row[1], *map(float, row[2:8])
    inputs = dict(S=S, K=K, t=t, r=r, sigma=sigma, **({"q": q} if model == "bsm" else {}))
    return kv.greeks(model, flag=flag, quantities=quantities, **inputs)


def test_csv_rows_are_the_librarys_and_bad_rows_are_nan(tmp_path):
    write_csv(tmp_path / "in.csv", HEADER, ROWS)
    done = book(tmp_path, "in.csv", "-o", "out.csv", "--chunk-rows", 3)
    assert done.returncode == 0 and done.stdout == ""
    note = f"python -m kestrovane book: 4 of {len(ROWS)} rows unreadable: NaN results"
    assert done.stderr.splitlines() == [note]
    umask = os.umask(0)
    os.umask(umask)
    assert (tmp_path / "out.csv").stat().st_mode & 0o777 == 0o666 & ~umask  # not private
    with open(tmp_path / "out.csv", newline="") as f:
        header, *out = list(csv.reader(f))
    assert header == HEADER + list(kv.QUANTITIES)
    assert [row[0] for row in out] == [row[0] for row in ROWS]
    for row, got in zip(ROWS, out):
        values = [float(x) for x in got[len(HEADER) :]]
        if row[0] in GOOD:
            assert got[: len(HEADER)] == row
            want = expected(row, kv.QUANTITIES)
            assert values == [float(want[q]) for q in kv.QUANTITIES], row[0]
        else:
            assert all(math.isnan(v) for v in values), row[0]


def test_parquet_iv_with_mapped_columns_and_status_names(tmp_path):
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    n = 2_500
    rng = np.random.default_rng(5)
    calls = rng.random(n) < 0.5
    strike, expiry = rng.uniform(60, 140, n), rng.uniform(0.05, 2, n)
    true_vol = rng.uniform(0.1, 0.6, n)
    mid = kv.greeks("bs", flag=calls, S=100.0, K=strike, t=expiry, r=0.03, sigma=true_vol,
                    quantities=["price"])["price"]  # fmt: skip
    mid[:3] = [-1.0, np.nan, 1e9]  # below intrinsic, missing, above the maximum
    kind = pa.array(np.where(calls, "Call", "put")).dictionary_encode()
    table = pa.table({"kind": kind, "strike": strike, "expiry": expiry, "mid": mid})
    pq.write_table(table, tmp_path / "in.parquet")
    done = book(tmp_path, "in.parquet", "-o", "out.parquet", "--model", "bs", "--iv",
                "--flag", "kind", "--K", "strike", "--t", "expiry", "--price", "mid",
                "--S", 100, "--r", 0.03, "--quantities", "delta,vega", "--keep", "strike",
                "--chunk-rows", 1000)  # fmt: skip
    assert done.returncode == 0 and done.stderr == "", done.stderr
    out = pq.read_table(tmp_path / "out.parquet")
    assert out.column_names == ["strike", "implied_volatility", "iv_status", "delta", "vega"]
    assert pa.types.is_dictionary(out.schema.field("iv_status").type)
    iv, status = kv.implied_volatility("bs", price=mid, S=100.0, K=strike, t=expiry, r=0.03,
                                       flag=calls, status=True)  # fmt: skip
    got_iv = out.column("implied_volatility").to_numpy()
    assert np.array_equal(got_iv, iv, equal_nan=True)
    names = out.column("iv_status").to_pylist()
    assert names == [kv.IvStatus(s).name for s in status]
    assert names[:3] == ["BELOW_INTRINSIC", "NAN_INPUT", "ABOVE_MAXIMUM"]
    want = kv.greeks("bs", flag=calls, S=100.0, K=strike, t=expiry, r=0.03, sigma=iv,
                     quantities=["delta", "vega"])  # fmt: skip
    assert np.array_equal(out.column("vega").to_numpy(), want["vega"], equal_nan=True)


def test_csv_without_pyarrow_and_parquet_asks_for_it(tmp_path):
    write_csv(tmp_path / "in.csv", HEADER, ROWS[:2])
    code = """
        import json, sys
        sys.modules["pyarrow"] = None
        from kestrovane._cli import main
        status = [main(["book", "in.csv", "-o", "-", "--model", "bs", "--keep", "id",
                        "--quantities", "price"]),
                  main(["book", "in.csv", "-o", "out.parquet"])]
        print(json.dumps([status, sorted(m for m in ("pandas", "polars") if m in sys.modules)]))
    """
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, cwd=tmp_path, timeout=120)  # fmt: skip
    *table, result = done.stdout.splitlines()
    assert json.loads(result) == [[0, 1], []]
    prices = [float(expected(row, ["price"], "bs")["price"]) for row in ROWS[:2]]
    assert table == ["id,price", *(f"{row[0]},{p!r}" for row, p in zip(ROWS, prices))]
    assert done.stderr.splitlines() == [
        "python -m kestrovane book: error: pyarrow for out.parquet is needed: "
        "pip install kestrovane[parquet]"
    ]


@pytest.mark.parametrize(
    "argv,message",
    [
        (["in.csv", "-o", "out.csv", "--model", "black76"], "no column for F"),
        (["in.csv", "-o", "out.csv", "--K", "strike"], "--K strike: no such column"),
        (["in.csv", "-o", "out.csv", "--iv"], "no column for price"),
        (["in.csv", "-o", "out.csv", "--iv", "--sigma", "sigma"], "--sigma does not apply"),
        (["in.csv", "-o", "out.csv", "--quantities", "price,rhoo"], "unknown quantity 'rhoo'"),
        (["in.csv", "-o", "out.xlsx"], "unknown format"),
        (["missing.csv", "-o", "out.csv"], "missing.csv: No such file"),
        (["in.csv", "-o", "out.csv", "--r", "-1e-3", "--keep", "q,id,price"], "no such column"),
    ],
)
def test_bad_arguments_are_one_line_and_status_2(tmp_path, argv, message):
    write_csv(tmp_path / "in.csv", HEADER, ROWS)
    done = book(tmp_path, *argv)
    assert done.returncode == 2 and "Traceback" not in done.stderr
    lines = done.stderr.splitlines()
    assert len(lines) == 1 and message in lines[0], done.stderr
    assert not (tmp_path / "out.csv").exists()


def test_expiry_dates_with_as_of_are_years_to_expiry(tmp_path):
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    expiries = np.array(["2025-03-03T16:00", "2026-03-03T09:30", "NaT"], "datetime64[ms]")
    as_of = np.datetime64("2025-03-03T09:30")
    table = pa.table({"flag": ["c", " Put", "c"], "expiry": pa.array(expiries)})
    pq.write_table(table, tmp_path / "in.parquet")
    rows = [["c", "2025-03-03 16:00"], [" Put", "2026-03-03T09:30"], ["c", "never"]]
    write_csv(tmp_path / "in.csv", ["flag", "expiry"], rows)
    args = ["--t", "expiry", "--S", 100, "--K", 100, "--r", 0.03, "--sigma", 0.2,
            "--quantities", "price", "--keep", "none", "--as-of", "2025-03-03T09:30"]  # fmt: skip
    want = kv.greeks("bs", flag=[True, False, True], S=100.0, K=100.0, t=expiries, as_of=as_of,
                     r=0.03, sigma=0.2, quantities=["price"])["price"]  # fmt: skip
    assert math.isnan(want[2]) and want[0] < want[1]
    for source in ("in.parquet", "in.csv"):
        done = book(tmp_path, source, "-o", "out.csv", "--model", "bs", *args)
        assert done.returncode == 0, done.stderr
        with open(tmp_path / "out.csv", newline="") as f:
            got = [float(row[0]) for row in list(csv.reader(f))[1:]]
        assert np.array_equal(got, want, equal_nan=True), source
    done = book(tmp_path, "in.parquet", "-o", "out.csv", *args[:-2])
    assert done.returncode == 2 and "give --as-of DATE" in done.stderr


@pytest.mark.parametrize("source,target", [("in.csv", "out.parquet"), ("in.parquet", "out.csv"),
                                           ("in.parquet", "out.parquet")])  # fmt: skip
def test_an_input_without_rows_gives_an_empty_output_of_the_right_columns(tmp_path, source, target):
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    write_csv(tmp_path / "in.csv", HEADER, [])
    columns = {name: pa.array([], pa.string() if name in ("id", "flag") else pa.float64())
               for name in HEADER}  # fmt: skip
    pq.write_table(pa.table(columns), tmp_path / "in.parquet")
    done = book(tmp_path, source, "-o", target, "--iv", "--price", "sigma", "--quantities", "delta")
    assert done.returncode == 0 and done.stderr == "", done.stderr
    names = [*HEADER, "implied_volatility", "iv_status", "delta"]
    if target.endswith(".csv"):
        assert (tmp_path / target).read_text().splitlines() == [",".join(names)]
    else:
        out = pq.read_table(tmp_path / target)
        assert out.num_rows == 0 and out.column_names == names
        assert pa.types.is_dictionary(out.schema.field("iv_status").type)
