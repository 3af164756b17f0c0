"""Reductions of whole arrays to one float, with the engine's bits: a strictly
sequential sum in C order, its mean, and the minimum and maximum."""

from typing import Final, overload

import numpy as np
import numpy.typing as npt

from _brindlemox import _reduce as _reduce_in_place

from . import _build
from ._build import Operand
from ._dask_dispatch import dask_reduce, is_dask_array
from ._engine import Expr
from ._inputs import to_operand

_MISSING: Final = object()
_F64: Final = np.dtype(np.float64)
# The engine's reduction codes.
_SUM, _MEAN, _MIN, _MAX = 0, 1, 2, 3


def _reduce(op: int, a: npt.ArrayLike) -> float:
    """Reduction `op` of all elements of `a` in C order, read in place when
    they are contiguous float64 in C order already."""
    if type(a) is not np.ndarray or a.dtype is not _F64 or not (a.flags.c_contiguous and a.flags.aligned):
        values = to_operand("a", a)
        # Copied only when not yet aligned float64 in C order: a memory map
        # (or any other subclass) is read where it lies.
        a = np.array([values]) if isinstance(values, float) else np.require(values, requirements=("C", "A")).reshape(-1)
    return _reduce_in_place(a, op)


def sum(a: npt.ArrayLike) -> float:
    """The sum of all elements, added strictly left to right in C order from -0.0.

    Bit-reproducible: no pairwise or compensated summation. An empty array is
    ValueError "cannot Sum empty buffer".

    Examples
    --------
    >>> import brindlemox as bm
    >>> bm.sum([1e16, 1.0, -1e16])
    0.0
    """
    if is_dask_array(a):
        return dask_reduce("sum", a)  # type: ignore[no-any-return]
    return _reduce(_SUM, a)


def mean(a: npt.ArrayLike) -> float:
    """The sequential sum of all elements over their count.

    Examples
    --------
    >>> import brindlemox as bm
    >>> bm.mean([1.0, 2.0, 3.0, 4.0])
    2.5
    """
    if is_dask_array(a):
        return dask_reduce("mean", a)  # type: ignore[no-any-return]
    return _reduce(_MEAN, a)


@overload
def min(a: npt.ArrayLike, /) -> float: ...
@overload
def min(a: Expr, b: Operand, /) -> Expr: ...
@overload
def min(a: float, b: Expr, /) -> Expr: ...
@overload
def min(a: float, b: float, /) -> float: ...
def min(a: object, b: object = _MISSING, /) -> object:
    """With one argument, the smallest element of an array (NaN if any is NaN);
    with two, the elementwise `minimum`.

    Examples
    --------
    >>> import brindlemox as bm
    >>> bm.min([3.0, 1.0, 2.0])
    1.0
    """
    if b is _MISSING:
        if is_dask_array(a):
            return dask_reduce("min", a)
        return _reduce(_MIN, a)  # type: ignore[arg-type]
    return _build.minimum(a, b)  # type: ignore[call-overload]


@overload
def max(a: npt.ArrayLike, /) -> float: ...
@overload
def max(a: Expr, b: Operand, /) -> Expr: ...
@overload
def max(a: float, b: Expr, /) -> Expr: ...
@overload
def max(a: float, b: float, /) -> float: ...
def max(a: object, b: object = _MISSING, /) -> object:
    """With one argument, the largest element of an array (NaN if any is NaN);
    with two, the elementwise `maximum`.

    Examples
    --------
    >>> import brindlemox as bm
    >>> bm.max([3.0, 1.0, 2.0])
    3.0
    """
    if b is _MISSING:
        if is_dask_array(a):
            return dask_reduce("max", a)
        return _reduce(_MAX, a)  # type: ignore[arg-type]
    return _build.maximum(a, b)  # type: ignore[call-overload]
