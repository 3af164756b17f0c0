"""Pickling for the engine's classes, registered with `copyreg` when the package is imported.

Expressions and kernel specs travel as the engine's own validated bytes: the
rebuild refuses corrupt or hostile bytes with ValueError, and a rebuilt
expression's arguments get fresh ids, so that they never merge with this
process's other arguments. `Kernel` pickles its fields as any Python class
does. A `Buffer` travels as its values, lent to pickle without a copy, so that
protocol 5 sends them out of band. A task, a channel and a receive case are
state of one process's engine and refuse to be pickled.
"""

import copyreg
from typing import NoReturn

import numpy as np

import _brindlemox

from ._engine import Buffer, Channel, Expr, KernelSpec, RecvCase, TaskHandle, runtime


def _expr_from_bytes(data: bytes) -> Expr:
    return _brindlemox._expr_from_bytes(data)  # type: ignore[attr-defined, no-any-return]


def _reduce_expr(expr: Expr) -> tuple[object, tuple[bytes]]:
    return _expr_from_bytes, (_brindlemox._expr_to_bytes(expr),)  # type: ignore[attr-defined]


def _kernel_spec_from_bytes(data: bytes) -> KernelSpec:
    return _brindlemox._kernel_spec_from_bytes(data)  # type: ignore[attr-defined, no-any-return]


def _reduce_kernel_spec(spec: KernelSpec) -> tuple[object, tuple[bytes]]:
    return _kernel_spec_from_bytes, (_brindlemox._kernel_spec_to_bytes(spec),)  # type: ignore[attr-defined]


def _buffer_from_values(values: np.ndarray) -> Buffer:
    return runtime.asarray(np.ascontiguousarray(values, dtype=np.float64))


def _reduce_buffer(buffer: Buffer) -> tuple[object, tuple[np.ndarray]]:
    # A view of the engine's memory, which NumPy lends to protocol 5 as a PickleBuffer.
    return _buffer_from_values, (np.asarray(buffer),)


def _refusal(reason: str) -> object:
    def refuse(value: object) -> NoReturn:
        raise TypeError(f"cannot pickle '{type(value).__name__}' object: {reason}")

    return refuse


def register() -> None:
    """Teach `pickle` (and `copy`, cloudpickle, Dask) the engine's classes."""
    copyreg.pickle(Expr, _reduce_expr)  # type: ignore[arg-type]
    copyreg.pickle(KernelSpec, _reduce_kernel_spec)  # type: ignore[arg-type]
    copyreg.pickle(Buffer, _reduce_buffer)  # type: ignore[arg-type]
    copyreg.pickle(TaskHandle, _refusal("a task belongs to the process that ran it; pickle its result() instead"))  # type: ignore[arg-type]
    copyreg.pickle(Channel, _refusal("a channel connects threads of one process"))  # type: ignore[arg-type]
    copyreg.pickle(RecvCase, _refusal("a channel connects threads of one process"))  # type: ignore[arg-type]
