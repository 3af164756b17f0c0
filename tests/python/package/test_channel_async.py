"""The asynchronous receive and send under the channel's coroutine forms: what
each reports for a closed channel, found at once or while it waits, and what
the forms built on them raise then."""

import asyncio

import numpy as np
import pytest

import _brindlemox as ext
import brindlemox as bm
from brindlemox import _channel_async
from brindlemox._engine import runtime

pytestmark = pytest.mark.timeout(120)

# Every wait below ends by a close the loop makes after the operation has
# begun, so none depends on how fast the machine is.
LIMIT = 60


def run(coroutine):
    return asyncio.run(asyncio.wait_for(coroutine, LIMIT))


def closing_later(channel):
    asyncio.get_running_loop().call_later(0.01, channel.close)


def engine(capacity, sent=(), closed=False):
    """A package channel holding `sent`, closed or open, and its engine channel."""
    channel = bm.chan(capacity)
    for value in sent:
        channel.send([value])
    if closed:
        channel.close()
    return channel


@pytest.mark.parametrize("capacity, sent", [(0, []), (1, []), (1, [-0.0]), (3, [1.5, -0.0, float("nan")])])
@pytest.mark.parametrize("when", ["at once", "while waiting"])
def test_receive_takes_what_was_sent_then_reports_closed_with_none(capacity, sent, when):
    async def main():
        channel = engine(capacity, sent, closed=when == "at once")
        if when == "while waiting":
            closing_later(channel)
        got = [await _channel_async.receive(channel._channel) for _ in range(len(sent) + 1)]
        return got, await _channel_async.receive(channel._channel)

    got, again = run(main())
    assert [np.asarray(buffer).view(np.uint64).tolist() for buffer in got[:-1]] == [
        np.array([value]).view(np.uint64).tolist() for value in sent
    ]
    assert (got[-1], again) == (None, None)


@pytest.mark.parametrize("capacity, sent", [(0, []), (1, [2.0]), (2, [2.0, 3.0])])
@pytest.mark.parametrize("when", ["at once", "while waiting"])
def test_send_reports_closed_with_false_and_sends_nothing(capacity, sent, when):
    # Without a receiver, a full channel (or one of capacity 0) keeps the
    # send waiting until the close.
    async def main():
        channel = engine(capacity, sent, closed=when == "at once")
        if when == "while waiting":
            closing_later(channel)
        delivered = await _channel_async.send(channel._channel, runtime.asarray(np.array([9.0])))
        return delivered, [values.tolist() for values in channel]

    assert run(main()) == (False, [[value] for value in sent])


@pytest.mark.parametrize("capacity", [1, 2])
def test_send_with_room_delivers_at_once(capacity):
    async def main():
        channel = bm.chan(capacity)
        delivered = await _channel_async.send(channel._channel, runtime.asarray(np.array([4.0, 5.0])))
        channel.close()
        return delivered, [values.tolist() for values in channel]

    assert run(main()) == (True, [[4.0, 5.0]])


@pytest.mark.parametrize("form", ["recv_async", "send_async", "anext"])
@pytest.mark.parametrize("when", ["at once", "while waiting"])
def test_the_coroutine_forms_raise_channel_closed(form, when):
    async def main():
        channel = engine(0, closed=when == "at once")
        if when == "while waiting":
            closing_later(channel)
        if form == "recv_async":
            await channel.recv_async()
        elif form == "send_async":
            await channel.send_async([1.0])
        else:
            return [values async for values in channel]

    if form == "anext":
        assert run(main()) == []
        return
    with pytest.raises(bm.ChannelClosed) as info:
        run(main())
    assert (type(info.value).__module__, str(info.value)) == ("brindlemox._channels", "the channel is closed")


def test_the_closed_report_is_the_engines_message_and_nothing_else():
    channel = bm.chan(1)
    channel.close()
    with pytest.raises(RuntimeError) as info:
        ext._recv_array(channel._channel)
    assert type(info.value) is RuntimeError and _channel_async.reports_closed(info.value)
    assert not _channel_async.reports_closed(RuntimeError("the channel is closed!"))
    assert not _channel_async.reports_closed(RuntimeError(info.value.args[0], 1))
