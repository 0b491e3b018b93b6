"""Whole-book kernels behind kestrovane.greeks and kestrovane.implied_volatility.

Every input buffer has the outputs' shape (any byte strides, 0 for broadcast
values); flag holds 1-byte items (nonzero for a call), the rest float64.
Outputs are writable C-contiguous float64 buffers, status int8.
"""

from collections.abc import Buffer

def greeks(
    model: int,
    quantities: tuple[int, ...],
    flag: Buffer,
    X: Buffer,
    K: Buffer,
    t: Buffer,
    r: Buffer,
    sigma: Buffer,
    q: Buffer,
    outs: tuple[Buffer, ...],
    threads: int,
    /,
) -> None: ...
def implied_volatility(
    model: int,
    flag: Buffer,
    price: Buffer,
    X: Buffer,
    K: Buffer,
    t: Buffer,
    r: Buffer,
    q: Buffer,
    out: Buffer,
    status: Buffer | None,
    threads: int,
    /,
) -> None: ...
