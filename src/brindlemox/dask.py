"""Dask arrays in, Dask arrays out: Dask plans and moves the chunks, brindlemox computes each one.

A kernel over Dask arrays is one blockwise layer, so its result is bit-identical to the local
call on the assembled array by construction. The reductions keep the local result's bits too:
``min`` and ``max`` are Dask tree reductions whose partials are combined in chunk order by the
engine's own rule; ``sum`` and ``mean`` are tree reductions of exact sum states, which merge in
any order and round once at the end; and the strict ``prod`` is a chain in which each chunk's
fold continues from the previous chunk's running value, so that only that small carry is
serial.

Elements are reduced in C order, as the local calls read them: an N-d array is reduced as the
1-d array whose chunks are its rows of blocks, each joined and raveled.

In a ``distributed`` worker's own process, the first brindlemox task sizes the process's engine
pool to the worker's share of the host's CPUs, so that workers x threads x pool threads never
exceeds them. Workers in the caller's process (an in-process cluster) leave its pool alone.
"""

# Dask ships without type annotations: its calls are untyped and return Any.
# mypy: disable-error-code="no-untyped-call, no-any-return"

from __future__ import annotations

from collections.abc import Sequence
from functools import partial
from typing import Any, Literal

import numpy as np

try:
    import dask.array as da
    from dask.base import tokenize
    from dask.delayed import delayed
except ImportError as error:  # pragma: no cover - exercised in a subprocess without Dask
    raise ImportError(
        "brindlemox's Dask integration needs Dask: run pip install '.[dask]' in brindlemox's source tree, "
        "or pip install '<wheel>[dask]' (either brings dask[array] and distributed)"
    ) from error

from ._build import with_sections
from ._dask_trees import complex_of, exact_partial, exact_sum, exact_total, extreme, in_element_order, tree
from ._dask_workers import use_share_of_cpus
from ._inputs import broadcast_shapes, read_typed, to_operand
from ._kernel import Kernel
from ._math import resolve_math
from ._text import Axis
from ._python_ints import int_classes
from ._exact import sums_exactly
from ._reduce import reduce_array, reduce_axes, reduced_axes, result_dtype
from ._threads import get_num_threads
from ._typed_eval import level_plan, run_typed, typed_call

__all__ = ["apply_kernel", "apply_text", "reduce", "reduce_along", "worker_num_threads"]

Reduction = Literal["sum", "prod", "mean", "min", "max"]

_FLOAT64 = np.dtype(np.float64)

# The parameters `reduce` and `reduce_along` both begin with.
_REDUCTION_PARAMETERS = """name : {'sum', 'prod', 'mean', 'min', 'max'}
        The reduction.
    x : dask.array.Array
        The array to reduce."""


def apply_kernel(kernel: Kernel, values: Sequence[object], out: object = None) -> da.Array:
    """Apply ``kernel`` chunk by chunk; lazy, nothing is computed here.

    ``values`` are the kernel's arguments in ``kernel.names`` order: Dask arrays, NumPy arrays
    (chunked to match, as Dask does) and scalars. Shapes broadcast by NumPy's rules. A lazy
    result has no memory to write into, so ``out`` must be None.

    Parameters
    ----------
    kernel : Kernel
        The kernel to apply.
    values : sequence
        Its arguments, in the order of ``kernel.names``.
    out : None, optional
        Must be None.

    Returns
    -------
    dask.array.Array
        The lazy result, chunked as the inputs, of the dtype a call gives.

    Raises
    ------
    TypeError
        When ``out`` is given.
    ValueError
        When the shapes do not broadcast.

    Examples
    --------
    >>> import dask.array as da, brindlemox as bm
    >>> x = da.arange(6.0, chunks=4)
    >>> apply_kernel(bm.kernel(lambda x, y: 2 * x + y), [x, 1.0]).compute()
    array([ 1.,  3.,  5.,  7.,  9., 11.])
    """
    # Every chunk computes in the math mode of this call, whichever thread runs it.
    mode = resolve_math(kernel.math)
    if not kernel.typed:
        operands = [_as_operand(name, value) for name, value in zip(kernel.names, values, strict=True)]
        return _blockwise(partial(_apply_block, kernel, mode), kernel.names, operands, _FLOAT64, out)
    # Each block is typed as a call is: Python numbers stay weak, arrays keep their dtypes.
    read = [_read_typed(name, value) for name, value in zip(kernel.names, values, strict=True)]
    tree = kernel._tree
    assert tree is not None
    ints = int_classes(kernel._arg_names, [values[index] for index in tree.parameters])
    found = kernel._plan([read[index][0] for index in tree.parameters], mode, ints)
    operands = [operand for _, operand in read]
    return _blockwise(partial(_apply_block, kernel, mode), kernel.names, operands, found.dtype, out)


