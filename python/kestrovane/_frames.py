"""Results in the caller's kind of table: a pandas DataFrame or Series with the
index of the pandas inputs, or polars ones for polars inputs; statuses as a
categorical of the ``IvStatus`` names. pandas and polars are imported only
once the caller has passed one of their objects."""

from __future__ import annotations

import enum
import importlib
from typing import Any


def status_names(statuses: type[enum.IntEnum]) -> list[str]:
    """The status names in code order, so that a categorical's codes are the
    status values; every value from 0 up must be taken."""
    members = sorted(statuses, key=int)
    if [int(m) for m in members] != list(range(len(members))):
        raise RuntimeError(f"{statuses.__name__} values must run 0, 1, 2, ... without gaps")
    return [m.name for m in members]


def _polars_length(shape: tuple[int, ...]) -> None:
    if len(shape) != 1:
        raise ValueError(
            f"the inputs broadcast to shape {shape}: a polars result is one column "
            "per quantity, so the inputs must broadcast to one dimension"
        )


def greeks_frame(kind: str, index: Any, names: tuple[str, ...], block: Any, outs: Any) -> Any:
    """The quantities as a pandas or polars DataFrame, one column each."""
    if kind == "pandas":
        import pandas

        # block.T keeps the one buffer: the frame holds it without a copy.
        return pandas.DataFrame(block.T, index=index, columns=list(names), copy=False)
    polars = importlib.import_module("polars")
    _polars_length(block.shape[1:])
    return polars.DataFrame([polars.Series(name, out) for name, out in zip(names, outs)])


def iv_series(
    kind: str, index: Any, out: Any, reasons: Any, statuses: type[enum.IntEnum]
) -> tuple[Any, Any]:
    """The implied volatilities, and the statuses (if any) as a categorical
    of the status names whose codes are the status values."""
    names = status_names(statuses)
    if kind == "pandas":
        import pandas

        out = pandas.Series(out, index=index, name="implied_volatility", copy=False)
        if reasons is not None:
            codes = pandas.Categorical.from_codes(reasons, categories=pandas.Index(names))
            reasons = pandas.Series(codes, index=index, name="status", copy=False)
        return out, reasons
    polars = importlib.import_module("polars")
    _polars_length(out.shape)
    out = polars.Series("implied_volatility", out)
    if reasons is not None:
        codes = polars.Series("status", reasons.astype("uint8"))
        enum_type = polars.Enum(names)
        # polars 2 turns codes into an Enum with cat.to, earlier ones by cast.
        to = getattr(getattr(codes, "cat", None), "to", None)
        reasons = to(enum_type) if to is not None else codes.cast(enum_type)
    return out, reasons
