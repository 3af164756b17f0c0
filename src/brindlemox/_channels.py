"""Channels of arrays between threads and coroutines, and `select`.

A `Channel` wraps one engine channel. The blocking forms wait in the engine
with the interpreter lock released and answer Ctrl-C; the asynchronous forms
never block their loop and cost no thread per waiter: a receive that cannot
complete at once waits with the engine's one receive agent, a send that finds
no room waits in the channel itself until a receive makes room (so it never
waits behind another channel's), and the settler thread wakes the waiting
coroutine through one `call_soon_threadsafe`.

The invariant every path here keeps: a value sent is received exactly once,
or stays in its channel. A receive that took a value it can no longer hand
over (its coroutine was cancelled, or another case of its `select_async` won)
puts it back in front of the channel, where any receive finds it; a send
either delivers its value or raises ChannelClosed.
"""

from __future__ import annotations

import functools
import random
from collections.abc import AsyncIterator, Iterator
from types import TracebackType
from typing import TYPE_CHECKING, Any, Final, Self

import numpy as np
import numpy.typing as npt

from _brindlemox import (
    _CHANNEL_CLOSED,
    _as_array,
    _buffered,
    _give_back,
    _recv_array,
    _recv_async,
    _recv_until,
    _select_until,
    _send_async,
    _send_until,
    _withdraw,
    _withdraw_receive,
)
from _brindlemox import Channel as _EngineChannel

from . import _settle
from ._engine import Buffer, TaskHandle, runtime
from ._runtime import to_buffer
from ._tasks import Task

if TYPE_CHECKING:
    import asyncio

#: The longest wait the engine takes; "no time limit" is this long.
_FOREVER: Final = float("inf")

_NOTE: Final = [runtime.asarray(np.array([float(index)])) for index in range(64)]


class ChannelClosed(RuntimeError):
    """A send on a closed channel, or a receive on a closed channel with
    nothing left in it. A RuntimeError, as the engine's own channels raise.

    Examples
    --------
    >>> import brindlemox as bm
    >>> channel = bm.chan(1)
    >>> channel.close()
    >>> channel.recv()
    Traceback (most recent call last):
    ...
    brindlemox._channels.ChannelClosed: the channel is closed
    """


def _closed(error: RuntimeError) -> RuntimeError:
    """`error` as ChannelClosed when it reports a closed channel."""
    return ChannelClosed("the channel is closed") if error.args == (_CHANNEL_CLOSED,) else error


def _timed_out(what: str, timeout: float | None) -> TimeoutError:
    return TimeoutError(f"{what} timed out after {timeout} seconds")


def _message(value: Buffer | npt.ArrayLike) -> Buffer:
    return value if type(value) is Buffer else to_buffer("value", value)


