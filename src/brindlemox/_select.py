"""`select` and `select_async`: a wait on channels and tasks together.

A case is a `Channel` (or its `RecvCase`), ready when it holds a value, or a
`Task`, ready when done; select sits above both. A case of `select_async`
that took a value it can no longer hand over (another case won, or its
coroutine was cancelled) puts it back in front of its channel, as the
channels' own receives do.
"""

from __future__ import annotations

import functools
import random
from typing import TYPE_CHECKING, Any, Final

import numpy as np

from _brindlemox import _as_array, _give_back, _recv_async, _select_until, _send_until
from _brindlemox import Channel as _EngineChannel

from . import _settle
from ._channel_async import TOOK_NOTHING, end_receive
from ._channels import _FOREVER, Channel, ChannelClosed, _closed, _timed_out
from ._engine import Buffer, TaskHandle, runtime
from ._tasks import Task

if TYPE_CHECKING:
    import asyncio

_NOTE: Final = [runtime.asarray(np.array([float(index)])) for index in range(64)]


class RecvCase:
    """A `select` case receiving from `channel`; a `Channel` or a `Task` may
    also be given to `select` as it is.

    Parameters
    ----------
    channel : Channel
        The channel the case receives from.

    Examples
    --------
    >>> import brindlemox as bm
    >>> channel = bm.chan(1)
    >>> channel.send([1.0])
    >>> bm.select(bm.RecvCase(channel))
    (0, array([1.]))
    """

    __slots__ = ("channel",)

    def __init__(self, channel: Channel) -> None:
        if not isinstance(channel, Channel):
            raise TypeError(f"RecvCase() takes a Channel, not {type(channel).__name__}")
        self.channel = channel


Case = Channel | RecvCase | Task[Any]


def _split(cases: tuple[Case, ...]) -> tuple[list[tuple[int, _EngineChannel]], list[tuple[int, Task[Any]]]]:
    channels: list[tuple[int, _EngineChannel]] = []
    tasks: list[tuple[int, Task[Any]]] = []
    for index, case in enumerate(cases):
        if isinstance(case, RecvCase):
            case = case.channel
        if isinstance(case, Channel):
            channels.append((index, case._channel))
        elif isinstance(case, Task):
            tasks.append((index, case))
        else:
            raise TypeError(f"select() cases are channels, RecvCases and tasks, not {type(case).__name__}")
    if not cases:
        raise ValueError("select() needs at least one case to wait on")
    return channels, tasks


def _done_task(tasks: list[tuple[int, Task[Any]]]) -> tuple[int, Task[Any]] | None:
    done = [entry for entry in tasks if entry[1].done()]
    return random.choice(done) if done else None


def select(*cases: Case, timeout: float | None = None, default: bool = False) -> tuple[int, Any]:
    """Waits until one of `cases` is ready and returns its index and value.

    A case is a `Channel` (or `RecvCase`), ready when it holds a value, or a
    `Task`, ready when done. Of several ready cases one is chosen at random.
    The value is the array received, or the task's result (its exception is
    raised). Blocks at most `timeout` seconds; with ``default=True`` it only
    looks, and returns ``(-1, None)`` when no case is ready.

    Parameters
    ----------
    *cases : Channel, RecvCase or Task
        What to wait on.
    timeout : float, optional
        The most seconds to wait; None waits until a case is ready.
    default : bool, optional
        Only look: ``(-1, None)`` when no case is ready now.

    Returns
    -------
    tuple
        The index of the chosen case and its value.

    Raises
    ------
    ValueError
        For no cases (without `default`).
    ChannelClosed
        When the chosen channel is closed and drained.
    TimeoutError
        When `timeout` passes first.

    Examples
    --------
    >>> import brindlemox as bm
    >>> a, b = bm.chan(1), bm.chan(1)
    >>> b.send([2.0])
    >>> bm.select(a, b)
    (1, array([2.]))
    >>> bm.select(a, bm.go("x + 1", x=[1.0]))
    (1, array([2.]))
    >>> bm.select(a, default=True)
    (-1, None)
    """
    if default is False and timeout is None and cases:
        # Channels alone, waited on with no limit: one engine select.
        try:
            engine = tuple([case._channel for case in cases])  # type: ignore[union-attr]
        except AttributeError:
            pass  # a task or RecvCase among them
        else:
            try:
                return _select_until(engine, _FOREVER)  # type: ignore[return-value]
            except RuntimeError as error:
                raise _closed(error) from None
    if type(default) is not bool:
        raise TypeError(f"argument 'default' must be bool, not {type(default).__name__}")
    if default and not cases:
        return -1, None
    wait = 0.0 if default else _FOREVER if timeout is None else timeout
    channels, tasks = _split(cases)
    ready = _done_task(tasks)
    if ready is not None:
        return ready[0], ready[1].result()
    engine = tuple(channel for _, channel in channels)
    if tasks:
        # A done task sends its number into a channel of this call's own.
        note = runtime.chan(len(tasks))
        for position, (_, task) in enumerate(tasks):
            task.add_done_callback(functools.partial(_note, note, position))
        engine += (note,)
    try:
        chosen = _select_until(engine, wait)
    except RuntimeError as error:
        raise _closed(error) from None
    if chosen is None:
        if default:
            return -1, None
        raise _timed_out("select", timeout)
    position, values = chosen
    if position == len(channels):
        index, task = tasks[int(values[0])]
        return index, task.result()
    return channels[position][0], values


