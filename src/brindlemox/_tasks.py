"""`go` and its `Task`: work that runs on the engine while the caller goes on.

The engine's task runner computes (spreading each piece of work over the
worker pool as a call would); the settler thread (`_settle`) settles the
`Task`, a `concurrent.futures.Future`, when the engine is done. Coroutines
await a `Task` directly: its completion is handed to their loop with one
`call_soon_threadsafe`, and cancelling the coroutine leaves the work alone.
"""

from __future__ import annotations

import contextlib
from collections.abc import Callable, Generator, Mapping
from concurrent.futures import Future, InvalidStateError
from concurrent.futures._base import PENDING  # the state a Future starts in
from typing import TYPE_CHECKING, Any, TypeVar

import numpy as np

from _brindlemox import _as_array, _evaluate_async, _go_async, _typed_evaluate_async, _withdraw

from . import _settle
from ._engine import Buffer, MapSpec, ReduceSpec, TaskHandle, kernels
from ._compiled import compile_text
from ._inputs import arrange
from ._math import get_math_mode
from ._namespaces import lookup
from ._route import Route, route_text
from ._typed_eval import finish_typed, prepare_typed, text_names
from ._typed_program import Plan
from ._kernel import Kernel
from ._runtime import to_buffer

if TYPE_CHECKING:
    from _brindlemox import Channel as EngineChannel

    from ._channels import Channel

T = TypeVar("T")

_RUNNING = "TaskHandle(state=RunningCompute)"


class Task(Future[T]):
    """A computation running on the engine: a `concurrent.futures.Future`.

    Made by `go`. ``result(timeout=None)`` waits for the value (a read-only
    NumPy array for elementwise work, a NumPy float for a reduction) and
    raises the exception the synchronous call would raise; `done`,
    `exception`, `add_done_callback`, `concurrent.futures.wait` and
    `as_completed` behave as for any future. ``await task`` works in a
    coroutine without blocking its loop; cancelling the awaiting coroutine
    stops only its wait, not the work (``asyncio.wrap_future(task)`` cancels
    the task with its wrapper, as it does for any future).

    `cancel` succeeds while the work waits for its turn; once it has started
    it runs to its end and `cancel` returns False, as for a thread pool.

    Parameters
    ----------
    handle : TaskHandle or None
        The engine's task, or None for work that settles at once.
    convert : callable
        Makes the result from the engine's buffer.
    hold : object, optional
        Memory the engine reads or writes in place, kept alive until the
        task has settled.

    Examples
    --------
    >>> import asyncio, brindlemox as bm
    >>> task = bm.go("x * 2", x=[1.0, 2.0])
    >>> task.result(timeout=60)
    array([2., 4.])
    >>> async def main():
    ...     return await bm.go("x + 1", x=[1.0])
    >>> asyncio.run(main())
    array([2.])
    """

    def __init__(self, handle: TaskHandle | None, convert: Callable[[Buffer], T], hold: object = None) -> None:
        super().__init__()
        # The engine's task; it holds no Python object.
        self._handle = handle
        self._convert = convert
        # The memory the engine reads and writes in place, kept until the
        # task has settled.
        self._hold = hold
        self._withdrawn = False

    def cancel(self) -> bool:
        """Withdraws the work if it has not started.

        Returns
        -------
        bool
            Whether the task is cancelled; False once the work has started.

        Examples
        --------
        >>> import brindlemox as bm
        >>> task = bm.go("x * 2", x=[1.0])
        >>> task.result(timeout=60)
        array([2.])
        >>> task.cancel()
        False
        """
        with self._condition:
            if self._state != PENDING or self._withdrawn:
                return self._withdrawn or super().cancel()
            if self._handle is not None and not _withdraw(self._handle):
                return False
            self._withdrawn = True
        self._hold = None
        super().cancel()
        # What an executor does with a cancelled future: wait() and
        # as_completed() count it as done only after this.
        self.set_running_or_notify_cancel()
        return True

    def running(self) -> bool:
        """Whether the engine is computing the work now.

        Returns
        -------
        bool
            True while the work runs; False before it starts and once done.

        Examples
        --------
        >>> import brindlemox as bm
        >>> done = bm.go("x - 1", x=[1.0])
        >>> done.result(timeout=60).tolist(), done.running()
        ([0.0], False)
        """
        return self._handle is not None and not self.done() and repr(self._handle) == _RUNNING

    def _settle(self, lost: bool) -> None:
        """Settles the future from its engine task, which is terminal (or,
        with `lost`, left behind in the parent of a fork)."""
        with self._condition:
            if self._withdrawn or self._state != PENDING:
                return
        self._hold = None
        try:
            if lost:
                raise _settle.lost_at_fork()
            assert self._handle is not None
            value = self._convert(self._handle.result())
        except Exception as error:
            with contextlib.suppress(InvalidStateError):  # settled meanwhile
                self.set_exception(error)
        else:
            with contextlib.suppress(InvalidStateError):
                self.set_result(value)

    def __await__(self) -> Generator[Any, None, T]:
        import asyncio

        if not self.done():
            loop = asyncio.get_running_loop()
            waiter = loop.create_future()
            self.add_done_callback(lambda _: _settle.wake_loop(loop, waiter, False))
            yield from waiter
        if self.cancelled():
            # What a coroutine catches is asyncio's, not this future's own kind.
            raise asyncio.CancelledError
        return self.result()

    def __repr__(self) -> str:
        if self.cancelled():
            return "<Task cancelled>"
        return f"<Task {'running' if self.running() else 'finished' if self.done() else 'pending'}>"


