"""The asynchronous side, without facades: buffers, `go`, channels, select.

These are the engine's own operations on its one process-wide runtime; only
`asarray` widens what it accepts (any array-like of real numbers, flattened in
C order) before its one copy into a `Buffer`.
"""

from typing import Final

import numpy.typing as npt

from ._engine import Buffer, py_select, runtime
from ._inputs import to_flat

go: Final = runtime.go
chan: Final = runtime.chan
select: Final = py_select


def asarray(a: npt.ArrayLike) -> Buffer:
    """A new `Buffer` holding a copy of the elements of `a`, as float64, in C order.

    Examples
    --------
    >>> import brindlemox as bm
    >>> bm.asarray([[1, 2], [3, 4]])
    Buffer(dtype=float64, shape=[4], len=4)
    """
    return to_buffer("a", a)


def to_buffer(name: str, value: npt.ArrayLike) -> Buffer:
    """`asarray(value)`, with conversion errors naming argument `name`."""
    return runtime.asarray(to_flat(name, value))