def _note(note: _EngineChannel, position: int, _: object) -> None:
    _send_until(note, _NOTE[position] if position < len(_NOTE) else runtime.asarray(np.array([position])), 0.0)


async def select_async(*cases: Case, timeout: float | None = None) -> tuple[int, Any]:
    """`select` for coroutines: waits without blocking the loop.

    Raises as `select` does. Cancelling the coroutine withdraws every wait;
    a value that reached one of them at that moment goes back to the front
    of its channel.

    Parameters
    ----------
    *cases : Channel, RecvCase or Task
        What to wait on.
    timeout : float, optional
        The most seconds to wait; None waits until a case is ready.

    Returns
    -------
    tuple
        The index of the chosen case and its value.

    Examples
    --------
    >>> import asyncio, brindlemox as bm
    >>> async def main():
    ...     a, b = bm.chan(1), bm.chan(1)
    ...     b.send([2.0])
    ...     return await bm.select_async(a, b)
    >>> asyncio.run(main())
    (1, array([2.]))
    """
    import asyncio

    channels, tasks = _split(cases)
    ready = _done_task(tasks)
    if ready is not None:
        return ready[0], ready[1].result()
    if channels:
        try:
            chosen = _select_until(tuple(channel for _, channel in channels), 0.0)
        except RuntimeError as error:
            raise _closed(error) from None
        if chosen is not None:
            return channels[chosen[0]][0], chosen[1]
    # One wake-up for every case; after it (or a cancellation, or the
    # timeout) every wait is ended at once, before this coroutine yields
    # again, so a value is never left in flight.
    loop = asyncio.get_running_loop()
    wake: asyncio.Future[None] = loop.create_future()
    settle = functools.partial(_settle.wake_loop, loop, wake)
    waits: list[tuple[int, _EngineChannel, Buffer | TaskHandle | None]] = []
    try:
        for index, channel in channels:
            token = _settle.new_token()
            try:
                got: Buffer | TaskHandle | None = _recv_async(channel, token)
            except RuntimeError:
                got = None  # the close marker
            waits.append((index, channel, got))
            if not isinstance(got, TaskHandle):
                break
            _settle.register(token, settle)
        else:
            for _, task in tasks:
                task.add_done_callback(lambda _: settle(False))
            async with asyncio.timeout(timeout):
                await wake
    except TimeoutError:
        winner = _end_waits(waits, tasks, keep=True)
        if winner is None:
            raise _timed_out("select", timeout) from None
    except BaseException:
        _end_waits(waits, tasks, keep=False)
        raise
    else:
        winner = _end_waits(waits, tasks, keep=True)
    assert winner is not None
    index, value = winner
    if isinstance(value, Task):
        return index, value.result()
    if value is None:
        raise ChannelClosed()
    return index, _as_array(value)


#: A finished case of `select_async`: its index and what it has, a buffer,
#: None for the close marker, or a done task.
_Outcome = tuple[int, "Buffer | Task[Any] | None"]


def _end_waits(
    waits: list[tuple[int, _EngineChannel, Buffer | TaskHandle | None]],
    tasks: list[tuple[int, Task[Any]]],
    keep: bool,
) -> _Outcome | None:
    """Ends every wait of a `select_async`; with `keep`, returns one chosen at
    random among the cases that finished (None if none did). Every other
    buffer received goes back in front of its channel."""
    taken: list[tuple[int, Buffer | None, _EngineChannel]] = []
    for index, channel, waited in waits:
        got = end_receive(waited) if isinstance(waited, TaskHandle) else waited
        if got is not TOOK_NOTHING:
            taken.append((index, got, channel))
    finished: list[_Outcome] = [(index, got) for index, got, _ in taken]
    finished += [(index, task) for index, task in tasks if task.done()]
    winner = random.choice(finished) if finished and keep else None
    for (_, got, channel), outcome in zip(taken, finished):
        if outcome is not winner and got is not None:
            _give_back(channel, got)
    return winner