def array_of(buffer: Buffer) -> np.ndarray:
    """A read-only view of the engine's result buffer."""
    return _as_array(buffer)


def number_of(buffer: Buffer) -> np.float64:
    return np.float64(buffer.scalar())


def go(
    work: MapSpec | ReduceSpec | Kernel | str,
    /,
    *args: object,
    out: Channel | None = None,
    local_dict: Mapping[str, object] | None = None,
    **kwargs: object,
) -> Task[Any]:
    """Starts `work` on the engine and returns its `Task` at once.

    `work` is a kernel's ``map(...)`` (a `MapSpec`), a reduction's
    `ReduceSpec`, a `Kernel` with the arguments of a call, or an elementwise
    expression text with its arrays by keyword (or in `local_dict`). The
    work runs on the engine's threads, never on the caller's. A kernel or a
    text reads its arrays in place, as a call does, into a new array: they
    stay alive until the task ends, and writing to them meanwhile is the
    caller's race, as with any thread. With `out` (a `Channel`), the result
    is also sent into that channel once computed; the arrays are then copied
    into the engine first, as `kernel.map` copies them.

    Raises at once what the synchronous call raises before computing (a
    missing name, shapes that do not broadcast); errors of the computation
    itself come from the task's ``result()``.

    Parameters
    ----------
    work : str, Kernel, MapSpec or ReduceSpec
        What to compute.
    *args : object
        A kernel's arguments by position.
    out : Channel, optional
        A channel the (float64) result is also sent into.
    local_dict : mapping, optional
        An expression text's names and their values.
    **kwargs : object
        A kernel's arguments, or an expression text's names, by name.

    Returns
    -------
    Task
        The running work; its result is the synchronous call's.

    Raises
    ------
    TypeError
        For work of another kind, arguments it does not take, or `out` with
        a text or a kernel whose result is not float64.
    NameError
        For a name of the text with no value.

    Examples
    --------
    >>> import numpy as np, brindlemox as bm
    >>> task = bm.go("2*x + y", x=np.arange(3.0), y=1.0)
    >>> task.result()
    array([1., 3., 5.])
    >>> bm.go(bm.kernel(lambda v: v * v), [1.0, 2.0]).result()
    array([1., 4.])
    """
    channel = None if out is None else out._channel
    if isinstance(work, MapSpec) or isinstance(work, ReduceSpec):
        if args or kwargs or local_dict is not None:
            raise TypeError("go() takes no arguments besides a MapSpec or ReduceSpec")
        convert: Callable[[Buffer], Any] = array_of if isinstance(work, MapSpec) else number_of
        return _submit(work, convert, channel)
    if isinstance(work, str):
        if args:
            raise TypeError("go() takes an expression's arrays by name")
        names = dict(local_dict or {}, **kwargs)
        typed = _typed(work, names)
        if typed is not None:
            if channel is not None and typed[0].fast:
                raise TypeError("go() sends into a channel only results computed with libm; this one is in fast math")
            if channel is not None:
                raise TypeError("go() sends only float64 results into a channel; this expression's type is another")
            return _submit_typed(*typed)
        compiled = compile_text(work)
        if not isinstance(compiled, Kernel):
            raise TypeError("go() runs elementwise expressions; reduce with bm.sum, bm.prod, ... on a task's result")
        return _submit_kernel(compiled, [names[name] for name in compiled.names], channel)
    if isinstance(work, Kernel):
        if local_dict is not None:
            raise TypeError("go() takes a kernel's arguments as a call does")
        values = _bound(work, args, kwargs)
        route, typed = work._route(values, None)
        if route is Route.TYPED:
            assert typed is not None
            if channel is not None and typed[0].fast:
                raise TypeError("go() sends into a channel only results computed with libm; this one is in fast math")
            if channel is not None:
                raise TypeError(f"go() sends only float64 results into a channel; this kernel's is {typed[0].dtype}")
            return _submit_typed(*typed)
        return _submit_kernel(work, values, channel)
    raise TypeError(f"go() expects a MapSpec, ReduceSpec, Kernel or expression text, not {type(work).__name__}")


