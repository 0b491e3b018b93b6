"""The book as users hold it: text flags in every form a column comes in,
expiry dates with a valuation time, statuses as names, polars in and out."""

import ast
import datetime as dt
from pathlib import Path

import kestrovane as kv
import numpy as np
import pytest
from kestrovane import IvStatus, _book
from kestrovane._quantities import MODELS, QUANTITIES

WORDS = ["c", "put", "CALL", "P", "Call", "pUt"]
CALLS = np.array([True, False, True, False, True, False])
BOOK = dict(S=100.0, K=[80.0, 90.0, 100.0, 105.0, 110.0, 120.0], t=0.5, r=0.03, sigma=0.25)


def prices(flag, **changes):
    return np.asarray(
        kv.greeks("bs", flag=flag, **{**BOOK, **changes}, quantities=["price"])["price"]
    )


def pandas_forms():
    pd = pytest.importorskip("pandas")
    forms = [pd.Series(WORDS, dtype=object), pd.Series(WORDS, dtype="string[python]")]
    forms += [pd.Series(pd.Categorical(WORDS))]
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        return forms
    forms += [pd.Series(WORDS, dtype="string[pyarrow]"), pd.Series(WORDS).astype("category")]
    return forms + [pd.Series(CALLS, dtype="bool[pyarrow]")]


def polars_forms():
    pl = pytest.importorskip("polars")
    return [
        pl.Series(WORDS),
        pl.Series(WORDS, dtype=pl.Categorical),
        pl.Series(WORDS).cast(pl.Enum(["put", "c", "CALL", "P", "Call", "pUt"])),
    ]


@pytest.mark.parametrize(
    "form",
    [
        lambda: np.array(WORDS),
        lambda: np.array(WORDS, dtype="S"),
        lambda: np.array(WORDS, dtype=">U4"),  # foreign byte order
        lambda: np.repeat(np.array(WORDS), 2)[::2],  # not contiguous
        lambda: np.array([*WORDS[:5], np.False_], dtype=object),
        lambda: np.array([True, "p", b"call", False, "c", "PUT"], dtype=object),
        lambda: (
            np.array(WORDS, dtype=np.dtypes.StringDType())
            if hasattr(np.dtypes, "StringDType")
            else pytest.skip("NumPy without StringDType")
        ),
        lambda: pandas_forms(),
        lambda: polars_forms(),
    ],
)
def test_text_flags_in_every_form_read_as_the_bools(form):
    expected = prices(CALLS)
    flags = form()
    for flag in flags if isinstance(flags, list) else [flags]:
        got = prices(flag)
        np.testing.assert_array_equal(got.reshape(-1), expected, err_msg=repr(flag))


def test_two_dimensional_text_flags_keep_their_shape():
    flags = np.array(WORDS, dtype=object).reshape(2, 3)
    got = prices(flags, K=np.reshape(BOOK["K"], (2, 3)))
    np.testing.assert_array_equal(got.reshape(-1), prices(CALLS))


@pytest.mark.parametrize(
    "make,message",
    [
        (lambda: np.array(["c", "calls"]), "flag[1] is 'calls'"),
        (lambda: np.array([b"p", b"x"]), "flag[1] is b'x'"),
        (lambda: np.array(["p", "c\ud800", 1.5, None], dtype=object), "flag[1] is 'c\\ud800'"),
        (lambda: np.array(["c", "p", "cal"], dtype=np.dtypes.StringDType()), "flag[2] is 'cal'"),
        (lambda: __import__("pandas").Series(["c", None], dtype="str"), "flag[1] is nan"),
        (lambda: __import__("pandas").Series(["c", "q"], dtype="category"), "flag[1] is 'q'"),
        (lambda: __import__("polars").Series(["c", None]), "flag[1] is None"),
        (
            lambda: __import__("polars").Series(
                ["c", "pp"], dtype=__import__("polars").Categorical
            ),
            "flag[1] is 'pp'",
        ),
    ],
)
def test_invalid_text_flags_are_named_with_their_index(make, message):
    try:
        flag = make()
    except (ImportError, AttributeError):
        pytest.skip("library or dtype not installed")
    with pytest.raises(ValueError, match="'call'") as info:
        kv.greeks("bs", flag=flag, S=100, K=100, t=1, r=0.05, sigma=0.2, quantities=["price"])
    assert message in str(info.value)


class FakeStream:
    """An object offering a wrong capsule where an Arrow stream is expected."""

    def __arrow_c_stream__(self, requested_schema=None):
        import datetime  # any capsule-free object will do

        return datetime


