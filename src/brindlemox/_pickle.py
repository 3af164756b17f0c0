"""Pickling for the engine's classes, registered with `copyreg` when the package is imported.

Expressions and kernel specs travel as the engine's own validated bytes: the
rebuild refuses corrupt or hostile bytes with ValueError, and a rebuilt
expression's arguments get fresh ids, so that they never merge with this
process's other arguments. An expression's record of how it was built
travels beside its bytes, in its flat form. A `Kernel` travels as its
expression, parameter names, whether it is typed and its math mode, and is
built again where it lands, checked and typed as any new kernel is. A
`Buffer` travels as its values, lent to pickle without a copy, so that
protocol 5 sends them out of band. A task, a channel and a receive case are
state of one process's engine and refuse to be pickled.
"""

import copyreg
import operator
import pickle
from collections.abc import Callable, Mapping
from typing import Final, NoReturn

import numpy as np

import _brindlemox

from ._build import arg
from ._engine import Buffer, Channel, Expr, KernelSpec, RecvCase, TaskHandle, runtime
from ._channels import Channel as PackageChannel
from ._kernel import Kernel, float64_kernel
from ._registry import FUNCTIONS
from ._select import RecvCase as PackageRecvCase
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


#: The operations a record names by their symbol, as Python applies them.
_OPERATORS: Final[Mapping[str, Callable[..., object]]] = {
    "+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv, "**": operator.pow,
    "<": operator.lt, "<=": operator.le, "==": operator.eq, "!=": operator.ne, ">": operator.gt, ">=": operator.ge,
    "u-": operator.neg,
}  # fmt: skip


def _built_again(record: tuple[object, ...], names: list[str]) -> object:
    """What `record` says was built, built again by the same operators and
    functions over new arguments, first those named `names` in that order.
    ValueError, or the builders' own errors, for a record that is none."""
    arguments = {name: arg(name) for name in names}
    values: list[object] = []
    for entry in record:
        if type(entry) is tuple and len(entry) == 2 and entry[0] == "arg" and type(entry[1]) is str:
            if entry[1] not in arguments:
                arguments[entry[1]] = arg(entry[1])
            values.append(arguments[entry[1]])
            continue
        if type(entry) is not tuple:
            values.append(entry)
            continue
        name, *indices = entry
        if type(name) is not str or not indices or any(type(i) is not int or not 0 <= i < len(values) for i in indices):
            raise ValueError("an expression's record does not hold together")
        function = _OPERATORS.get(name) or FUNCTIONS.get(name)
        if function is None:
            raise ValueError(f"an expression's record names no function '{name}'")
        operands = [values[index] for index in indices]
        # Numbers alone are folded, never recorded.
        if all(type(operand) is not Expr for operand in operands):
            raise ValueError("an expression's record does not hold together")
        values.append(function(*operands))
    if not values:
        raise ValueError("an expression's record does not hold together")
    return values[-1]


def _expr_from_bytes(data: bytes, record: object = None) -> Expr:
    expr = _brindlemox._expr_from_bytes(data)
    if record is None:
        return expr
    # The record is built again, and must build this very expression: a
    # kernel is typed by its record, and computes by its expression.
    temp_args = expr.get_temp_args()
    names = [temp_args[temp_id] for temp_id in sorted(temp_args)]
    if len(set(names)) < len(names):
        # No record tells apart arguments of one name, and no kernel takes them.
        return expr
    try:
        flat = _from_stack_form(record) if isinstance(record, list) else record
        if type(flat) is not tuple:
            raise TypeError(f"an expression's record must be a tuple, not {type(flat).__name__}")
        built = _built_again(flat, names)
    except (TypeError, ValueError, ArithmeticError) as error:
        raise pickle.UnpicklingError(f"a pickled Expr does not hold together: {error}") from error
    if type(built) is not Expr or _brindlemox._expr_to_bytes(built) != _brindlemox._expr_to_bytes(expr):
        raise pickle.UnpicklingError("a pickled Expr's record is not how its expression was built")
    return built


def _reduce_expr(expr: Expr) -> tuple[Callable[[bytes, object], Expr], tuple[bytes, object]]:
    # The record of how the expression was built travels with it, so that a
    # kernel made of it where it lands is typed as one made here.
    return _expr_from_bytes, (_brindlemox._expr_to_bytes(expr), _brindlemox._expr_record(expr))


def _kernel_spec_from_bytes(data: bytes) -> KernelSpec:
    return _brindlemox._kernel_spec_from_bytes(data)


def _reduce_kernel_spec(spec: KernelSpec) -> tuple[Callable[[bytes], KernelSpec], tuple[bytes]]:
    return _kernel_spec_from_bytes, (_brindlemox._kernel_spec_to_bytes(spec),)


def _kernel_from_expr(expr: Expr, names: tuple[str, ...], typed: object = True, math: str | None = None) -> Kernel:
    if type(expr) is not Expr:
        raise pickle.UnpicklingError(f"a pickled Kernel needs an Expr, not {type(expr).__name__}")
    # Older pickles carry the text the kernel was typed by (None for one
    # computing in float64): whatever it says, the text is written again from
    # the expression, as for any new kernel.
    if typed is None or type(typed) is tuple:
        typed = typed is not None
    if type(typed) is not bool:
        raise pickle.UnpicklingError(f"a pickled Kernel's typing must be True or False, not {type(typed).__name__}")
    try:
        return Kernel(expr, names, math=math) if typed else float64_kernel(expr, names, math)
    except (TypeError, ValueError) as error:
        raise pickle.UnpicklingError(f"a pickled Kernel does not hold together: {error}") from error


def _reduce_kernel(
    kernel: Kernel,
) -> tuple[Callable[[Expr, tuple[str, ...], bool, str | None], Kernel], tuple[Expr, tuple[str, ...], bool, str | None]]:
    # Whether the kernel is typed travels, not its text: the expression
    # carries the record that text is written from.
    return _kernel_from_expr, (kernel._expr, kernel._names, kernel.typed, kernel._math)


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
