"""The pieces of Dask's reductions of brindlemox: an array's elements as a
1-d array of chunks in C order, and the tree reductions whose partials Dask
combines in chunk order by the engine's own rule, or, for sums and means, in
any order as exact sum states, with the local call's bits.
"""

# Dask ships without type annotations: its calls are untyped and return Any.
# mypy: disable-error-code="no-untyped-call, no-any-return"

from __future__ import annotations

import math
from functools import partial
from collections.abc import Callable
from typing import Any, Literal

import dask.array as da
import numpy as np

from ._dask_workers import use_share_of_cpus
from ._exact import add_values, merge_states, new_state, round_state
from ._reduce import reduce_array

_F64 = np.dtype(np.float64)
#: Partials a combining task takes at most. A partial is a few hundred bytes and
#: combines in microseconds, while each level of the tree costs a round of
#: transfers between workers and of scheduling: a wide tree has few levels (one
#: up to this many chunks), and still keeps each task's share of thousands of
#: chunks small.
_SPLIT_EVERY = 16


def in_element_order(x: da.Array) -> da.Array:
    """``x`` as a 1-d array whose chunks, taken in order, hold its elements in C order.

    Each chunk is one row of blocks (the blocks that share their index along the first axis)
    joined and raveled, which needs no sizes: rows may be of unknown count (after boolean
    indexing) or hold no element at all.
    """
    if x.ndim == 1:
        return x
    if x.ndim == 0:
        return x.reshape(1)
    row = math.prod(x.shape[1:])
    return da.blockwise(
        np.ravel,
        (0,),
        x,
        tuple(range(x.ndim)),
        concatenate=True,
        adjust_chunks={0: lambda rows: rows * row},
        dtype=x.dtype,
        meta=np.empty(0, dtype=x.dtype),
    )


def tree(
    name: str,
    flat: da.Array,
    dtype: np.dtype,
    partial_of: Callable[..., Any],
    total_of: Callable[..., Any],
    combine: Callable[..., Any] | None = None,
) -> da.Array:
    """`flat`, a 1-d array, reduced in Dask's tree to a 0-d array of `dtype`:
    `partial_of` each chunk, `combine` (`partial_of` by default) the
    concatenated partials of several, and `total_of` those at the top."""
    return da.reduction(
        flat,
        chunk=partial_of,
        combine=combine or partial_of,
        aggregate=total_of,
        axis=0,
        dtype=dtype,
        concatenate=True,
        meta=np.empty((), dtype=dtype),
        name=f"brindlemox-{name}",
        split_every=_SPLIT_EVERY,
    )


def extreme(name: Literal["min", "max"], flat: da.Array) -> da.Array:
    # Dask concatenates partials of consecutive chunks in order; the engine's rule over them
    # (first NaN wins, the earlier of equal values wins) then equals its rule over all values.
    return tree(name, flat, _F64, partial(_extreme_partial, name), partial(_extreme_total, name))


def _extreme_partial(name: str, values: np.ndarray, axis: object, keepdims: bool) -> np.ndarray:
    """One partial per non-empty run of chunks; an empty chunk contributes none."""
    use_share_of_cpus()
    if values.size == 0:
        return np.empty(0, dtype=_F64)
    return np.array([reduce_array(name, values)], dtype=_F64)


def _extreme_total(name: str, partials: np.ndarray, axis: object, keepdims: bool) -> np.float64:
    # With no partials at all, the local call raises its own error for empty input.
    return np.float64(reduce_array(name, partials))


def exact_partial(name: str, values: np.ndarray, axis: object, keepdims: bool) -> np.ndarray:
    use_share_of_cpus()
    wide = np.uint64 if values.dtype.kind == "u" else np.int64
    if values.size == 0:
        return np.empty(0, dtype=wide)
    return np.array([reduce_array(name, values)], dtype=wide)


def exact_total(name: str, result: np.dtype, partials: np.ndarray, axis: object, keepdims: bool, **_: object) -> Any:
    # With no partials at all, the local call's value (or error) for empty input.
    return np.asarray(reduce_array(name, partials)).astype(result)[()]


def complex_of(real: float, imag: float, dtype: np.dtype) -> Any:
    # Set part by part: arithmetic would turn an infinite part into NaNs.
    value = np.empty((), dtype)
    value.real, value.imag = real, imag
    return value[()]


def exact_sum(name: Literal["sum", "mean"], flat: da.Array, dtype: np.dtype) -> da.Array:
    """The sum (or mean) of a real 1-d array, of `dtype` as the local call
    gives it: each chunk's exact sum state, merged in a tree and rounded once."""
    return tree(name, flat, dtype, _state_of, partial(_rounded, name, dtype), combine=_merged)


def _state_of(values: np.ndarray, axis: object, keepdims: bool) -> np.ndarray:
    use_share_of_cpus()
    return add_values(new_state(), values)


def _merged(states: np.ndarray, axis: object, keepdims: bool) -> np.ndarray:
    return merge_states(states)


def _rounded(name: str, result: np.dtype, states: np.ndarray, axis: object, keepdims: bool, **_: object) -> Any:
    # With no element at all, the local call's error for empty input.
    return np.asarray(round_state(merge_states(states), name, result)).astype(result)[()]
