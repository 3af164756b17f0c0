"""Pickling for the engine's classes, registered with `copyreg` when the package is imported.

Expressions and kernel specs travel as the engine's own validated bytes: the
rebuild refuses corrupt or hostile bytes with ValueError, and a rebuilt
expression's arguments get fresh ids, so that they never merge with this
process's other arguments. An expression's record of how it was built
travels beside its bytes, in its flat form. A `Kernel` travels as its expression and parameter
names and is built again where it lands, checked as any new kernel is. A
`Buffer` travels as its values, lent to pickle without a copy, so that
protocol 5 sends them out of band. A task, a channel and a receive case are
state of one process's engine and refuse to be pickled.
"""

import copyreg
import pickle
from collections.abc import Callable
from typing import NoReturn

import numpy as np

import _brindlemox

from ._engine import Buffer, Channel, Expr, KernelSpec, RecvCase, TaskHandle, runtime
from ._channels import Channel as PackageChannel
from ._channels import RecvCase as PackageRecvCase
from ._kernel import Kernel
from ._kernel_text import checked_text
from ._tasks import Task


def _from_stack_form(flat: list[object]) -> tuple[object, ...]:
    """A record as older pickles wrote it (in post-order, expanded, each
    operation as (name, operand count) after its operands), in its flat form."""
    entries: list[object] = []
    #: The indices of the entries no operation has read yet.
    unread: list[int] = []
    for item in flat:
        if type(item) is tuple and len(item) == 2 and type(item[0]) is str and type(item[1]) is int:
            count = item[1]
            if not 0 < count <= min(3, len(unread)):
                raise ValueError("an expression's record does not hold together")
            item = (item[0], *unread[len(unread) - count :])
            del unread[len(unread) - count :]
        unread.append(len(entries))
        entries.append(item)
    if len(unread) != 1:
        raise ValueError("an expression's record does not hold together")
    return tuple(entries)


def _expr_from_bytes(data: bytes, record: object = None) -> Expr:
    expr = _brindlemox._expr_from_bytes(data)
    if record is None:
        return expr
    try:
        flat = _from_stack_form(record) if isinstance(record, list) else record
        # The extension refuses anything but a record that holds together.
        return _brindlemox._expr_with_record(expr, flat)  # type: ignore[arg-type]
    except (TypeError, ValueError) as error:
        raise pickle.UnpicklingError(f"a pickled Expr does not hold together: {error}") from error


def _reduce_expr(expr: Expr) -> tuple[Callable[[bytes, object], Expr], tuple[bytes, object]]:
    # The record of how the expression was built travels with it, so that a
    # kernel made of it where it lands is typed as one made here.
    return _expr_from_bytes, (_brindlemox._expr_to_bytes(expr), _brindlemox._expr_record(expr))


def _kernel_spec_from_bytes(data: bytes) -> KernelSpec:
    return _brindlemox._kernel_spec_from_bytes(data)


def _reduce_kernel_spec(spec: KernelSpec) -> tuple[Callable[[bytes], KernelSpec], tuple[bytes]]:
    return _kernel_spec_from_bytes, (_brindlemox._kernel_spec_to_bytes(spec),)


def _kernel_from_expr(expr: Expr, names: tuple[str, ...], text: object = None, math: str | None = None) -> Kernel:
    if type(expr) is not Expr:
        raise pickle.UnpicklingError(f"a pickled Kernel needs an Expr, not {type(expr).__name__}")
    try:
        kernel = Kernel(expr, names, math=math)
        kernel._set_text(None if text is None else checked_text(text, len(kernel.names)))
        return kernel
    except (TypeError, ValueError, SyntaxError) as error:
        raise pickle.UnpicklingError(f"a pickled Kernel does not hold together: {error}") from error


def _reduce_kernel(
    kernel: Kernel,
) -> tuple[
    Callable[[Expr, tuple[str, ...], object, str | None], Kernel], tuple[Expr, tuple[str, ...], object, str | None]
]:
    # The text the kernel is typed by travels with it: a rebuilt expression
    # has no record of how it was built.
    text = None if kernel._text is None else tuple(kernel._text)
    return _kernel_from_expr, (kernel._expr, kernel._names, text, kernel._math)


def _buffer_from_values(values: np.ndarray) -> Buffer:
    return runtime.asarray(np.ascontiguousarray(values, dtype=np.float64))


def _reduce_buffer(buffer: Buffer) -> tuple[Callable[[np.ndarray], Buffer], tuple[np.ndarray]]:
    # A view of the engine's memory, which NumPy lends to protocol 5 as a PickleBuffer.
    return _buffer_from_values, (np.asarray(buffer),)


def _refusal(reason: str) -> Callable[[object], NoReturn]:
    def refuse(value: object) -> NoReturn:
        raise TypeError(f"cannot pickle '{type(value).__name__}' object: {reason}")

    return refuse


def register() -> None:
    """Teach `pickle` (and `copy`, cloudpickle, Dask) the engine's classes."""
    copyreg.pickle(Expr, _reduce_expr)
    copyreg.pickle(KernelSpec, _reduce_kernel_spec)
    copyreg.pickle(Kernel, _reduce_kernel)
    copyreg.pickle(Buffer, _reduce_buffer)
    task_refusal = _refusal("a task belongs to the process that ran it; pickle its result() instead")
    channel_refusal = _refusal("a channel connects threads of one process")
    for task_class in (TaskHandle, Task):
        copyreg.pickle(task_class, task_refusal)
    for channel_class in (Channel, RecvCase, PackageChannel, PackageRecvCase):
        copyreg.pickle(channel_class, channel_refusal)