def apply_text(
    text: str, names: Sequence[str], values: Sequence[object], out: object = None, math: str = "libm"
) -> da.Array:
    """Evaluate expression ``text`` chunk by chunk in the data's own types; lazy, as
    `apply_kernel`. ``values`` are those of ``names``, the names the text reads;
    ``math`` is the math mode (``"libm"`` or ``"fast"``) every chunk computes in,
    wherever it runs.

    Parameters
    ----------
    text : str
        The expression.
    names : sequence of str
        The names the text reads.
    values : sequence
        Their values, in the order of `names`: Dask arrays, NumPy arrays or
        numbers.
    out : None
        Must be None: the result is a new lazy array.
    math : str, optional
        The math mode of every chunk.

    Returns
    -------
    dask.array.Array
        The lazy result, in the dtype NumPy would give.

    Examples
    --------
    >>> import dask.array as da
    >>> apply_text("x // 2 > 1", ["x"], [da.arange(6, chunks=4)]).compute()
    array([False, False, False, False,  True,  True])
    """
    read = [_read_typed(name, value) for name, value in zip(names, values, strict=True)]
    kinds = tuple((name, kind) for name, (kind, _) in zip(names, read))
    found = level_plan(text, kinds, math, int_classes(names, values))
    if found is None:
        raise TypeError(
            "reductions inside the text of Dask arrays are supported for float64 data in libm math only: "
            "reduce with bm.sum, ..."
        )
    return _blockwise(partial(_text_block, text, math), names, [operand for _, operand in read], found.dtype, out)


def _blockwise(block: Any, names: Sequence[str], operands: list[Any], dtype: np.dtype, out: object) -> da.Array:
    """The lazy array of ``block`` over the chunks of ``operands`` (the values
    of ``names``) broadcast together."""
    if out is not None:
        raise TypeError("out= cannot be used with Dask arrays: the result is a new lazy Dask array")
    shapes = [() if _is_scalar(operand) else operand.shape for operand in operands]
    if not any(np.isnan(size) for shape in shapes for size in shape):
        # A call's own error for shapes that cannot broadcast, naming the arrays.
        named = [(name, shape) for name, shape, operand in zip(names, shapes, operands) if not _is_scalar(operand)]
        broadcast_shapes([shape for _, shape in named], [name for name, _ in named])
    ndim = max(len(shape) for shape in shapes)
    pairs: list[object] = []
    for operand in operands:
        pairs += [operand, None] if _is_scalar(operand) else [_broadcastable(operand), tuple(range(operand.ndim))[::-1]]
    return da.blockwise(
        block,
        tuple(range(ndim))[::-1],
        *pairs,
        dtype=dtype,
        meta=np.empty((0,) * ndim, dtype=dtype),
        token="brindlemox",
    )


