"""Expiry dates as times to expiry: ``t`` given as expiry datetimes with
``as_of=`` the valuation time.

t is the exact elapsed time from as_of to the expiry, in years of
``days_in_year`` days of 86,400 seconds (365 unless given), intraday
included: an expiry at 16:00 seen at 09:30 the same day is 6.5 / 24 / 365.
Both sides are taken to their common NumPy unit, subtracted as integers, and
divided once. Time zones: both sides carry one (compared in UTC) or neither
(compared as wall times); a missing time (NaT, None) gives NaN.
"""

from __future__ import annotations

import datetime
from typing import Any

# How many of each NumPy time unit a day holds; dates in weeks, months or
# years are read as their first day.
_PER_DAY = {"D": 1, "h": 24, "m": 1440, "s": 86_400, "ms": 86_400 * 10**3, "us": 86_400 * 10**6}
_PER_DAY.update(ns=86_400 * 10**9, ps=86_400 * 10**12, fs=86_400 * 10**15)


def _kind(value: Any) -> str:
    """The library a value comes from: "pandas", "polars" or "" for others."""
    module = type(value).__module__.partition(".")[0]
    return module if module in ("pandas", "polars") else ""


def _objects(np: Any, name: str, values: Any) -> tuple[Any, bool] | None:
    """datetime and date objects (lists, object arrays) as datetime64, or None
    when the first item is not one."""
    flat = values.reshape(-1)
    if not flat.size or not isinstance(flat[0], datetime.date):
        return None
    zones = {
        isinstance(v, datetime.datetime) and v.tzinfo is not None for v in flat if v is not None
    }
    if len(zones) > 1:
        raise TypeError(f"argument {name!r}: mixes times with and without a time zone")

    def point(value: Any) -> Any:
        if value is None:
            return np.datetime64("NaT")
        if not isinstance(value, datetime.date):
            raise TypeError(f"argument {name!r}: {value!r} is not a date or datetime")
        if isinstance(value, datetime.datetime) and value.tzinfo is not None:
            value = value.astimezone(datetime.UTC).replace(tzinfo=None)
        return np.datetime64(value, "us" if isinstance(value, datetime.datetime) else "D")

    points = np.array([point(v) for v in flat.tolist()], "datetime64[us]")
    return points.reshape(values.shape), zones == {True}


def _datetimes(np: Any, name: str, value: Any) -> tuple[Any, bool, Any] | None:
    """``value`` as a datetime64 array (UTC wall times where it carries a time
    zone), whether it carried one, and its pandas index; None for numbers."""
    kind = _kind(value)
    if kind == "pandas":
        if hasattr(value, "to_datetime64"):  # a Timestamp, or NaT
            aware = getattr(value, "tzinfo", None) is not None
            point = (value.tz_convert(None) if aware else value).to_datetime64()
            return np.asarray(point), aware, None
        dtype = getattr(value, "dtype", None)
        if dtype is None or dtype.kind != "M":
            return None
        aware = getattr(dtype, "tz", None) is not None
        if aware:
            value = value.dt.tz_convert(None) if hasattr(value, "dt") else value.tz_convert(None)
        return np.asarray(value), aware, getattr(value, "index", None)
    if kind == "polars":
        if type(value.dtype).__name__ not in ("Date", "Datetime"):
            return None
        return value.to_numpy(), getattr(value.dtype, "time_zone", None) is not None, None
    if isinstance(value, datetime.date):
        found = _objects(np, name, np.array([value], object))
        assert found is not None
        return found[0].reshape(()), found[1], None
    if isinstance(value, (int, float, np.generic)) and not isinstance(value, np.datetime64):
        return None
    array = np.asarray(value)
    if array.dtype.kind == "M":
        return array, False, None
    if array.dtype.kind == "O":
        found = _objects(np, name, array)
        return None if found is None else (*found, None)
    return None


def _days_in_year(days_in_year: object) -> float:
    if isinstance(days_in_year, bool) or not isinstance(days_in_year, (int, float)):
        raise TypeError(f"days_in_year must be a number, not {type(days_in_year).__name__}")
    if not (0 < days_in_year < float("inf")):
        raise ValueError(f"days_in_year must be positive and finite, got {days_in_year!r}")
    return float(days_in_year)


def times_to_expiry(np: Any, t: Any, as_of: Any, days_in_year: object) -> Any:
    """``t`` itself where it holds numbers (and as_of is None), else the years
    from as_of to the expiries ``t``: a float64 array, or a pandas Series with
    the index of the pandas input among them."""
    expiry = _datetimes(np, "t", t)
    if expiry is None:
        if as_of is not None:
            raise TypeError(
                "as_of is the valuation time for expiry dates, but t holds numbers "
                "(years): pass expiry dates as t, or leave out as_of"
            )
        if days_in_year is not None:
            raise TypeError("days_in_year applies to expiry dates only; t holds numbers (years)")
        return t
    if as_of is None:
        raise TypeError("t holds expiry dates: pass as_of=, the valuation time (one or per option)")
    start = _datetimes(np, "as_of", as_of)
    if start is None:
        raise TypeError(
            f"as_of must be a date or datetime (one or per option), not {type(as_of).__name__}"
        )
    (ends, end_aware, end_index), (starts, start_aware, start_index) = expiry, start
    if end_aware != start_aware:
        with_zone = "t" if end_aware else "as_of"
        raise TypeError(
            f"{with_zone} carries a time zone and the other does not: "
            "give both a time zone or neither"
        )
    days = 365.0 if days_in_year is None else _days_in_year(days_in_year)
    ends, starts = (
        a.astype("datetime64[D]") if np.datetime_data(a.dtype)[0] in ("Y", "M", "W") else a
        for a in (ends, starts)
    )
    try:
        elapsed = np.asarray(ends - starts)
    except ValueError:
        raise ValueError(
            f"the inputs do not broadcast together: t {ends.shape}, as_of {starts.shape}"
        ) from None
    unit, count = np.datetime_data(elapsed.dtype)
    if unit not in _PER_DAY:  # "generic": NaT alone
        return np.full(elapsed.shape, np.nan)
    # One integer difference, one rounding to float64, one division.
    years = elapsed.view(np.int64) / (days * _PER_DAY[unit] / count)
    years = np.where(np.isnat(elapsed), np.nan, years)
    if end_index is None and start_index is None:
        return years
    if end_index is not None and start_index is not None and not end_index.equals(start_index):
        raise ValueError(
            "the pandas inputs t and as_of have different indexes; align them first "
            "(nothing is aligned here)"
        )
    import pandas

    return pandas.Series(
        years, index=end_index if end_index is not None else start_index, copy=False
    )
