"""An expression text with reductions in it: each reduction computed once,
first, then bound as a number (or, along axes, an array) to the argument the
outer expression reads it by. A whole-array reduction of NumPy data is fused:
its expression is never held whole."""

from collections.abc import Sequence
from typing import Final, cast

import numpy as np
import numpy.typing as npt

from ._dask_dispatch import any_dask_array
from ._engine import Expr
from ._fused import fused_reduce
from ._inputs import Order, arrange
from ._kernel import Kernel
from ._parse import Parsed
from ._reduce import reduce_any, reduced_shape

# What `check` binds in place of a reduction's values: any number will do, as
# only shapes are checked.
_ANY_NUMBER: Final = 0.0


def _compiled(value: Expr | float) -> Kernel | float:
    return Kernel(value) if type(value) is Expr else value


def _run(compiled: Kernel | float, bound: dict[str, object], out: object, order: Order) -> npt.NDArray[np.float64]:
    if isinstance(compiled, Kernel):
        return compiled.run(tuple(bound[name] for name in compiled._names), out, order)
    _, result, _ = arrange((), [], out)
    result[()] = compiled
    return result


class ReducingKernel:
    """The compiled form of a text with reductions; its parameters, `_names`,
    are the text's names, and `run` and `check` take their values as
    `Kernel`'s do."""

    __slots__ = ("_names", "_outer", "_steps")

    def __init__(self, parsed: Parsed) -> None:
        self._steps = tuple(
            (reduction.name, _compiled(reduction.inner), reduction.slot, reduction.axis, reduction.keepdims)
            for reduction in parsed.reductions
        )
        self._outer = _compiled(parsed.value)
        slots = {reduction.slot for reduction in parsed.reductions}
        self._names = tuple(name for name in parsed.names if name not in slots)

    def __repr__(self) -> str:
        return f"ReducingKernel({', '.join(self._names)})"

    def run(self, values: Sequence[object], out: object, order: Order = "K") -> npt.NDArray[np.float64]:
        """The reductions in order, then the outer expression into `out` or a
        new array laid out as `order` says; `out` is written last."""
        bound: dict[str, object] = dict(zip(self._names, values))
        for name, inner, slot, axis, keepdims in self._steps:
            if type(inner) is Kernel and axis is None and not keepdims:
                inner_values = [bound[parameter] for parameter in inner._names]
                if not any_dask_array(inner_values):
                    bound[slot] = fused_reduce(name, inner, inner_values)
                    continue
            bound[slot] = reduce_any(name, _run(inner, bound, None, "K"), axis, keepdims)
        return _run(self._outer, bound, out, order)

    def check(self, values: Sequence[object], out: object) -> None:
        """Raises what `run` would raise for the shapes of `values` and `out`,
        and computes nothing."""
        bound: dict[str, object] = dict(zip(self._names, values))
        for _, inner, slot, axis, keepdims in self._steps:
            inner_values = [bound[name] for name in inner._names] if type(inner) is Kernel else []
            if type(inner) is Kernel:
                inner.check(inner_values, None)
            # Along axes, the value's shape matters to the outer expression.
            if axis is None and not keepdims:
                bound[slot] = _ANY_NUMBER
                continue
            inner_shape = np.broadcast_shapes(*(np.shape(cast(npt.ArrayLike, value)) for value in inner_values))
            bound[slot] = np.broadcast_to(_ANY_NUMBER, reduced_shape(inner_shape, axis, keepdims))
        if type(self._outer) is Kernel:
            self._outer.check([bound[name] for name in self._outer._names], out)
        elif out is not None:
            arrange((), [], out)
