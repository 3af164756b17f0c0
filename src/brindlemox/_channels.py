"""Channels of arrays between threads and coroutines.

A `Channel` wraps one engine channel. The blocking forms wait in the engine
with the interpreter lock released and answer Ctrl-C; the asynchronous forms
are `_channel_async`'s, which never block their loop and keep a value sent
received exactly once.
"""

from __future__ import annotations

from collections.abc import AsyncIterator, Iterator
from types import TracebackType
from typing import Final, Self

import numpy as np
import numpy.typing as npt

from _brindlemox import _as_array, _buffered, _recv_array, _recv_until, _send_until

from ._channel_async import receive, reports_closed, send
from ._engine import Buffer, runtime
from ._runtime import to_buffer

#: The longest wait the engine takes; "no time limit" is this long.
_FOREVER: Final = float("inf")


class ChannelClosed(RuntimeError):
    """A send on a closed channel, or a receive on a closed channel with
    nothing left in it. A RuntimeError, as the engine's own channels raise.

    Parameters
    ----------
    message : str, optional
        What is said of it; every raise in the package says the default.

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

    def __init__(self, message: str = "the channel is closed") -> None:
        super().__init__(message)


def _closed(error: RuntimeError) -> RuntimeError:
    """`error` as ChannelClosed when it reports a closed channel."""
    return ChannelClosed() if reports_closed(error) else error


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

    Parameters
    ----------
    capacity : int, optional
        How many values wait in the channel before a send blocks; 0 (the
        default) makes every send wait for its receiver.

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
        every send wait for its receiver.

        Examples
        --------
        >>> import brindlemox as bm
        >>> bm.chan(4).capacity
        4
        """
        return self._capacity

    @property
    def closed(self) -> bool:
        """Whether `close` was called.

        Examples
        --------
        >>> import brindlemox as bm
        >>> channel = bm.chan(1)
        >>> channel.close()
        >>> channel.closed
        True
        """
        return self._channel.is_closed()

    def send(self, value: Buffer | npt.ArrayLike, timeout: float | None = None) -> None:
        """Sends `value`, blocking while the channel is full (at capacity 0,
        until a receiver takes it), at most `timeout` seconds.

        Raises ChannelClosed when the channel is closed, also when it closes
        while the send waits; TimeoutError when `timeout` passes first.
        Nothing is sent when it raises.

        Parameters
        ----------
        value : Buffer or array_like
            What to send: a `Buffer` as it is, anything else copied into a
            new float64 buffer, flattened in C order.
        timeout : float, optional
            The most seconds to wait; None waits until there is room.

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

        Parameters
        ----------
        timeout : float, optional
            The most seconds to wait; None waits until a value comes.

        Returns
        -------
        numpy.ndarray
            The value, a read-only one-dimensional float64 array over the
            buffer sent.

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
        waiting); never blocks. Raises ChannelClosed when the channel is
        closed.

        Parameters
        ----------
        value : Buffer or array_like
            What to send, as `send` takes it.

        Returns
        -------
        bool
            Whether it was sent.

        Examples
        --------
        >>> import brindlemox as bm
        >>> bm.chan(0).try_send([1.0])  # no receiver waits
        False
        """
        try:
            return _send_until(self._channel, _message(value), 0.0)
        except RuntimeError as error:
            raise _closed(error) from None

    def try_recv(self) -> npt.NDArray[np.float64] | None:
        """The next value if there is one now; never blocks. Raises
        ChannelClosed when the channel is closed and drained.

        Returns
        -------
        numpy.ndarray or None
            The value, as `recv` gives it, or None when the channel is empty.

        Examples
        --------
        >>> import brindlemox as bm
        >>> channel = bm.chan(1)
        >>> channel.try_send([1.0])
        True
        >>> channel.try_recv(), channel.try_recv()
        (array([1.]), None)
        """
        try:
            values = _recv_until(self._channel, 0.0)
        except RuntimeError as error:
            raise _closed(error) from None
        return values

    def close(self) -> None:
        """Closes the channel; later calls do nothing. Never blocks.

        Values already sent are still received; after them every receive
        raises ChannelClosed, and every send raises it, one already waiting
        for room included.

        Examples
        --------
        >>> import brindlemox as bm
        >>> channel = bm.chan(1)
        >>> channel.send([1.0])
        >>> channel.close()
        >>> [values.tolist() for values in channel]
        [[1.0]]
        """
        self._channel.close()

    async def send_async(self, value: Buffer | npt.ArrayLike) -> None:
        """`send` for coroutines: waits for room without blocking the loop.

        Raises ChannelClosed when the channel is closed, also when it closes
        while the send waits. Cancelling the coroutine withdraws the value
        unless its hand-over had begun.

        Parameters
        ----------
        value : Buffer or array_like
            What to send, as `send` takes it.

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
        if not await send(self._channel, _message(value)):
            raise ChannelClosed()

    async def recv_async(self) -> npt.NDArray[np.float64]:
        """`recv` for coroutines: waits for a value without blocking the loop.

        Raises ChannelClosed when the channel is closed and drained.
        Cancelling the coroutine withdraws its wait; a value that reached it
        at that moment goes back to the front of the channel, for any receive.

        Returns
        -------
        numpy.ndarray
            The value, as `recv` gives it.

        Examples
        --------
        >>> import asyncio, brindlemox as bm
        >>> async def main():
        ...     channel = bm.chan(1)
        ...     channel.send([5.0])
        ...     return await channel.recv_async()
        >>> asyncio.run(main())
        array([5.])
        """
        got = await receive(self._channel)
        if got is None:
            raise ChannelClosed()
        return _as_array(got)

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