class Channel:
    """A first-in first-out channel of float64 arrays, for threads and coroutines.

    Made by `chan`. A value sent is a `Buffer`, or a number or array-like,
    copied (flattened in C order) into a new buffer; a receive returns a
    read-only one-dimensional NumPy array over the buffer sent. `close` ends
    the stream: receivers get what was sent before, then `ChannelClosed`.
    Iterating (``for`` or ``async for``) receives until then. As a context
    manager the channel closes on exit.

    Examples
    --------
    >>> import brindlemox as bm
    >>> with bm.chan(2) as channel:
    ...     channel.send([1.0, 2.0])
    ...     channel.send(3.0)
    >>> [values.tolist() for values in channel]
    [[1.0, 2.0], [3.0]]
    """

    __slots__ = ("_channel", "_capacity", "_send", "__weakref__")

    def __init__(self, capacity: int = 0) -> None:
        self._channel = runtime.chan(capacity)
        self._capacity = capacity
        # Bound once: the blocking forms are a hand-off's whole cost.
        self._send = self._channel.send

    @property
    def capacity(self) -> int:
        """How many values wait in the channel before `send` blocks; 0 makes
        every send wait for its receiver."""
        return self._capacity

    @property
    def closed(self) -> bool:
        """Whether `close` was called."""
        return self._channel.is_closed()

    def send(self, value: Buffer | npt.ArrayLike, timeout: float | None = None) -> None:
        """Sends `value`, blocking while the channel is full (at capacity 0,
        until a receiver takes it), at most `timeout` seconds.

        Raises ChannelClosed when the channel is closed, also when it closes
        while the send waits; TimeoutError when `timeout` passes first.
        Nothing is sent when it raises.

        Examples
        --------
        >>> import brindlemox as bm
        >>> channel = bm.chan(1)
        >>> channel.send([1.0, 2.0])
        >>> channel.send(3.0, timeout=0.01)
        Traceback (most recent call last):
        ...
        TimeoutError: send timed out after 0.01 seconds
        """
        buffer = value if type(value) is Buffer else to_buffer("value", value)
        try:
            if timeout is None:
                self._send(buffer)
                return
            if _send_until(self._channel, buffer, timeout):
                return
        except RuntimeError as error:
            raise _closed(error) from None
        raise _timed_out("send", timeout)

    def recv(self, timeout: float | None = None) -> npt.NDArray[np.float64]:
        """The next value, blocking while the channel is empty, at most
        `timeout` seconds.

        Raises ChannelClosed when the channel is closed and drained,
        TimeoutError when `timeout` passes first (nothing is taken then).

        Examples
        --------
        >>> import brindlemox as bm
        >>> channel = bm.chan(1)
        >>> channel.send([1.0, 2.0])
        >>> channel.recv()
        array([1., 2.])
        >>> channel.recv(timeout=0.01)
        Traceback (most recent call last):
        ...
        TimeoutError: recv timed out after 0.01 seconds
        """
        try:
            values = _recv_array(self._channel) if timeout is None else _recv_until(self._channel, timeout)
        except RuntimeError as error:
            raise _closed(error) from None
        if values is None:
            raise _timed_out("recv", timeout)
        return values

    def try_send(self, value: Buffer | npt.ArrayLike) -> bool:
        """Sends `value` if there is room now (at capacity 0: a receiver
        waiting); never blocks. Returns whether it was sent; raises
        ChannelClosed when the channel is closed."""
        try:
            return _send_until(self._channel, _message(value), 0.0)
        except RuntimeError as error:
            raise _closed(error) from None

    def try_recv(self) -> npt.NDArray[np.float64] | None:
        """The next value if there is one now, else None; never blocks.
        Raises ChannelClosed when the channel is closed and drained."""
        try:
            values = _recv_until(self._channel, 0.0)
        except RuntimeError as error:
            raise _closed(error) from None
        return values

    def close(self) -> None:
        """Closes the channel; later calls do nothing. Never blocks.

        Values already sent are still received; after them every receive
        raises ChannelClosed, and every send raises it at once.
        """
        self._channel.close()

    async def send_async(self, value: Buffer | npt.ArrayLike) -> None:
        """`send` for coroutines: waits for room without blocking the loop.

        Raises ChannelClosed when the channel is closed, also when it closes
        while the send waits. Cancelling the coroutine withdraws the value
        unless its hand-over had begun.

        Examples
        --------
        >>> import asyncio, brindlemox as bm
        >>> async def main():
        ...     channel = bm.chan(1)
        ...     await channel.send_async([4.0])
        ...     return await channel.recv_async()
        >>> asyncio.run(main())
        array([4.])
        """
        import asyncio

        buffer = _message(value)
        try:
            if _send_until(self._channel, buffer, 0.0):
                return
        except RuntimeError as error:
            raise _closed(error) from None
        token = _settle.new_token()
        handle = _send_async(self._channel, buffer, token)
        try:
            await _settled(token)
        except asyncio.CancelledError:
            _withdraw(handle)
            raise
        try:
            handle.result()
        except RuntimeError:
            raise ChannelClosed("the channel is closed") from None

    async def recv_async(self) -> npt.NDArray[np.float64]:
        """`recv` for coroutines: waits for a value without blocking the loop.

        Raises ChannelClosed when the channel is closed and drained.
        Cancelling the coroutine withdraws its wait; a value that reached it
        at that moment goes back to the front of the channel, for any receive.
        """
        return _as_array(await _receive(self._channel))

    def __iter__(self) -> Iterator[npt.NDArray[np.float64]]:
        recv = self.recv
        while True:
            try:
                yield recv()
            except ChannelClosed:
                return

    def __aiter__(self) -> AsyncIterator[npt.NDArray[np.float64]]:
        return self

    async def __anext__(self) -> npt.NDArray[np.float64]:
        try:
            return await self.recv_async()
        except ChannelClosed:
            raise StopAsyncIteration from None

    def __len__(self) -> int:
        """How many sent values wait in the channel now (0 at capacity 0,
        where a send hands its value straight to a receiver); another thread
        may change it at once."""
        return _buffered(self._channel)

    def __bool__(self) -> bool:
        # A channel is a channel even when empty, as a queue.Queue is.
        return True

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<Channel capacity={self._capacity}{' closed' if self.closed else ''}>"