@pytest.mark.parametrize(
    "values,out,error,text",
    [
        (np.array(["c"]), np.empty(2, np.bool_), ValueError, "one byte per flag"),
        (
            np.array([None, {}, 3, object()], dtype=object),
            np.empty(4, np.int16),
            TypeError,
            "1-byte",
        ),
        (
            np.array(["c", "p"], dtype=object),
            np.empty(3, np.bool_),
            ValueError,
            "one byte per flag",
        ),
        (["c", "p"], np.empty(2, np.bool_), TypeError, "Arrow text column"),
        (np.arange(2.0), np.empty(2, np.bool_), TypeError, "str or bytes items"),
        (FakeStream(), np.empty(1, np.bool_), ValueError, "Capsule"),
    ],
)
def test_flag_reader_refuses_what_it_cannot_read(values, out, error, text):
    with pytest.raises(error, match=text):
        _book.flag_codes(values, out)


def long_column(form, words):
    if form == "object":
        return np.array(words, dtype=object)
    if form == "StringDType":
        if not hasattr(np.dtypes, "StringDType"):
            pytest.skip("NumPy without StringDType")
        return np.array(words, dtype=np.dtypes.StringDType())
    if form.startswith("arrow"):
        pa = pytest.importorskip("pyarrow")
        column = pa.array(["call", *words, None])  # a slice: its offset is read
        column = column.dictionary_encode() if form == "arrow dictionary" else column
        return column.slice(1, len(words))
    if form == "polars Categorical":
        return pytest.importorskip("polars").Series(words, dtype=__import__("polars").Categorical)
    return np.array(words, dtype=form)


@pytest.mark.parametrize(
    "form",
    [
        "U1",
        "U2",
        "U3",
        "U4",
        "U9",
        "S4",
        "object",
        "StringDType",
        "arrow",
        "arrow dictionary",
        "polars Categorical",
    ],  # fmt: skip
)
def test_long_columns_read_every_item_and_the_first_bad_one(form):
    # Past the readers' blocks and groups of four, with a ragged end.
    rng = np.random.default_rng(3)
    calls = rng.random(10_007) < 0.5
    width = int(form[1:]) if form[1:].isdigit() else 9
    words = np.where(calls, "Call" if width >= 4 else "C", "pUt" if width >= 3 else "p").tolist()
    words[9_001], words[10_005] = "x", ["q", "cc", "cal"][min(width, 3) - 1]
    values = long_column(form, words)
    codes = np.empty(len(words), np.int8)
    flags = np.empty(len(words), np.bool_)
    if form == "polars Categorical":
        from kestrovane import book

        with pytest.raises(ValueError, match=r"flag\[9001\] is 'x'"):
            book._flags(np, values)
        return
    assert _book.flag_codes(values, codes) == _book.flag_codes(values, flags) == 9_001
    want = calls.astype(np.int8)
    want[[9_001, 10_005]] = -1
    assert np.array_equal(codes, want) and np.array_equal(flags, want == 1)


def test_flag_reader_names_the_first_bad_item_of_anything():
    items = np.array(["c", 1, None, "P", [], b"put", np.True_, "\u0441", "p\x00"], dtype=object)
    out = np.empty(len(items), np.bool_)
    assert _book.flag_codes(items, out) == 1
    assert _book.flag_codes(items[[0, 3, 5, 6]].copy(), out[:4]) == -1
    assert out[:4].tolist() == [True, False, False, True]


# ---- expiry dates ------------------------------------------------------------------

AS_OF = np.datetime64("2025-03-03T09:30:00")
EXPIRIES = np.array(
    ["2025-03-03T16:00", "2025-03-21T16:00", "2026-03-03T09:30", "2025-03-01"], "datetime64[m]"
)
# Exact elapsed times: 6.5 hours, 18 days 6.5 hours, one year, and expired 2 days 9.5 hours ago.
YEARS = np.array([390, 18 * 1440 + 390, 365 * 1440, -(2 * 1440 + 570)]) / (365 * 1440)


def date_forms():
    forms = [
        (EXPIRIES, AS_OF),
        (EXPIRIES.astype("datetime64[ns]"), AS_OF.astype("datetime64[s]")),
        (EXPIRIES.astype(dt.datetime).tolist(), AS_OF.astype(dt.datetime)),
        (EXPIRIES, np.full(4, AS_OF)),
    ]
    try:
        import pandas as pd

        zone = "Asia/Tokyo"  # no daylight saving in March
        aware = pd.Series(EXPIRIES).dt.tz_localize(zone)
        forms.append((aware, pd.Timestamp(AS_OF).tz_localize(zone).tz_convert("UTC")))
    except ImportError:
        pass
    try:
        import polars as pl

        forms.append((pl.Series(EXPIRIES.astype("datetime64[us]")), AS_OF.astype(dt.datetime)))
    except ImportError:
        pass
    return forms


