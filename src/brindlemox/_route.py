"""Where a call computes, decided in one place for every entry point
(`evaluate`, `validate`, `re_evaluate`, `go`, kernel calls and the
reductions): lazily on Dask, in a typed program of the values' own dtypes,
in the float64 kernels, or, for a text with reductions over other dtypes,
reduction by reduction in their types.

Only a process that has imported ``dask.array`` can hold a Dask array, so
users without Dask pay one dictionary lookup and never an import. The Dask
integration is never imported from here, nor from anything beneath: the
package reaches it from above and registers the way to it (`reach`).
"""

import sys
from collections.abc import Callable, Sequence
from enum import Enum
from typing import TYPE_CHECKING, Any, Final, Protocol, TypeAlias

import numpy as np

from ._typed_eval import float64_out, reduces_float64, typed_call
from ._typed_program import Plan

if TYPE_CHECKING:
    import dask.array

    #: A Dask array in annotations; naming it imports nothing at run time.
    DaskArray: TypeAlias = dask.array.Array

_F64: Final = np.dtype(np.float64)

#: A typed program and the values it reads, by name.
TypedCall: TypeAlias = tuple[Plan, dict[str, object]]


class Lazy(Protocol):
    """What the Dask integration computes lazily, chunk by chunk."""

    def apply_kernel(self, kernel: Any, values: Sequence[object], out: object, /) -> Any: ...
    def apply_text(self, text: str, names: Sequence[str], values: Sequence[object], out: object, math: str, /) -> Any: ...
    def reduce(self, name: Any, a: Any, /) -> Any: ...
    def reduce_along(self, name: Any, a: Any, axis: Any, keepdims: bool, /) -> Any: ...


_integration: list[Callable[[], Lazy]] = []


def reach(integration: Callable[[], Lazy]) -> None:
    """Registers how Dask arrays are reached: `integration` imports the Dask
    integration the first time one is met."""
    _integration[:] = [integration]


def is_dask(value: object) -> bool:
    """Whether `value` is a Dask array."""
    module = sys.modules.get("dask.array")
    return module is not None and isinstance(value, module.Array)


def any_dask(values: Sequence[object]) -> bool:
    """Whether any of `values` is a Dask array: a call over them computes lazily, on Dask."""
    module = sys.modules.get("dask.array")
    return module is not None and any(isinstance(value, module.Array) for value in values)


def integration() -> Lazy:
    """The Dask integration, for a call over Dask arrays."""
    return _integration[0]()


class Route(Enum):
    """Where a call computes."""

    DASK = "dask"
    TYPED = "typed"
    FLOAT64 = "float64"
    REDUCING = "reducing"


def typed_first(typed: tuple[Plan, object] | None, out: object) -> bool:
    """Whether the typed program `typed` computes a call into `out`: unless the
    call computes in float64 alone and the float64 kernels write `out` as it
    is, which they do with the same bits."""
    return typed is not None and not (typed[0].only_float64 and float64_out(out))


def _float64_values(values: Sequence[object]) -> bool:
    """Whether every value is float64 data or a Python number, which the
    float64 kernels (and their fused reductions) compute with NumPy's types."""
    return all(type(value) in (float, int) or getattr(value, "dtype", None) == _F64 for value in values)


def route_text(text: str, values: Sequence[object], out: object, math: str) -> tuple[Route, TypedCall | None]:
    """Where `text` over `values` (one per name it reads) into `out` computes in
    math mode `math`, with its typed program where it has one. Fast math takes
    the typed programs wherever it computes a function: the float64 kernels
    keep the platform's functions. Float64 Dask data in libm math goes to the
    float64 kernels, which send each kernel and reduction to Dask."""
    lazy = any_dask(values)
    typed = None if lazy else typed_call(text, values, math)
    if typed_first(typed, out):
        return Route.TYPED, typed
    if typed is None and (math != "libm" or not _float64_values(values) or not (lazy or reduces_float64(text, values))):
        return Route.DASK if lazy else Route.REDUCING, None
    return Route.FLOAT64, typed


def route_kernel(
    values: Sequence[object], out: object, read: Callable[[], TypedCall | None]
) -> tuple[Route, TypedCall | None]:
    """Where a kernel's call over `values` into `out` computes, with its typed
    program (`read` types the call) where it has one."""
    if any_dask(values):
        return Route.DASK, None
    typed = read()
    return Route.TYPED if typed_first(typed, out) else Route.FLOAT64, typed