def chan(capacity: int = 0) -> Channel:
    """A new `Channel` holding up to `capacity` values; 0 (the default) makes
    a rendezvous channel, where each send waits for its receiver.

    Parameters
    ----------
    capacity : int, optional
        How many values the channel holds before a send waits.

    Returns
    -------
    Channel
        The new, open channel.

    Raises
    ------
    OverflowError
        When `capacity` is negative.
    MemoryError
        When the slots of `capacity` values cannot be reserved.

    Examples
    --------
    >>> import brindlemox as bm
    >>> channel = bm.chan(1)
    >>> channel.try_send([1.0]), channel.try_send([2.0])
    (True, False)
    >>> channel.try_recv(), channel.try_recv()
    (array([1.]), None)
    """
    return Channel(capacity)


async def _settled(token: int) -> None:
    """Waits until the engine posts `token`."""
    import asyncio

    loop = asyncio.get_running_loop()
    waiter: asyncio.Future[None] = loop.create_future()
    _settle.register(token, functools.partial(_settle.wake_loop, loop, waiter))
    await waiter


async def _receive(channel: _EngineChannel) -> Buffer:
    """The next buffer of `channel`, waited for without blocking the loop."""
    import asyncio

    token = _settle.new_token()
    try:
        got = _recv_async(channel, token)
    except RuntimeError as error:
        raise _closed(error) from None
    if isinstance(got, Buffer):
        return got
    try:
        await _settled(token)
    except asyncio.CancelledError:
        if not _withdraw_receive(got):
            _give_back_outcome(channel, got)
        raise
    return _received(got)


def _received(handle: TaskHandle) -> Buffer:
    try:
        return handle.result()
    except RuntimeError:
        # A receive fails only when it takes the close marker.
        raise ChannelClosed("the channel is closed") from None


def _give_back_outcome(channel: _EngineChannel, handle: TaskHandle) -> None:
    """Puts a buffer received for a wait that ended meanwhile back in front of
    its channel."""
    try:
        buffer = handle.result()
    except RuntimeError:
        return  # the close marker: every later receive gets it again
    _give_back(channel, buffer)


class RecvCase:
    """A `select` case receiving from `channel`; a `Channel` or a `Task` may
    also be given to `select` as it is.

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
        raise ChannelClosed("the channel is closed")
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
    for index, channel, got in waits:
        if isinstance(got, TaskHandle):
            if _withdraw_receive(got):
                continue  # it took nothing
            try:
                got = got.result()
            except RuntimeError:
                got = None  # it took the close marker
        taken.append((index, got, channel))
    finished: list[_Outcome] = [(index, got) for index, got, _ in taken]
    finished += [(index, task) for index, task in tasks if task.done()]
    winner = random.choice(finished) if finished and keep else None
    for (_, got, channel), outcome in zip(taken, finished):
        if outcome is not winner and got is not None:
            _give_back(channel, got)
    return winner