def _bound(kernel: Kernel, args: tuple[object, ...], kwargs: dict[str, object]) -> list[object]:
    """The kernel's arguments in parameter order, checked as a call checks them."""
    names = kernel.names
    if len(args) > len(names):
        raise TypeError(f"kernel takes {len(names)} arguments but {len(args)} were given")
    values = dict(zip(names, args))
    for name, value in kwargs.items():
        if name not in names:
            raise TypeError(f"kernel got an unexpected keyword argument '{name}'")
        if name in values:
            raise TypeError(f"kernel got multiple values for argument '{name}'")
        values[name] = value
    missing = [name for name in names if name not in values]
    if missing:
        listed = ", ".join(f"'{name}'" for name in missing)
        raise TypeError(f"kernel missing {len(missing)} required argument{'s' if len(missing) > 1 else ''}: {listed}")
    return [values[name] for name in names]


def _submit_kernel(kernel: Kernel, values: list[object], channel: EngineChannel | None) -> Task[Any]:
    """The kernel over `values` as a call computes it: arrays read in place
    (arranged first, as a call arranges them, when they cannot be), into a new
    array; the engine's runner does the computing."""
    if channel is not None:
        return _submit_map(kernel, values, channel)
    operands = kernel._operands(values)
    token = _settle.new_token()
    submitted = _evaluate_async(kernel._compiled, operands, None, token)
    if submitted is None:
        arranged, result, _ = arrange(kernel._slot_names, list(operands), None)
        if result.size == 0:
            return _done(result)
        submitted = _evaluate_async(kernel._compiled, tuple(arranged), result, token)
        if submitted is None:
            raise RuntimeError("internal error: the engine refused the operands the package arranged for it")
    handle, output, hold = submitted
    task: Task[Any] = Task(handle, lambda _: output, hold)
    _settle.register(token, task._settle)
    return task


def _typed(text: str, names: dict[str, object]) -> tuple[Plan, dict[str, object]] | None:
    """The typed program of `text` over `names`, in the current math mode,
    when it computes other types than float64 or a function in fast math;
    None when the float64 kernel computes the same answer."""
    route, typed = route_text(text, lookup(text_names(text), names, {}), None, get_math_mode())
    return typed if route is Route.TYPED else None


def _submit_typed(found: Plan, values: dict[str, object]) -> Task[Any]:
    """The typed program over `values`, as `evaluate` computes it, into a new
    array; the engine's runner does the computing."""
    prepared = prepare_typed(found, values, None, "K", "same_kind")
    if prepared.target.size == 0:
        return _done(prepared.result)
    token = _settle.new_token()
    handle, hold = _typed_evaluate_async(found.program, prepared.inputs, prepared.target, token)
    task: Task[Any] = Task(handle, lambda buffer: finish_typed(prepared, buffer.scalar() != 0.0), hold)
    _settle.register(token, task._settle)
    return task


def _submit_map(kernel: Kernel, values: list[object], channel: EngineChannel) -> Task[Any]:
    """The kernel over `values` as a map whose result also goes into
    `channel`: the operands arranged as for a call (broadcast, float64, C
    order), each copied into an engine buffer."""
    slots = kernel._slot_names
    operands = [values[kernel.names.index(name)] for name in slots]
    arranged, result, _ = arrange(slots, operands, None, "C")
    shape = result.shape
    if result.size == 0:  # nothing arranged: every argument an empty buffer
        arranged = [np.zeros(0)] * len(slots)
    bindings = {
        name: to_buffer(name, operand) if isinstance(operand, np.ndarray) else operand
        for name, operand in zip(slots, arranged)
    }
    spec = kernels.map(kernel.spec, **bindings)
    return _submit(spec, lambda buffer: array_of(buffer).reshape(shape), channel)


def _submit(
    spec: MapSpec | ReduceSpec, convert: Callable[[Buffer], Any], channel: EngineChannel | None
) -> Task[Any]:
    token = _settle.new_token()
    task: Task[Any] = Task(_go_async(spec, token, channel), convert)
    _settle.register(token, task._settle)
    return task


def _done(value: object) -> Task[Any]:
    """A task already holding `value`, for work with nothing to compute."""
    task: Task[Any] = Task(None, lambda buffer: value)
    task.set_result(value)
    return task
