# The package's channels and select: values in, arrays out, timeouts, closing,
# iteration, the coroutine forms, and no value lost when a wait is withdrawn.
import asyncio
import pickle
import threading

import numpy as np
import pytest

import _brindlemox
import brindlemox as bm

pytestmark = pytest.mark.numpy


@pytest.mark.parametrize(
    "value, expected",
    [
        (np.arange(4.0).reshape(2, 2), [0.0, 1.0, 2.0, 3.0]),
        (2, [2.0]),
        ([1, 2], [1.0, 2.0]),
        (bm.asarray([5.0]), [5.0]),
    ],
)
@pytest.mark.parametrize("capacity", [0, 1, 8])
def test_values_arrive_as_flat_arrays(value, expected, capacity):
    channel = bm.chan(capacity)
    sender = threading.Thread(target=channel.send, args=(value,), kwargs={"timeout": 60})
    sender.start()
    received = channel.recv(timeout=60)
    sender.join(60)
    assert received.tolist() == expected and received.dtype == np.float64


@pytest.mark.parametrize("capacity", [0, 1])
def test_timeouts_and_try_forms_never_block(capacity):
    channel = bm.chan(capacity)
    with pytest.raises(TimeoutError, match="^recv timed out after 0.01 seconds$"):
        channel.recv(timeout=0.01)
    assert channel.try_recv() is None
    assert channel.try_send([1.0]) is (capacity == 1)
    with pytest.raises(TimeoutError, match="^send timed out after 0.01 seconds$"):
        channel.send([2.0], timeout=0.01)
    assert channel.try_send([2.0]) is False
    assert (channel.try_recv() is None) is (capacity == 0)
    with pytest.raises(TimeoutError, match="^select timed out after 0 seconds$"):
        bm.select(channel, timeout=0)


def test_closing_ends_iteration_after_the_values_sent_before():
    with bm.chan(4) as channel:
        assert len(channel) == 0 and channel
        for value in range(3):
            channel.send(float(value))
    assert channel.closed and repr(channel) == "<Channel capacity=4 closed>"
    # The close marker is queued behind the values but is not one of them.
    assert len(channel) == 3
    assert [values.tolist() for values in channel] == [[0.0], [1.0], [2.0]]
    assert len(channel) == 0
    # Closed while full, the marker waits for the first slot that frees.
    with bm.chan(1) as full:
        full.send(1.0)
    assert len(full) == 1 and full.recv().tolist() == [1.0] and len(full) == 0
    for attempt in (channel.recv, channel.try_recv, lambda: channel.send([1.0]), lambda: channel.try_send(1.0)):
        with pytest.raises(bm.ChannelClosed) as raised:
            attempt()
        assert isinstance(raised.value, RuntimeError) and str(raised.value) == "the channel is closed"


def test_close_wakes_a_blocked_receiver():
    channel = bm.chan(0)
    outcome = []

    def receive():
        try:
            channel.recv(timeout=60)
        except bm.ChannelClosed:
            outcome.append("closed")

    receiver = threading.Thread(target=receive)
    receiver.start()
    channel.close()
    receiver.join(60)
    assert outcome == ["closed"]


def test_select_takes_channels_and_tasks():
    a, b = bm.chan(1), bm.chan(1)
    b.send([3.0])
    assert bm.select(a, bm.RecvCase(b), timeout=60)[0] == 1
    index, value = bm.select(a, bm.go("x * 2", x=[4.0]), timeout=60)
    assert (index, value.tolist()) == (1, [8.0])
    failing = bm.go(bm.kernel(lambda v: v).map(w=1.0))
    with pytest.raises(ValueError, match="missing arg: v"):
        bm.select(a, failing, timeout=60)
    with pytest.raises(TypeError, match="select\\(\\) cases are channels, RecvCases and tasks, not int"):
        bm.select(a, 3)
    a.close()
    with pytest.raises(bm.ChannelClosed):
        bm.select(a, timeout=60)


def test_async_forms_iterate_send_and_select():
    async def main():
        channel = bm.chan(0)

        async def produce():
            for value in range(50):
                await channel.send_async([float(value)])
            channel.close()

        producer = asyncio.ensure_future(produce())
        received = [values[0] async for values in channel]
        await producer
        a, b = bm.chan(1), bm.chan(1)
        later = asyncio.get_running_loop().call_later(0.01, b.send, [7.0])
        chosen = await bm.select_async(a, b, timeout=60)
        later.cancel()
        with pytest.raises(TimeoutError):
            await bm.select_async(a, timeout=0.01)
        with pytest.raises(bm.ChannelClosed):
            await channel.send_async([1.0])
        return received, chosen

    received, (index, value) = asyncio.run(main())
    assert received == [float(value) for value in range(50)]
    assert (index, value.tolist()) == (1, [7.0])


def test_withdrawn_receives_lose_no_value():
    # Receives cancelled while values arrive: every value reaches exactly one
    # later receive, in the order sent.
    async def main():
        # Room for every value: a receive withdrawn before the agent takes a
        # value leaves it queued, and on a loaded machine that may be every
        # one, where a full channel would block the loop's own send.
        channel = bm.chan(200)
        got = []
        for round in range(200):
            waiting = asyncio.ensure_future(channel.recv_async())
            await asyncio.sleep(0)
            channel.send([float(round)])
            waiting.cancel()
            try:
                got.append((await waiting)[0])
            except asyncio.CancelledError:
                pass
        while len(got) < 200:
            got.append((await asyncio.wait_for(channel.recv_async(), 60))[0])
        return got

    assert sorted(asyncio.run(main())) == [float(value) for value in range(200)]


def test_select_async_withdrawal_gives_values_back():
    async def main():
        channels = [bm.chan(4) for _ in range(3)]
        for round in range(100):
            for channel in channels:
                channel.send([float(round)])
            index, value = await bm.select_async(*channels, timeout=60)
            for other, channel in enumerate(channels):
                if other != index:
                    assert (await channel.recv_async())[0] == round
        return True

    assert asyncio.run(main())


def test_channels_refuse_pickling_and_the_extensions_surface_is_unchanged():
    for value in (bm.chan(1), bm.RecvCase(bm.chan(1))):
        with pytest.raises(TypeError, match="a channel connects threads of one process"):
            pickle.dumps(value)
    engine = _brindlemox._RuntimeModule().chan(1)
    assert repr(engine) == "Channel()" and [name for name in dir(engine) if not name.startswith("_")] == [
        "close",
        "is_closed",
        "recv",
        "send",
    ]
    assert _brindlemox.py_select.__doc__.endswith("Python-visible select function.")
    assert _brindlemox._RuntimeModule.go.__text_signature__ == "($self, spec, out=None)"