@with_sections(reduction_parameters=_REDUCTION_PARAMETERS)
def reduce(name: Reduction, x: da.Array) -> da.Array:
    """A lazy 0-d Dask array holding ``bm.<name>`` of all elements of ``x`` in C order.

    Parameters
    ----------
    {reduction_parameters}

    Returns
    -------
    dask.array.Array
        The lazy 0-d result, with the bits of the local call on the whole array.

    Raises
    ------
    ValueError
        For an unknown reduction.

    Examples
    --------
    >>> import dask.array as da
    >>> reduce("sum", da.from_array([1e16, 1.0, -1e16, 1.0], chunks=1)).compute()
    np.float64(2.0)
    """
    x = da.asarray(x)
    flat = in_element_order(x)
    if x.dtype != _FLOAT64:
        return _reduce_typed(name, flat)
    if name in ("min", "max"):
        return extreme(name, flat)
    if name in ("sum", "mean"):
        return exact_sum(name, flat, _FLOAT64)
    if name == "prod":
        return _chained(name, flat, (1.0, 0), _continue_prod, _finish_prod)
    raise ValueError(f"unknown reduction {name!r}; expected one of 'sum', 'prod', 'mean', 'min', 'max'")


@with_sections(reduction_parameters=_REDUCTION_PARAMETERS)
def reduce_along(name: Reduction, x: da.Array, axis: Axis, keepdims: bool) -> da.Array:
    """A lazy Dask array holding ``bm.<name>(x, axis=axis, keepdims=keepdims)``.

    The reduced axes are joined into one chunk each, so every block holds whole lines and
    reduces them as the local call does; reducing all axes is the chain of `reduce`.

    Parameters
    ----------
    {reduction_parameters}
    axis : int or tuple of int or None
        The axes to reduce along; None reduces all of them.
    keepdims : bool
        Whether the reduced axes stay in the result, with length one.

    Returns
    -------
    dask.array.Array
        The lazy result.

    Examples
    --------
    >>> import dask.array as da
    >>> reduce_along("sum", da.ones((2, 3), chunks=1), axis=1, keepdims=False).compute()
    array([3., 3.])
    """
    x = da.asarray(x)
    reduced = reduced_axes(axis, x.ndim)
    if len(reduced) == x.ndim:
        total = reduce(name, x)
        return total.reshape((1,) * x.ndim) if keepdims else total
    whole = x.rechunk({dimension: -1 for dimension in reduced})
    block = partial(_reduce_block, name, tuple(reduced), keepdims)
    dtype = result_dtype(name, x.dtype)
    if keepdims:
        chunks = tuple((1,) if dimension in reduced else sizes for dimension, sizes in enumerate(whole.chunks))
        return whole.map_blocks(block, chunks=chunks, dtype=dtype, meta=np.empty((0,) * x.ndim, dtype=dtype))
    ndim = x.ndim - len(reduced)
    return whole.map_blocks(block, drop_axis=reduced, dtype=dtype, meta=np.empty((0,) * ndim, dtype=dtype))


def _reduce_block(name: str, axes: tuple[int, ...], keepdims: bool, block: np.ndarray) -> np.ndarray:
    use_share_of_cpus()
    return np.asarray(reduce_axes(name, block, axes, keepdims), dtype=result_dtype(name, block.dtype))


def worker_num_threads() -> int:
    """The engine's pool size in this process, after sizing it if this is a worker's first task.

    Submit it to a worker to see its share, e.g. ``client.submit(worker_num_threads, workers=[a])``;
    outside a worker it only reports the pool size.

    Returns
    -------
    int
        The number of threads this process's engine may use.

    Examples
    --------
    >>> worker_num_threads() >= 1
    True
    """
    use_share_of_cpus()
    return get_num_threads()


# --- elementwise ---------------------------------------------------------------------------


def _as_operand(name: str, value: object) -> Any:
    if isinstance(value, da.Array):
        return value
    operand = to_operand(name, value)
    # A number is passed whole to every block; the kernel treats it as a scalar.
    return operand if isinstance(operand, float) else da.asarray(operand)


def _read_typed(name: str, value: object) -> tuple[Any, Any]:
    """How typing sees `value` and what the blocks get: a Dask array as it is,
    a NumPy value as a Dask array, a Python number whole (it stays weak)."""
    if isinstance(value, da.Array):
        return value.dtype, value
    kind, operand = read_typed(name, value)
    return kind, da.asarray(operand) if isinstance(operand, np.ndarray) else operand


