"""A whole-array reduction of an expression's values without the array.

A sum or mean of operands the engine reads where they lie is the engine's:
each thread of the pool evaluates blocks of the expression and adds them to
an exact sum of its own, and the threads' sums merge exactly. Otherwise the
expression is evaluated piece by piece, in C order, into one small buffer,
and each piece is reduced after the running value of the pieces before it.

Each piece of a sum or mean adds into one exact sum, rounded once at the end,
which is the exact sum of the whole array. For the others, placing the
running value just before a piece and reducing both gives the bits of one
reduction over the whole array: the strict product starts from 1.0, which
leaves that first value as it is, and the minimum and maximum keep the
earlier of equal values and stop at the first NaN.
"""

import math
from collections.abc import Sequence
from typing import Final

import numpy as np

from _brindlemox import _exact_sum_kernel

from ._exact import add_values, kernel_rows, new_state, round_state, sums_exactly
from ._inputs import to_operand
from ._kernel import Kernel
from ._reduce import reduce_array, reduced_axes
from ._text import Axis
from ._route import Route

#: Elements of the expression evaluated at a time (512 KiB of float64).
PIECE: Final = 1 << 16


def fused_rows(name: str, kernel: Kernel, values: Sequence[object], axis: Axis, keepdims: bool) -> object:
    """`reduce_axes(name, kernel.run(values, None), axis, keepdims)` for a sum
    or mean along the last axes of operands of one shape in C order, with the
    same bits, each pool thread evaluating blocks of its rows into its own
    exact sums; None for anything else, computing nothing."""
    if not sums_exactly(name, np.dtype(np.float64)):
        return None
    operands = [to_operand(parameter, value) for parameter, value in zip(kernel._names, values)]
    shapes = {np.shape(operand) for operand in operands if type(operand) is not float}
    if len(shapes) != 1 or kernel._route(operands, None)[0] is not Route.FLOAT64:
        return None
    (shape,) = shapes
    reduced = reduced_axes(axis, len(shape))
    kept = len(shape) - len(reduced)
    count = math.prod(shape[kept:])
    if reduced != list(range(kept, len(shape))) or kept == 0 or count == 0:
        return None
    result = kernel_rows(name, kernel._compiled, kernel._operands(operands), list(shape[:kept]), count)
    if result is None or not keepdims:
        return result
    return np.expand_dims(result, tuple(reduced))


def fused_reduce(name: str, kernel: Kernel, values: Sequence[object]) -> float:
    """`reduce_array(name, kernel.run(values, None))` ("sum", "prod", "mean",
    "min" or "max"), with the same bits, holding no more than a piece of the
    kernel's values at a time."""
    operands = [to_operand(parameter, value) for parameter, value in zip(kernel._names, values)]
    if sums_exactly(name, np.dtype(np.float64)) and kernel._route(operands, None)[0] is Route.FLOAT64:
        total = new_state()
        if _exact_sum_kernel(kernel._compiled, kernel._operands(operands), total):
            return round_state(total, name)
    shape = np.broadcast_shapes(*(np.shape(operand) for operand in operands))
    size = math.prod(shape)
    if size <= PIECE:
        return float(reduce_array(name, kernel.run(operands, None)))
    # Pieces are runs of whole lines along the last axes that fit, cut along
    # the axis before them, in C order.
    axis = len(shape) - 1
    line = 1
    while axis > 0 and line * shape[axis] <= PIECE:
        line *= shape[axis]
        axis -= 1
    step = max(1, PIECE // line)
    views = [operand if type(operand) is float else np.broadcast_to(operand, shape) for operand in operands]
    buffer = np.empty(1 + step * line)
    state = new_state() if sums_exactly(name, buffer.dtype) else None
    running: float | None = None
    for index in np.ndindex(*shape[:axis]):
        for start in range(0, shape[axis], step):
            stop = min(start + step, shape[axis])
            cut = (*index, slice(start, stop))
            count = (stop - start) * line
            piece = buffer[1 : 1 + count]
            cuts = [view if isinstance(view, float) else view[cut] for view in views]
            kernel.run(cuts, piece.reshape(stop - start, *shape[axis + 1 :]))
            if state is not None:
                add_values(state, piece)
            elif running is None:
                running = reduce_array(name, piece)
            else:
                buffer[0] = running
                running = reduce_array(name, buffer[: 1 + count])
    if state is not None:
        return round_state(state, name)
    assert running is not None
    return running
