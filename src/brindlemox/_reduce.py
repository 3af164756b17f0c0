"""Reductions of whole arrays to one float, and of lines along axes: exact sums
and means (see `_exact`), a strictly sequential product in C order, the
minimum and maximum."""

import functools
import operator
from typing import TYPE_CHECKING, Any, Final, Literal, Protocol, overload

import numpy as np
import numpy.typing as npt

try:
    from numpy.lib.array_utils import normalize_axis_tuple
except ImportError:  # NumPy 1.x keeps it beside the other array functions
    from numpy.core.numeric import normalize_axis_tuple  # type: ignore[attr-defined,no-redef]

from _brindlemox import _REDUCTIONS, _reduce_integer_rows, _reduce_min_max, _reduce_rows
from _brindlemox import _reduce as _reduce_in_place

from . import _functions
from ._exact import exact_rows, exact_whole, sums_exactly
from ._build import BinaryFunction, Operand
from ._engine import Expr
from ._inputs import read_typed, to_flat
from ._text import Axis
from ._route import integration, is_dask

if TYPE_CHECKING:
    from ._route import DaskArray

_MISSING: Final = object()
_F64: Final = np.dtype(np.float64)
_CODES: Final = {name: code for code, name in enumerate(_REDUCTIONS)}
_SUMS: Final = ("sum", "mean")


def reduce_array(name: str, a: object) -> Any:
    """The reduction `name` ("sum", "prod", "mean", "min" or "max") of all
    elements of `a`: exact sums and means, the others in C order, read in
    place when they are contiguous float64 in C order already; data of other
    dtypes gives NumPy's result dtype (see `_reduce_typed`)."""
    if type(a) is np.ndarray and a.dtype is _F64 and a.flags.c_contiguous and a.flags.aligned:
        if name not in _SUMS:
            return _reduce_in_place(a, _CODES[name])
        if a.size:
            return exact_whole(name, a)
    array = _typed_array(a)
    if array.dtype != _F64 or name in _SUMS:
        return _reduce_typed(name, array, None, False)
    # A memory map (or any other subclass) is read where it lies.
    return _reduce_in_place(to_flat("a", array), _CODES[name])


def min_and_max(array: np.ndarray) -> tuple[float, float] | None:
    """`reduce_array("min", array)` and `reduce_array("max", array)` in one
    pass over its memory, for non-empty float64 data in C order read where
    it lies; None for any other array."""
    flags = array.flags
    if type(array) is np.ndarray and array.dtype is _F64 and array.size and flags.c_contiguous and flags.aligned:
        return _reduce_min_max(array)
    return None


def _typed_array(a: object) -> np.ndarray:
    """`a` as an array of its own dtype, as typed evaluation reads it."""
    _, value = read_typed("a", a)
    return value if isinstance(value, np.ndarray) else np.asarray(value)


@functools.cache
def result_dtype(name: str, dtype: np.dtype) -> np.dtype:
    """NumPy's dtype for the reduction `name` of data of `dtype`."""
    if name in ("min", "max"):
        return dtype
    return getattr(np, name)(np.ones(1, dtype)).dtype  # type: ignore[no-any-return]


def _reduce_typed(name: str, array: np.ndarray, axis: Axis, keepdims: bool) -> Any:
    """The reduction of data of a dtype other than float64 (or any sum or
    mean), with NumPy's result dtype: exact sums and means (see `_exact`);
    bool and integer sums, products and extremes exact in 64 bits; float16
    and float32 products and extremes computed in float64 and rounded once
    at the end; complex products and extremes by NumPy. A whole float64 sum
    or mean is a Python float."""
    dtype = result_dtype(name, array.dtype)
    reduced = reduced_axes(axis, array.ndim)
    if sums_exactly(name, array.dtype):
        kept = [dimension for dimension in range(array.ndim) if dimension not in reduced]
        result = exact_rows(name, array, kept, reduced, dtype)
        if result.ndim == 0 and not keepdims and array.dtype == _F64:
            return float(result)
    elif array.dtype.kind in "biu":
        result = _integer_rows(name, array, axis).astype(dtype, copy=False)
    elif array.dtype.kind == "c":
        # NumPy's own loops: its products in its order, and its extremes,
        # which order complex numbers by real part, then imaginary part.
        with np.errstate(all="ignore"):
            result = np.asarray(getattr(np, name)(array, axis=tuple(reduced)))
    else:
        result = np.asarray(reduce_axes(name, array.astype(_F64), axis, False)).astype(dtype)
    if keepdims:
        result = np.expand_dims(result, tuple(reduced))
    return result[()] if result.ndim == 0 else result


