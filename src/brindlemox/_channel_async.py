"""The asynchronous receive and send of a channel, for coroutines.

Neither blocks its loop nor costs a thread per waiter: a receive that cannot
complete at once waits with the engine's one receive agent, a send that finds
no room waits in the channel itself until a receive makes room (so it never
waits behind another channel's), and the settler thread wakes the waiting
coroutine through one `call_soon_threadsafe`.

The invariant every path here keeps: a value sent is received exactly once,
or stays in its channel. A receive that took a value it can no longer hand
over (its coroutine was cancelled, or another case of its `select_async`
won) puts it back in front of the channel, where any receive finds it; a send
either delivers its value or reports the channel closed.
"""

from __future__ import annotations

import functools
from enum import Enum
from typing import Final, Literal

from _brindlemox import (
    _CHANNEL_CLOSED,
    _give_back,
    _recv_async,
    _send_async,
    _send_until,
    _withdraw,
    _withdraw_receive,
)
from _brindlemox import Channel as _EngineChannel

from . import _settle
from ._engine import Buffer, TaskHandle


def reports_closed(error: RuntimeError) -> bool:
    """Whether `error` is the engine's report of a closed channel."""
    return error.args == (_CHANNEL_CLOSED,)


async def settled(token: int) -> None:
    """Waits until the engine posts `token`."""
    import asyncio

    loop = asyncio.get_running_loop()
    waiter: asyncio.Future[None] = loop.create_future()
    _settle.register(token, functools.partial(_settle.wake_loop, loop, waiter))
    await waiter


async def receive(channel: _EngineChannel) -> Buffer | None:
    """The next buffer of `channel`, waited for without blocking the loop;
    None when the channel is closed and drained. Cancelled, the receive is
    withdrawn, and a buffer it took by then goes back to the channel."""
    import asyncio

    token = _settle.new_token()
    try:
        got = _recv_async(channel, token)
    except RuntimeError as error:
        if not reports_closed(error):
            raise
        return None
    if isinstance(got, Buffer):
        return got
    try:
        await settled(token)
    except asyncio.CancelledError:
        taken = end_receive(got)
        if isinstance(taken, Buffer):
            _give_back(channel, taken)
        raise
    return _outcome(got)


async def send(channel: _EngineChannel, buffer: Buffer) -> bool:
    """Sends `buffer`, waiting for room without blocking the loop; False
    when the channel is closed, also when it closes while the send waits,
    and nothing is sent then. Cancelled, the send is withdrawn unless its
    hand-over had begun."""
    import asyncio

    try:
        if _send_until(channel, buffer, 0.0):
            return True
    except RuntimeError as error:
        if not reports_closed(error):
            raise
        return False
    token = _settle.new_token()
    handle = _send_async(channel, buffer, token)
    try:
        await settled(token)
    except asyncio.CancelledError:
        _withdraw(handle)
        raise
    try:
        handle.result()
    except RuntimeError:
        return False
    return True


class _Took(Enum):
    NOTHING = 0


#: What a receive withdrawn in time took.
TOOK_NOTHING: Final = _Took.NOTHING


def end_receive(handle: TaskHandle) -> Buffer | None | Literal[_Took.NOTHING]:
    """Withdraws a waiting asynchronous receive; what it had taken by then:
    a buffer (for its taker to hand on or give back), None for the close
    marker (every later receive gets it again), or TOOK_NOTHING."""
    if _withdraw_receive(handle):
        return TOOK_NOTHING
    return _outcome(handle)


def _outcome(handle: TaskHandle) -> Buffer | None:
    """What a settled receive took: a buffer, or None for the close marker
    (a receive fails only when it takes that)."""
    try:
        return handle.result()
    except RuntimeError:
        return None
