# The channel protocol's invariant under races: a value sent is received
# exactly once or stays in its channel, and a send either delivers its value
# or raises ChannelClosed. Each race runs thousands of times with its sides
# started in random orders; every wait has a limit far beyond any machine's
# pace, so a lost value fails as a timeout instead of hanging the suite.
import asyncio
import random
import threading

import numpy as np
import pytest

import brindlemox as bm

pytestmark = pytest.mark.numpy

LIMIT = 10.0  # seconds; reached only when something was lost


def drain(channel):
    """Every value left in a closed channel (the first ChannelClosed ends it)."""
    values = []
    while True:
        try:
            values.append(channel.recv(timeout=LIMIT)[0])
        except bm.ChannelClosed:
            return values


async def settle(rng):
    for _ in range(rng.randrange(4)):
        await asyncio.sleep(0)


@pytest.mark.parametrize("capacity", [0, 1])
def test_a_send_blocked_when_the_channel_closes_delivers_or_raises_never_both(capacity):
    rng = random.Random(capacity)
    for trial in range(1500):
        channel = bm.chan(capacity)
        if capacity:
            channel.send([-1.0])  # full: the send below waits for room
        outcome, received = [], []

        def send():
            try:
                channel.send([float(trial)], timeout=LIMIT)
                outcome.append("sent")
            except bm.ChannelClosed:
                outcome.append("refused")

        def receive():
            try:
                received.append(channel.recv(timeout=LIMIT)[0])
            except bm.ChannelClosed:
                pass

        # Without a receiver, only the close can end a send at capacity 0.
        chosen = [send, channel.close] + ([receive] if trial % 2 else [])
        sides = [threading.Thread(target=side) for side in rng.sample(chosen, len(chosen))]
        for side in sides:
            side.start()
        for side in sides:
            side.join(LIMIT * 2)
        assert not any(side.is_alive() for side in sides)
        assert outcome in (["sent"], ["refused"]), (trial, outcome)
        values = [value for value in received + drain(channel) if value != -1.0]
        assert values == ([float(trial)] if outcome == ["sent"] else []), (trial, outcome, values)


def test_a_send_async_pending_when_the_channel_closes_delivers_or_raises_never_both():
    async def main():
        rng = random.Random(3)
        for trial in range(1500):
            channel = bm.chan(1)
            channel.send([-1.0])
            sending = asyncio.ensure_future(channel.send_async([float(trial)]))
            received = []
            for side in rng.sample(["close", "receive", "yield"], 3):
                if side == "close":
                    channel.close()
                elif side == "receive":
                    received.append(channel.try_recv())
                await settle(rng)
            await asyncio.wait_for(asyncio.gather(sending, return_exceptions=True), LIMIT)
            delivered = sending.exception() is None
            assert delivered or isinstance(sending.exception(), bm.ChannelClosed)
            values = [value[0] for value in received if value is not None] + drain(channel)
            assert [value for value in values if value != -1.0] == ([float(trial)] if delivered else [])

    asyncio.run(main())


SENDS = {
    "send_async": lambda channel, value: asyncio.ensure_future(channel.send_async([value])),
    "go": lambda channel, value: bm.go("x + 0", x=np.array([value]), out=channel),
}


@pytest.mark.parametrize("send", sorted(SENDS))
@pytest.mark.parametrize("capacity", [0, 1])
def test_a_send_waiting_on_one_channel_never_holds_up_another(capacity, send):
    async def main():
        a, b = bm.chan(capacity), bm.chan(capacity)
        if capacity:
            a.send([1.0])
            b.send([3.0])
        into_a = SENDS[send](a, 2.0)  # no room in a until the end
        await settle(random.Random(1))
        into_b = SENDS[send](b, 4.0)
        got = [] if not capacity else [(await asyncio.wait_for(b.recv_async(), LIMIT)).tolist()]
        got.append((await asyncio.wait_for(b.recv_async(), LIMIT)).tolist())
        await asyncio.wait_for(asyncio.wrap_future(into_b) if send == "go" else into_b, LIMIT)
        assert not into_a.done()
        got += [(await asyncio.wait_for(a.recv_async(), LIMIT)).tolist() for _ in range(1 + capacity)]
        await asyncio.wait_for(asyncio.wrap_future(into_a) if send == "go" else into_a, LIMIT)
        return got

    expected = [[3.0], [4.0], [1.0], [2.0]] if capacity else [[4.0], [2.0]]
    assert asyncio.run(main()) == expected