def _integer_rows(name: str, array: np.ndarray, axis: Axis) -> np.ndarray:
    reduced = reduced_axes(axis, array.ndim)
    kept = [dimension for dimension in range(array.ndim) if dimension not in reduced]
    rows = np.ascontiguousarray(array.transpose(kept + reduced))
    if rows.size == 0 and name in ("min", "max"):
        # NumPy's words: these reductions have no value for no element.
        getattr(np, name)(np.empty((0, 1) if rows.ndim == 0 else rows.shape), axis=None)
    result = np.empty([array.shape[dimension] for dimension in kept], np.uint64 if array.dtype.kind == "u" else np.int64)
    _reduce_integer_rows(rows, _CODES[name], result)
    return result


def reduced_axes(axis: Axis, ndim: int) -> list[int]:
    """The axes `axis` names (all when None) in increasing order, with NumPy's
    errors for axes out of range or repeated."""
    given = range(ndim) if axis is None else axis if isinstance(axis, tuple) else (axis,)
    axes = normalize_axis_tuple([operator.index(one) for one in given], ndim, allow_duplicate=True)
    if len(set(axes)) != len(axes):
        raise ValueError("duplicate value in 'axis'")
    return sorted(axes)


def reduced_shape(shape: tuple[int, ...], axis: Axis, keepdims: bool) -> tuple[int, ...]:
    """The shape of the reduction along `axis` of an array of `shape`, with
    the errors of `reduced_axes`."""
    reduced = reduced_axes(axis, len(shape))
    if keepdims:
        return tuple(1 if dimension in reduced else size for dimension, size in enumerate(shape))
    return tuple(size for dimension, size in enumerate(shape) if dimension not in reduced)


def reduce_axes(name: str, a: object, axis: Axis, keepdims: bool) -> Any:
    """The reduction `name` of `a` along `axis` (all axes when None), with
    NumPy's result shape and errors: each result element reduces its line of
    elements, over several axes in C order, as `reduce_array` reduces a whole
    array."""
    if axis is None and not keepdims:
        return reduce_array(name, a)
    array = _typed_array(a)
    if array.dtype != _F64 or name in _SUMS:
        return _reduce_typed(name, array, axis, keepdims)
    reduced = reduced_axes(axis, array.ndim)
    kept = [dimension for dimension in range(array.ndim) if dimension not in reduced]
    # The reduced axes last and in C order, so that each line is one row.
    rows = np.ascontiguousarray(array.transpose(kept + reduced))
    result = np.empty([array.shape[dimension] for dimension in kept])
    _reduce_rows(rows, _CODES[name], result)
    if keepdims:
        return np.expand_dims(result, tuple(reduced))
    return float(result) if result.ndim == 0 else result


def reduce_any(name: str, a: npt.ArrayLike, axis: Axis = None, keepdims: bool = False) -> Any:
    """`reduce_axes(name, a, axis, keepdims)`, or the lazy reduction of a Dask array."""
    if type(a) is not np.ndarray and is_dask(a):
        if axis is not None or keepdims:
            return integration().reduce_along(name, a, axis, keepdims)
        return integration().reduce(name, a)
    return reduce_axes(name, a, axis, keepdims)


class Reduction(Protocol):
    """A reduction of all elements of an array, or of each line along `axis`."""

    @overload
    def __call__(self, a: "DaskArray", axis: None = None, keepdims: Literal[False] = False) -> "DaskArray": ...
    @overload
    def __call__(self, a: npt.ArrayLike, axis: None = None, keepdims: Literal[False] = False) -> float: ...
    @overload
    def __call__(self, a: npt.ArrayLike, axis: Axis = None, keepdims: bool = False) -> Any: ...


_REDUCTION_PARAMETERS: Final = """
    Parameters
    ----------
    a : array_like or dask.array.Array
        The array (anything NumPy takes as one), or a Dask array.
    axis : int or tuple of int, optional
        The axis or axes to reduce along; None (the default) reduces all of
        them. An axis out of range is NumPy's AxisError.
    keepdims : bool, optional
        Whether the reduced axes stay in the result, with length one.

    Returns
    -------
    float or numpy.ndarray or dask.array.Array
        A float for a whole NumPy array, a float64 array along axes, a lazy
        Dask array (0-d for a whole one) for a Dask array.

    Raises
    ------
    ValueError
        For an empty array, or an empty line along `axis`.
    TypeError
        For data other than booleans, integers and floats.

    Examples
    --------
    >>> import brindlemox as bm"""


def _reduction(name: str, summary: str, examples: str) -> Reduction:
    """The reduction `name`, documented by `summary` and the doctest lines `examples`."""

    def function(a: npt.ArrayLike, axis: Axis = None, keepdims: bool = False) -> Any:
        return reduce_any(name, a, axis, keepdims)

    function.__name__ = function.__qualname__ = name
    function.__doc__ = f"{summary}{_REDUCTION_PARAMETERS}{examples}\n    "
    return function


