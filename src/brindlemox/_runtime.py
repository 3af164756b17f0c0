"""Engine buffers: `asarray` copies any array-like of real numbers, flattened
in C order, into a new `Buffer`."""

import numpy.typing as npt

from ._engine import Buffer, runtime
from ._inputs import to_flat


def asarray(a: npt.ArrayLike) -> Buffer:
    """A new `Buffer` holding a copy of the elements of `a`, as float64, in C order.

    Parameters
    ----------
    a : array_like
        Booleans, integers or floats, in any shape.

    Returns
    -------
    Buffer
        A one-dimensional engine buffer of the elements.

    Raises
    ------
    TypeError
        For any other data.

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