def test_a_cancelled_send_async_delivers_at_most_once_and_once_when_it_returned():
    async def main():
        rng = random.Random(9)
        for trial in range(1500):
            channel = bm.chan(1)
            channel.send([-1.0])
            sending = asyncio.ensure_future(channel.send_async([float(trial)]))
            received = []
            for side in rng.sample(["cancel", "receive", "yield"], 3):
                if side == "cancel":
                    sending.cancel()
                elif side == "receive":
                    received.append(channel.try_recv())
                await settle(rng)
            await asyncio.gather(sending, return_exceptions=True)
            channel.close()
            values = [value[0] for value in received if value is not None] + drain(channel)
            mine = [value for value in values if value != -1.0]
            assert len(mine) <= 1 and (sending.cancelled() or len(mine) == 1), (trial, mine)
            assert mine in ([], [float(trial)])

    asyncio.run(main())


def test_a_cancelled_receive_returns_its_value_or_leaves_it_in_the_channel():
    async def main():
        rng = random.Random(5)
        channel = bm.chan(1)
        for trial in range(2000):
            receiving = asyncio.ensure_future(channel.recv_async())
            for side in rng.sample(["send", "cancel", "yield"], 3):
                if side == "send":
                    channel.send([float(trial)])
                elif side == "cancel":
                    receiving.cancel()
                await settle(rng)
            await asyncio.gather(receiving, return_exceptions=True)
            # A value the cancelled receive had taken is back by now.
            got = channel.try_recv() if receiving.cancelled() else receiving.result()
            assert got is not None and got.tolist() == [float(trial)], trial
            assert channel.try_recv() is None

    asyncio.run(main())


def test_select_async_racing_a_close_and_a_cancel_loses_nothing():
    async def main():
        rng = random.Random(11)
        outcomes = set()
        for trial in range(2000):
            a, b = bm.chan(1), bm.chan(1)
            selecting = asyncio.ensure_future(bm.select_async(a, b))
            sides = ["close", "send", "yield"] + (["cancel"] if trial % 3 == 0 else [])
            for side in rng.sample(sides, len(sides)):
                if side == "close":
                    a.close()
                elif side == "send":
                    b.send([float(trial)])
                elif side == "cancel":
                    selecting.cancel()
                await settle(rng)
            await asyncio.gather(selecting, return_exceptions=True)
            if not selecting.cancelled() and selecting.exception() is None:
                index, value = selecting.result()
                assert (index, value.tolist()) == (1, [float(trial)])
                outcomes.add("chosen")
            else:
                outcomes.add("closed" if not selecting.cancelled() else "cancelled")
                value = b.try_recv()
                assert value is not None and value.tolist() == [float(trial)], trial
            assert b.try_recv() is None
        return outcomes

    assert asyncio.run(main()) == {"chosen", "closed", "cancelled"}


def test_a_fan_in_through_select_async_with_abandoned_selects_loses_nothing():
    producers, per_producer = 3, 1000
    channels = [bm.chan(4) for _ in range(producers)]

    def produce(p):
        for n in range(per_producer):
            channels[p].send([float(p * per_producer + n)], timeout=LIMIT * 6)

    async def consume():
        rng = random.Random(13)
        got = []
        while len(got) < producers * per_producer:
            # Some selects are abandoned at once: their values must stay.
            limit = 0 if rng.random() < 0.2 else LIMIT
            try:
                _, value = await asyncio.wait_for(bm.select_async(*channels), limit)
            except TimeoutError:
                if limit:
                    raise
                continue
            got.append(value[0])
        return got

    threads = [threading.Thread(target=produce, args=(p,)) for p in range(producers)]
    for thread in threads:
        thread.start()
    got = asyncio.run(consume())
    for thread in threads:
        thread.join(LIMIT)
    assert sorted(got) == [float(i) for i in range(producers * per_producer)]
    assert all(channel.try_recv() is None for channel in channels)


def test_awaiting_a_cancelled_task_raises_asyncios_cancelled_error():
    slow = bm.kernel(lambda v: bm.sin(v) * bm.exp(-v)).map(v=bm.asarray([float(i) for i in range(3_000_000)]))
    tasks = [bm.go(slow) for _ in range(3)]
    cancelled = [task for task in tasks[1:] if task.cancel()]
    assert cancelled  # the first task was still running

    async def main():
        with pytest.raises(asyncio.CancelledError):
            await cancelled[0]

    asyncio.run(main())
    tasks[0].result(timeout=60)