sum: Final = _reduction(
    "sum",
    """The exact sum of all elements, rounded once to the result's dtype.

    Bit-reproducible: no order of addition, memory layout or thread count
    changes the exact sum, and no partial sum overflows. NaN if any element
    is NaN or both infinities are there; -0.0 only when every element is
    -0.0. Bool and integer data give NumPy's integer sums; a complex sum is
    exact part by part. No element sums to +0.0, as in NumPy.
    Along axes, each result element is the exact sum of its line.
""",
    """
    >>> bm.sum([1e16, 1.0, -1e16])
    1.0
    >>> bm.sum([[1.0, 2.0], [3.0, 4.0]], axis=1)
    array([3., 7.])
    >>> bm.sum([[1.0, 2.0], [3.0, 4.0]], axis=0, keepdims=True)
    array([[4., 6.]])""",
)
prod: Final = _reduction(
    "prod",
    """The product of all elements, multiplied strictly left to right in C order from 1.0.

    An empty array is ValueError "cannot Prod empty buffer".
""",
    """
    >>> bm.prod([1e200, 1e200, 1e-200])
    inf
    >>> bm.prod([1e200, 1e-200, 1e200])
    1e+200
    >>> bm.prod([[1.0, 2.0], [3.0, 4.0]], axis=-1)
    array([ 2., 12.])""",
)
mean: Final = _reduction(
    "mean",
    """The exact sum of all elements, rounded once to float64, over their count,
    in NumPy's result dtype (float64 for bool and integer data).
""",
    """
    >>> bm.mean([1.0, 2.0, 3.0, 4.0])
    2.5
    >>> bm.mean([[1.0, 2.0], [3.0, 4.0]], axis=(0, 1), keepdims=True)
    array([[2.5]])""",
)


class ReduceOrElementwise(Protocol):
    """With one array, its reduction to a float; with two operands, an
    elementwise function of both."""

    @overload
    def __call__(self, a: "DaskArray", /) -> "DaskArray": ...
    @overload
    def __call__(self, a: npt.ArrayLike, /) -> float: ...
    @overload
    def __call__(self, a: npt.ArrayLike, /, *, axis: Axis = None, keepdims: bool = False) -> Any: ...
    @overload
    def __call__(self, a: Expr, b: Operand, /) -> Expr: ...
    @overload
    def __call__(self, a: float, b: Expr, /) -> Expr: ...
    @overload
    def __call__(self, a: float, b: float, /) -> float: ...


def reduce_array_as_it_is(name: str, array: np.ndarray, axis: Axis, keepdims: bool) -> Any:
    """The reduction of an array a text reduces by its bare name: read where
    it lies rather than copied by an expression first, with the same bits,
    as a copy holds the same values in the same index order. A whole-array
    reduction of float64 data is a Python float, as the fused form gives."""
    reduced = reduce_any(name, array, axis, keepdims)
    return float(reduced) if axis is None and not keepdims and array.dtype == _F64 else reduced


def _reduce_or_elementwise(
    name: str, elementwise: BinaryFunction, element: str, elementwise_name: str, example: str, axis_example: str
) -> ReduceOrElementwise:
    """The function `name`: its reduction of one array, or `elementwise` of two
    operands. Its docstring calls the element it returns `element` and shows
    `example` as the result of `name([3.0, 1.0, 2.0])`, and `axis_example`
    as that of `name([[3.0, 1.0], [2.0, 4.0]], axis=0)`."""

    def function(a: object, b: object = _MISSING, /, *, axis: Axis = None, keepdims: bool = False) -> object:
        if b is _MISSING:
            return reduce_any(name, a, axis, keepdims)  # type: ignore[arg-type]
        if axis is not None or keepdims:
            raise TypeError(f"{name}() takes axis and keepdims only with one array")
        return elementwise(a, b)  # type: ignore[call-overload]

    function.__name__ = function.__qualname__ = name
    function.__doc__ = f"""With one argument, the {element} element of an array (NaN if any is NaN),
    or of each line along `axis` (an int or a tuple of them), as NumPy's
    `axis` and `keepdims` say; with two, the elementwise `{elementwise_name}`.

    Parameters
    ----------
    a : array_like or dask.array.Array or Expr or float
        The array to reduce, or the first operand.
    b : Expr or float, optional
        The second operand of `{elementwise_name}`.
    axis : int or tuple of int, optional
        The axis or axes to reduce along; None (the default) reduces all of them.
    keepdims : bool, optional
        Whether the reduced axes stay in the result, with length one.

    Returns
    -------
    float or numpy.ndarray or dask.array.Array or Expr
        The reduction, as `sum` returns it, or the elementwise expression.

    Examples
    --------
    >>> import brindlemox as bm
    >>> bm.{name}([3.0, 1.0, 2.0])
    {example}
    >>> bm.{name}([[3.0, 1.0], [2.0, 4.0]], axis=0)
    {axis_example}
    """
    return function  # type: ignore[return-value]


min: Final = _reduce_or_elementwise("min", _functions.minimum, "smallest", "minimum", "1.0", "array([2., 1.])")
max: Final = _reduce_or_elementwise("max", _functions.maximum, "largest", "maximum", "3.0", "array([3., 4.])")