def _text_block(text: str, math: str, *blocks: object) -> np.ndarray:
    use_share_of_cpus()
    found = typed_call(text, blocks, math)
    assert found is not None
    return run_typed(*found, None, "K", "same_kind")


def _is_scalar(operand: object) -> bool:
    return not isinstance(operand, da.Array)


def _broadcastable(array: da.Array) -> da.Array:
    """``array`` with every axis of at most one element in a single chunk.

    Dask broadcasts such an axis as one block: it merges the axis's chunks but may keep them
    split in the result, which then reads that one block once per chunk (an element filtered
    down to one, with empty chunks beside it, would be repeated).
    """
    axes = {axis: -1 for axis, size in enumerate(array.shape) if size <= 1 and len(array.chunks[axis]) > 1}
    return array.rechunk(axes) if axes else array


def _apply_block(kernel: Kernel, math: str, *blocks: object) -> np.ndarray:
    use_share_of_cpus()
    return kernel.run(blocks, None, math=math)


# --- reductions ----------------------------------------------------------------------------


def _chained(name: str, flat: da.Array, start: tuple[float, int], step: Any, finish: Any) -> da.Array:
    """The chain of ``step(carry, block)`` over the blocks in order from ``start``, the
    running value and the element count so far, ended by ``finish(carry, name)``."""
    token = tokenize(flat, name)
    carry: object = start
    for index, block in enumerate(flat.to_delayed()):
        carry = delayed(step, pure=True)(carry, block, dask_key_name=f"brindlemox-{name}-chain-{token}-{index}")
    total = delayed(finish, pure=True)(carry, name, dask_key_name=f"brindlemox-{name}-{token}")
    return da.from_delayed(total, shape=(), dtype=_FLOAT64, meta=np.empty((), dtype=_FLOAT64), name=f"brindlemox-{name}-{token}-array")


def _continue_prod(carry: tuple[float, int], block: np.ndarray) -> tuple[float, int]:
    """The running product and element count after multiplying ``block`` into ``carry``.

    The strict product from 1.0 of the running product followed by the block's elements
    multiplies them in order onto the running product, as one product over all would.
    """
    use_share_of_cpus()
    values = to_operand("block", block)
    if np.size(values) == 0:
        return carry
    return reduce_array("prod", np.concatenate([[carry[0]], np.ravel(values)])), carry[1] + np.size(values)


def _finish_prod(carry: tuple[float, int], name: str) -> np.float64:
    # With no element at all, the local call's own error for empty input.
    return np.float64(reduce_array("prod", carry[0] if carry[1] else np.empty(0)))


def _reduce_typed(name: Reduction, flat: da.Array) -> da.Array:
    """The reduction of data of another dtype than float64, with the local
    call's dtype and bits: sums and means (of integers too) by exact sum
    states, complex ones part by part; other bool and integer reductions by
    exact partials (wrapping 64-bit sums and products, and extremes, combine
    in any order); float16 and float32 products and extremes by the float64
    reduction rounded once at the end."""
    dtype = result_dtype(name, flat.dtype)
    if sums_exactly(name, flat.dtype) and flat.dtype.kind != "c":
        return exact_sum(name, flat, dtype)  # type: ignore[arg-type]
    if flat.dtype.kind in "biu":
        return tree(name, flat, dtype, partial(exact_partial, name), partial(exact_total, name, dtype))
    if flat.dtype.kind == "c":
        if name not in ("sum", "mean"):
            raise TypeError(f"{name} of complex data is not supported")
        part_dtype = np.finfo(dtype).dtype
        parts = [exact_sum(name, part, part_dtype) for part in (flat.real, flat.imag)]
        total = delayed(complex_of, pure=True)(*parts, dtype)
        return da.from_delayed(total, shape=(), dtype=dtype, meta=np.empty((), dtype=dtype))
    return reduce(name, flat.astype(_FLOAT64)).astype(dtype)


