"""Pickling for the engine's classes, registered with `copyreg` when the package is imported.

A `Buffer` travels as its values, lent to pickle without a copy, so that
protocol 5 sends them out of band. A task,
a channel and a receive case are state of one process's engine and refuse to be
pickled.
"""

import copyreg
from typing import NoReturn

import numpy as np

from ._engine import Buffer, Channel, RecvCase, TaskHandle, runtime


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
    copyreg.pickle(Buffer, _reduce_buffer)  # type: ignore[arg-type]
    copyreg.pickle(TaskHandle, _refusal("a task belongs to the process that ran it; pickle its result() instead"))  # type: ignore[arg-type]
    copyreg.pickle(Channel, _refusal("a channel connects threads of one process"))  # type: ignore[arg-type]
    copyreg.pickle(RecvCase, _refusal("a channel connects threads of one process"))  # type: ignore[arg-type]
