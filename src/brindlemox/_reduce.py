"""Reductions of whole arrays to one float, with the engine's bits: a strictly
sequential sum in C order, its mean, and the minimum and maximum; and the
strict sum carried across the chunks of a chunked array."""

from typing import TYPE_CHECKING, Final, Protocol, overload

import numpy as np
import numpy.typing as npt

from _brindlemox import _REDUCTIONS, _continue_sum, _finish_sum
from _brindlemox import _reduce as _reduce_in_place

from . import _functions
from ._build import BinaryFunction, Operand
from ._dask_dispatch import dask_reduce, is_dask_array
from ._engine import Expr
from ._inputs import to_flat

if TYPE_CHECKING:
    from ._dask_dispatch import DaskArray

_MISSING: Final = object()
_F64: Final = np.dtype(np.float64)
_CODES: Final = {name: code for code, name in enumerate(_REDUCTIONS)}


def reduce_array(name: str, a: object) -> float:
    """The reduction `name` ("sum", "mean", "min" or "max") of all elements of
    `a` in C order, read in place when they are contiguous float64 in C order
    already."""
    if type(a) is not np.ndarray or a.dtype is not _F64 or not (a.flags.c_contiguous and a.flags.aligned):
        # A memory map (or any other subclass) is read where it lies.
        a = to_flat("a", a)
    return _reduce_in_place(a, _CODES[name])


def continue_sum(carry: tuple[float, int], a: object) -> tuple[float, int]:
    """The strict sum's (total, count) after adding `a` in C order to `carry`, from (-0.0, 0)."""
    return _continue_sum(*carry, to_flat("a", a))


def finish_sum(carry: tuple[float, int], name: str) -> float:
    """The sum (or mean) of a finished chain; for no element, the local call's ValueError."""
    return _finish_sum(*carry, name == "mean")


def reduce_any(name: str, a: npt.ArrayLike) -> float:
    """`reduce_array(name, a)`, or the lazy reduction of a Dask array."""
    if type(a) is not np.ndarray and is_dask_array(a):
        return dask_reduce(name, a)  # type: ignore[no-any-return]
    return reduce_array(name, a)


@overload
def sum(a: "DaskArray") -> "DaskArray": ...
@overload
def sum(a: npt.ArrayLike) -> float: ...
def sum(a: npt.ArrayLike) -> "float | DaskArray":
    """The sum of all elements, added strictly left to right in C order from -0.0.

    Bit-reproducible: no pairwise or compensated summation. An empty array is
    ValueError "cannot Sum empty buffer".

    Examples
    --------
    >>> import brindlemox as bm
    >>> bm.sum([1e16, 1.0, -1e16])
    0.0
    """
    return reduce_any("sum", a)


@overload
def mean(a: "DaskArray") -> "DaskArray": ...
@overload
def mean(a: npt.ArrayLike) -> float: ...
def mean(a: npt.ArrayLike) -> "float | DaskArray":
    """The sequential sum of all elements over their count.

    Examples
    --------
    >>> import brindlemox as bm
    >>> bm.mean([1.0, 2.0, 3.0, 4.0])
    2.5
    """
    return reduce_any("mean", a)


class ReduceOrElementwise(Protocol):
    """With one array, its reduction to a float; with two operands, an
    elementwise function of both."""

    @overload
    def __call__(self, a: "DaskArray", /) -> "DaskArray": ...
    @overload
    def __call__(self, a: npt.ArrayLike, /) -> float: ...
    @overload
    def __call__(self, a: Expr, b: Operand, /) -> Expr: ...
    @overload
    def __call__(self, a: float, b: Expr, /) -> Expr: ...
    @overload
    def __call__(self, a: float, b: float, /) -> float: ...


def _reduce_or_elementwise(
    name: str, elementwise: BinaryFunction, element: str, elementwise_name: str, example: str
) -> ReduceOrElementwise:
    """The function `name`: its reduction of one array, or `elementwise` of two
    operands. Its docstring calls the element it returns `element` and shows
    `example` as the result of `name([3.0, 1.0, 2.0])`."""

    def function(a: object, b: object = _MISSING, /) -> object:
        if b is _MISSING:
            return reduce_any(name, a)  # type: ignore[arg-type]
        return elementwise(a, b)  # type: ignore[call-overload]

    function.__name__ = function.__qualname__ = name
    function.__doc__ = f"""With one argument, the {element} element of an array (NaN if any is NaN);
    with two, the elementwise `{elementwise_name}`.

    Examples
    --------
    >>> import brindlemox as bm
    >>> bm.{name}([3.0, 1.0, 2.0])
    {example}
    """
    return function  # type: ignore[return-value]


min: Final = _reduce_or_elementwise("min", _functions.minimum, "smallest", "minimum", "1.0")
max: Final = _reduce_or_elementwise("max", _functions.maximum, "largest", "maximum", "3.0")
