"""Exact sums and means. A sum is the exact sum of its elements rounded once,
which no order of addition changes: every memory layout, chunking, split
among threads and processor gives the same bits. A mean is the sum rounded to
float64 over the count. A sum in progress is a state (an int64 array) that
values add into and that other states merge into."""

import functools
import math
import os
import warnings
from typing import Final

import numpy as np

from _brindlemox import (
    _EXACT_SUM_WORDS,
    _SUM_FORMATS,
    _exact_sum_add,
    _exact_sum_columns,
    _exact_sum_kernel_rows,
    _exact_sum_merge,
    _exact_sum_round,
    _exact_sum_rows,
)

_F64: Final = np.dtype(np.float64)
#: The dtypes the engine sums where they lie; others are converted to float64 first.
_READ: Final = (_F64, np.dtype(np.float32))
_FORMATS: Final = {name: code for code, name in enumerate(_SUM_FORMATS)}
#: Warnings name the first frame outside the package.
_PACKAGE: Final = (os.path.dirname(__file__),)


def sums_exactly(name: str, dtype: np.dtype) -> bool:
    """Whether the reduction `name` of data of `dtype` is an exact sum: every
    mean, and the sums of real and complex floating data (bool and integer
    sums are NumPy's 64-bit integer sums)."""
    return name == "mean" or (name == "sum" and dtype.kind in "fc")


def _warn_no_element() -> None:
    """NumPy's warning for a mean of no element; the sum of none is +0.0, and
    0.0 / 0 is NaN with a warning of its own."""
    warnings.warn("Mean of empty slice", RuntimeWarning, skip_file_prefixes=_PACKAGE)


@functools.cache
def _format(name: str, dtype: np.dtype) -> int:
    """The format a sum rounds to: a mean's is float64, a sum's its parts' dtype."""
    return _FORMATS["float64" if name == "mean" else np.finfo(dtype).dtype.name]


def _summable(part: np.ndarray, contiguous: bool) -> np.ndarray:
    """`part` as aligned float64 or float32 data, C-contiguous if `contiguous`."""
    return np.require(part, part.dtype if part.dtype in _READ else _F64, ["C", "A"] if contiguous else ["A"])


def _rows(part: np.ndarray, order: list[int], whole: bool) -> np.ndarray:
    """The elements of `part`, axes in `order`, as rows one after another (for a
    `whole` reduction, in whatever order memory holds them)."""
    part = np.asarray(part)
    if whole and (part.flags.c_contiguous or part.flags.f_contiguous):
        return _summable(part.ravel(order="K"), False)
    return _summable(part.transpose(order), True)


def exact_rows(name: str, array: np.ndarray, kept: list[int], reduced: list[int], dtype: np.dtype) -> np.ndarray:
    """The sum (or mean) `name` of `array` along the axes `reduced`, of `dtype`
    (NumPy's result dtype), with the axes `kept` in that order; a complex
    array's parts each summed exactly. As NumPy's, a sum of no element is
    +0.0, and a mean of none NaN with a RuntimeWarning."""
    shape = [array.shape[dimension] for dimension in kept]
    count = math.prod(array.shape[dimension] for dimension in reduced)
    if count == 0 and name == "mean":
        _warn_no_element()
    code = _format(name, dtype)
    result = np.empty(shape, dtype)
    complex_data = array.dtype.kind == "c"
    for part, target in ((array.real, result.real), (array.imag, result.imag)) if complex_data else ((array, result),):
        sums = np.empty(shape)
        part = np.asarray(part)
        if kept and reduced == list(range(len(reduced))) and part.flags.c_contiguous:
            # The reduced axes lead: each result element sums a column where the values lie.
            _exact_sum_columns(_summable(part, True), code, sums)
        else:
            _exact_sum_rows(_rows(part, kept + reduced, not kept), code, sums)
        target[...] = sums / count if name == "mean" else sums
    return result


def exact_whole(name: str, array: np.ndarray) -> float:
    """The sum (or mean) `name` of every element of `array`, C-contiguous,
    aligned float64 data of at least one element, as `exact_rows` gives it:
    a call's own work, with nothing to arrange."""
    sums = np.empty(())
    _exact_sum_rows(array.reshape(-1), _format(name, _F64), sums)
    return float(sums) / array.size if name == "mean" else float(sums)


def kernel_rows(
    name: str, compiled: object, operands: tuple[object, ...], shape: list[int], count: int
) -> np.ndarray | None:
    """The float64 sum (or mean) `name` of each row of `count` values of a
    compiled kernel over `operands` in C order, as `exact_rows` gives it, in
    an array of `shape`; None when the engine cannot read the operands where
    they lie."""
    result = np.empty(shape)
    if not _exact_sum_kernel_rows(compiled, operands, _format(name, _F64), result):
        return None
    return result / count if name == "mean" else result


def new_state() -> np.ndarray:
    """The state of a sum of no element."""
    return np.zeros(_EXACT_SUM_WORDS, np.int64)


def add_values(state: np.ndarray, values: np.ndarray) -> np.ndarray:
    """`state` after adding `values` (real, of any shape and layout) to it, in place."""
    _exact_sum_add(state, _rows(values, list(range(values.ndim)), True))
    return state


def merge_states(states: np.ndarray) -> np.ndarray:
    """One state holding the sum of `states`, any number of states one after
    another in a 1-d array."""
    merged = new_state()
    for state in states.reshape(-1, _EXACT_SUM_WORDS):
        _exact_sum_merge(merged, state)
    return merged


def round_state(state: np.ndarray, name: str, dtype: np.dtype = _F64) -> float:
    """The sum (or mean) `name` a state holds, as `exact_rows` gives it in
    `dtype` (held in a float), for no element as well."""
    total, count = _exact_sum_round(state, _format(name, dtype))
    if name != "mean":
        return total
    if count == 0:
        _warn_no_element()
    return float(np.float64(total) / count)
