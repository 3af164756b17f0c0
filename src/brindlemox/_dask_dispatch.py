"""Sending Dask arrays to the Dask integration, without importing Dask.

Only a process that has imported ``dask.array`` can hold a Dask array, so users
without Dask pay one dictionary lookup and never an import.
"""

import sys
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, TypeAlias

if TYPE_CHECKING:
    import dask.array

    #: A Dask array in annotations; naming it imports nothing at run time.
    DaskArray: TypeAlias = dask.array.Array


def is_dask_array(value: object) -> bool:
    """Whether `value` is a Dask array."""
    module = sys.modules.get("dask.array")
    return module is not None and isinstance(value, module.Array)


def any_dask_array(values: Sequence[object]) -> bool:
    """Whether any of `values` is a Dask array."""
    module = sys.modules.get("dask.array")
    return module is not None and any(isinstance(value, module.Array) for value in values)


def dask_apply_kernel(kernel: object, values: Sequence[object], out: object) -> Any:
    """The lazy Dask array of `kernel` over `values`; see `brindlemox.dask.apply_kernel`."""
    from . import dask

    return dask.apply_kernel(kernel, values, out)  # type: ignore[arg-type]


def dask_apply_text(
    text: str, names: Sequence[str], values: Sequence[object], out: object, math: str = "libm"
) -> Any:
    """The lazy Dask array of `text` over `values`; see `brindlemox.dask.apply_text`."""
    from . import dask

    return dask.apply_text(text, names, values, out, math)


def dask_reduce(name: str, a: object) -> Any:
    """The lazy 0-d Dask array of reduction `name` of `a`; see `brindlemox.dask.reduce`."""
    from . import dask

    return dask.reduce(name, a)  # type: ignore[arg-type]


def dask_reduce_along(name: str, a: object, axis: object, keepdims: bool) -> Any:
    """The lazy reduction `name` of `a` along `axis`; see `brindlemox.dask.reduce_along`."""
    from . import dask

    return dask.reduce_along(name, a, axis, keepdims)  # type: ignore[arg-type]
