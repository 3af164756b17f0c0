"""An expression text with reductions in it: each reduction computed once,
first, then bound as a number (or, along axes, an array) to the argument the
outer expression reads it by. In float64, a whole-array reduction of NumPy
data is fused: its expression is never held whole. Over other dtypes, each
reduction computes in its own types."""

from collections.abc import Sequence
from typing import Any, Final, cast

import numpy as np
import numpy.typing as npt

from ._engine import Expr
from ._fused import fused_reduce, fused_rows
from ._inputs import Order, arrange
from ._kernel import Kernel, float64_kernel
from ._parse import Parsed, checked
from ._reduce import min_and_max, reduce_any, reduce_array_as_it_is, reduced_shape
from ._route import any_dask
from ._text import NAME, REDUCE
from ._typed_eval import part_names, run_typed, typed_call

# What `check` binds in place of a reduction's values: any number will do, as
# only shapes are checked.
_ANY_NUMBER: Final = 0.0


def _compiled(value: Expr | float) -> Kernel | float:
    return float64_kernel(value) if type(value) is Expr else value


def _bound(compiled: Kernel | float, bound: dict[str, object]) -> tuple[object, ...]:
    """The values of `compiled`'s parameters among `bound`."""
    return tuple(bound[name] for name in compiled._names) if isinstance(compiled, Kernel) else ()


class ReducingKernel:
    """The compiled form of a text with reductions; its parameters, `_names`,
    are the text's names, and `run` and `check` take their values as
    `Kernel`'s do."""

    __slots__ = ("_names", "_outer", "_paired", "_steps")

    def __init__(self, parsed: Parsed) -> None:
        self._steps = tuple(
            (reduction.name, _compiled(reduction.inner), reduction.source, reduction.slot, reduction.axis,
             reduction.keepdims)
            for reduction in parsed.reductions
        )
        self._outer = _compiled(parsed.value)
        # The names whose whole minimum and maximum are both read: one pass finds the two.
        whole = [(reduction.name, reduction.source) for reduction in parsed.reductions
                 if reduction.source is not None and reduction.axis is None and not reduction.keepdims]
        self._paired = {source for name, source in whole if name == "min" and ("max", source) in whole}
        slots = {reduction.slot for reduction in parsed.reductions}
        self._names = tuple(name for name in parsed.names if name not in slots)

    def __repr__(self) -> str:
        return f"ReducingKernel({', '.join(self._names)})"

    def run(self, values: Sequence[object], out: object, order: Order = "K") -> npt.NDArray[np.float64]:
        """The reductions in order, then the outer expression into `out` or a
        new array laid out as `order` says; `out` is written last."""
        bound: dict[str, object] = dict(zip(self._names, values))
        extremes: dict[str, tuple[float, float] | None] = {}
        for name, inner, source, slot, axis, keepdims in self._steps:
            named = bound[source] if source is not None else None
            if source in self._paired and name in ("min", "max") and axis is None and not keepdims:
                if source not in extremes:
                    extremes[source] = min_and_max(named) if isinstance(named, np.ndarray) else None
                found = extremes[source]
                if found is not None:
                    bound[slot] = found[name == "max"]
                    continue
            if isinstance(named, np.ndarray):
                bound[slot] = reduce_array_as_it_is(name, named, axis, keepdims)
                continue
            if type(inner) is Kernel:
                inner_values = [bound[parameter] for parameter in inner._names]
                if not any_dask(inner_values):
                    if axis is None and not keepdims:
                        bound[slot] = fused_reduce(name, inner, inner_values)
                        continue
                    rows = fused_rows(name, inner, inner_values, axis, keepdims)
                    if rows is not None:
                        bound[slot] = rows
                        continue
            bound[slot] = reduce_any(name, run_compiled(inner, _bound(inner, bound), None, "K"), axis, keepdims)
        return run_compiled(self._outer, _bound(self._outer, bound), out, order)

    def check(self, values: Sequence[object], out: object) -> None:
        """Raises what `run` would raise for the shapes of `values` and `out`,
        and computes nothing."""
        bound: dict[str, object] = dict(zip(self._names, values))
        for _, inner, _, slot, axis, keepdims in self._steps:
            inner_values = _bound(inner, bound)
            check_compiled(inner, inner_values, None)
            # Along axes, the value's shape matters to the outer expression.
            if axis is None and not keepdims:
                bound[slot] = _ANY_NUMBER
                continue
            inner_shape = np.broadcast_shapes(*(np.shape(cast(npt.ArrayLike, value)) for value in inner_values))
            bound[slot] = np.broadcast_to(_ANY_NUMBER, reduced_shape(inner_shape, axis, keepdims))
        check_compiled(self._outer, _bound(self._outer, bound), out)


#: What a text or an expression compiles to.
Compiled = Kernel | ReducingKernel | float


def run_compiled(compiled: Compiled, values: Sequence[object], out: object, order: Order) -> npt.NDArray[np.float64]:
    """What `compiled` computes from `values`, in `out` or a new array laid out
    as `order` says; a number fills a 0-d array (or `out`)."""
    if isinstance(compiled, float):
        _, result, _ = arrange((), [], out)
        result[()] = compiled
        return result
    return compiled.run(values, out, order)


def check_compiled(compiled: Compiled, values: Sequence[object], out: object) -> None:
    """Raises what `run_compiled` would raise for these shapes, computing nothing."""
    if isinstance(compiled, float):
        if out is not None:
            arrange((), [], out)
    else:
        compiled.check(values, out)


def _run_part_typed(
    text: str, part: int, bound: dict[str, object], out: object, order: Order, casting: str, math: str
) -> npt.NDArray[Any]:
    typed = typed_call(text, [bound[name] for name in part_names(text, part)], math, part)
    assert typed is not None
    return run_typed(*typed, out, order, casting)


def run_reducing_typed(
    text: str, values: dict[str, object], out: object, order: Order, casting: str, math: str = "libm"
) -> npt.NDArray[Any]:
    """A text with reductions over data of other types than float64: each
    reduction's expression computed in its own types, reduced as `bm.sum`
    and the others reduce it (with NumPy's result dtype), and read by the
    outer expression as a NumPy value of that dtype."""
    found = checked(text)
    bound = dict(values)
    for part, reduction in enumerate(found.reductions):
        name, (inner,), (axis, keepdims, slot, _) = reduction.op, reduction.operands, reduction.value
        # An array reduced as it is: a name's, or another reduction's along axes.
        read = inner.value if inner.kind == NAME else inner.value.slot if inner.kind == REDUCE else None
        named = bound.get(read) if read is not None else None
        if isinstance(named, np.ndarray):
            bound[slot] = np.asarray(reduce_array_as_it_is(name, named, axis, keepdims))
            continue
        computed = _run_part_typed(text, part, bound, None, "K", "same_kind", math)
        bound[slot] = np.asarray(reduce_any(name, computed, axis, keepdims))
    return _run_part_typed(text, len(found.reductions), bound, out, order, casting, math)