@pytest.mark.parametrize("t,as_of", date_forms())
def test_expiry_dates_give_the_exact_elapsed_years(t, as_of):
    flag, K = [True, False, True, False], [100.0, 95.0, 105.0, 100.0]
    got = kv.greeks("bs", flag=flag, S=100, K=K, t=t, r=0.03, sigma=0.2, as_of=as_of)
    expected = kv.greeks("bs", flag=flag, S=100, K=K, t=YEARS, r=0.03, sigma=0.2)
    for name in ("price", "theta", "delta"):
        np.testing.assert_array_equal(np.asarray(got[name]), expected[name], err_msg=name)
    iv = kv.implied_volatility(
        "bs", price=expected["price"], S=100, K=K, t=t, r=0.03, flag=flag, as_of=as_of
    )
    np.testing.assert_allclose(np.asarray(iv)[:3], 0.2, rtol=1e-7)


def test_days_in_year_and_dates_without_a_time():
    got = kv.greeks(
        "bs",
        flag="c",
        S=100,
        K=100,
        t=dt.date(2026, 1, 1),
        r=0.0,
        sigma=0.2,
        as_of=dt.date(2025, 1, 1),
        days_in_year=365.25,
        quantities=["price"],
    )
    assert got["price"] == kv.bs_black_scholes("c", 100, 100, 365 / 365.25, 0.0, 0.2)


@pytest.mark.parametrize(
    "t,changes,error,message",
    [
        (EXPIRIES, {}, TypeError, "pass as_of="),
        (0.5, {"as_of": AS_OF}, TypeError, "t holds numbers"),
        (0.5, {"days_in_year": 360}, TypeError, "expiry dates only"),
        (EXPIRIES, {"as_of": "2025-03-03"}, TypeError, "as_of must be a date"),
        (EXPIRIES, {"as_of": AS_OF, "days_in_year": 0}, ValueError, "positive and finite"),
        (EXPIRIES, {"as_of": np.full(3, AS_OF)}, ValueError, r"t \(4,\), as_of \(3,\)"),
        ([dt.datetime(2025, 1, 1, tzinfo=dt.UTC)], {"as_of": AS_OF}, TypeError, "time zone"),
        (
            [dt.datetime(2025, 1, 1, tzinfo=dt.UTC), dt.date(2025, 1, 1)],
            {"as_of": AS_OF},
            TypeError,
            "mixes",
        ),
    ],
)
def test_date_errors_say_what_is_wrong(t, changes, error, message):
    with pytest.raises(error, match=message):
        kv.greeks("bs", flag="c", S=100, K=100, t=t, r=0.03, sigma=0.2, **changes)


# ---- statuses as names, polars out ------------------------------------------------


def test_pandas_statuses_are_a_categorical_of_the_status_names():
    pd = pytest.importorskip("pandas")
    price = pd.Series([10.450583572185565, -1.0, float("nan")], index=["a", "b", "c"])
    iv, status = kv.implied_volatility(
        "bs", price=price, S=100, K=100, t=1, r=0.05, flag="c", status=True
    )
    assert list(status.cat.categories) == [s.name for s in IvStatus]
    assert status.tolist() == ["SOLVED", "BELOW_INTRINSIC", "NAN_INPUT"]
    assert status.cat.codes.tolist() == [
        IvStatus.SOLVED,
        IvStatus.BELOW_INTRINSIC,
        IvStatus.NAN_INPUT,
    ]
    assert status.index.equals(price.index) and iv.index.equals(price.index)


def test_polars_in_gives_polars_out():
    pl = pytest.importorskip("polars")
    K = pl.Series("K", [90.0, 100.0, 110.0])
    got = kv.greeks(
        "bs", flag="c", S=100, K=K, t=0.5, r=0.02, sigma=0.3, quantities=["delta", "price"]
    )
    assert isinstance(got, pl.DataFrame) and got.columns == ["delta", "price"]
    expected = kv.greeks("bs", flag="c", S=100, K=K.to_numpy(), t=0.5, r=0.02, sigma=0.3)
    np.testing.assert_array_equal(got["price"].to_numpy(), expected["price"])
    iv, status = kv.implied_volatility(
        "bs", price=got["price"], S=100, K=K, t=0.5, r=0.02, flag="c", status=True
    )
    assert isinstance(iv, pl.Series) and iv.name == "implied_volatility"
    assert (
        status.dtype == pl.Enum([s.name for s in IvStatus]) and status.to_list() == ["SOLVED"] * 3
    )
    with pytest.raises(ValueError, match="one dimension"):
        kv.greeks("bs", flag="c", S=100, K=K, t=[[0.5], [1.0]], r=0.02, sigma=0.3)


def test_literal_names_are_the_models_and_quantities():
    source = ast.parse(Path(kv.book.__file__).read_text())
    aliases = {
        node.targets[0].id: ast.literal_eval(node.value.slice)
        for node in ast.walk(source)
        if isinstance(node, ast.Assign)
        and getattr(node.targets[0], "id", "") in ("_Model", "_Quantity")
    }
    assert aliases == {"_Model": MODELS, "_Quantity": QUANTITIES}
