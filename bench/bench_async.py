"""The package's asynchronous side against Python's own: `bm.chan` between
threads against queue.Queue (the cases of bench_channels.py), `async for`
over a channel fed by a thread against an asyncio.Queue fed through
call_soon_threadsafe, and what the caller's thread is free to do while `go`
computes, and the CPU and threads 10,000 waiting coroutines cost. Run with
`python bench/bench_async.py`."""

import argparse
import asyncio
import os
import statistics
import threading
import time

import numpy as np

import brindlemox as bm
from bench_channels import CASES, QueuePort, fan_in_queue, ping_pong, streaming

MESSAGE = bm.asarray(np.zeros(1))


class PackagePort:
    def __init__(self, capacity):
        self.channel = bm.chan(capacity)
        self.put = self.channel.send
        self.get = self.channel.recv


def fan_in_select(count, producers=4):
    channels = [bm.chan(64) for _ in range(producers)]
    per = count // producers

    def produce(channel):
        for _ in range(per):
            channel.send(MESSAGE)

    threads = [threading.Thread(target=produce, args=(c,)) for c in channels]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    select = bm.select
    for _ in range(per * producers):
        select(*channels)
    for thread in threads:
        thread.join()
    return per * producers / (time.perf_counter() - start)


def async_for_channel(count, capacity=64):
    channel = bm.chan(capacity)

    def produce():
        send = channel.send
        for _ in range(count):
            send(MESSAGE)
        channel.close()

    async def consume():
        producer = threading.Thread(target=produce)
        start = time.perf_counter()
        producer.start()
        received = 0
        async for _ in channel:
            received += 1
        producer.join()
        assert received == count
        return count / (time.perf_counter() - start)

    return asyncio.run(consume())


def async_queue(count):
    async def consume():
        loop = asyncio.get_running_loop()
        queue = asyncio.Queue()

        def produce():
            put = queue.put_nowait
            for _ in range(count):
                loop.call_soon_threadsafe(put, MESSAGE)

        producer = threading.Thread(target=produce)
        start = time.perf_counter()
        producer.start()
        for _ in range(count):
            await queue.get()
        producer.join()
        return count / (time.perf_counter() - start)

    return asyncio.run(consume())


def overlap(size):
    """Seconds the caller spends in `go` and in waiting, for one map of `size`
    elements, against the synchronous call."""
    x = np.arange(float(size))
    kernel = bm.kernel(lambda v: bm.exp(-v) * bm.sin(v))
    start = time.perf_counter()
    kernel(x)
    synchronous = time.perf_counter() - start
    start = time.perf_counter()
    task = bm.go(kernel, x)
    submitted = time.perf_counter() - start
    task.result()
    total = time.perf_counter() - start
    return synchronous, submitted, total


def loop_ticks(size):
    """Event-loop turns while a coroutine awaits a map of `size` elements."""

    async def main():
        ticks = 0
        stop = False

        async def ticker():
            nonlocal ticks
            while not stop:
                ticks += 1
                await asyncio.sleep(0)

        ticking = asyncio.ensure_future(ticker())
        start = time.perf_counter()
        await bm.go("exp(-x) * sin(x)", x=np.arange(float(size)))
        elapsed = time.perf_counter() - start
        stop = True
        await ticking
        return ticks, elapsed

    return asyncio.run(main())


def idle_waiters(count, seconds=1.0):
    """CPU seconds the process spends, and threads it has, while `count`
    coroutines wait on empty channels for `seconds`."""

    async def wait():
        channels = [bm.chan(1) for _ in range(100)]
        waits = [asyncio.ensure_future(channels[i % 100].recv_async()) for i in range(count)]
        await asyncio.sleep(0.1)
        start = time.process_time()
        await asyncio.sleep(seconds)
        spent = time.process_time() - start
        threads = threading.active_count(), len(os.listdir("/proc/self/task"))
        for waiting in waits:
            waiting.cancel()
        await asyncio.gather(*waits, return_exceptions=True)
        return spent, threads

    return asyncio.run(wait())


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--count", type=int, default=20_000)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    rows = {name: ([], []) for name, *_ in CASES}
    fan_in = "fan-in, 4 producers, bm.select over 4 bm.chan(64) vs one shared queue.Queue(64)"
    rows[fan_in] = ([], [])
    coroutine = "async for over bm.chan(64) / asyncio.Queue + call_soon_threadsafe"
    rows[coroutine] = ([], [])
    for _ in range(args.repeats):  # interleaved, so drift hits every row alike
        for name, pattern, capacity, maxsize in CASES:
            count = args.count if pattern is streaming else args.count // 4
            rows[name][0].append(pattern(lambda: PackagePort(capacity), count))
            rows[name][1].append(pattern(lambda: QueuePort(maxsize), count))
        rows[fan_in][0].append(fan_in_select(args.count))
        rows[fan_in][1].append(fan_in_queue(args.count))
        rows[coroutine][0].append(async_for_channel(args.count))
        rows[coroutine][1].append(async_queue(args.count))

    print(f"# package channels (messages per second, median of {args.repeats} interleaved repeats)\n")
    print("| case | bm.chan | Python's | ratio |")
    print("|---|---|---|---|")
    ratios = []
    for name, (ours, theirs) in rows.items():
        ratio = statistics.median(ours) / statistics.median(theirs)
        ratios.append(ratio)
        print(f"| {name} | {statistics.median(ours):,.0f} | {statistics.median(theirs):,.0f} | {ratio:.2f} |")
    print(f"\ngeometric mean of the thread-to-thread ratios: {statistics.geometric_mean(ratios[:-1]):.2f}")

    synchronous, submitted, total = overlap(20_000_000)
    print(
        f"\ngo on 2e7 elements: returns after {submitted * 1e3:.2f} ms (the synchronous call takes "
        f"{synchronous * 1e3:.0f} ms; go's result arrives after {total * 1e3:.0f} ms)"
    )
    ticks, elapsed = loop_ticks(20_000_000)
    print(f"event-loop turns while awaiting it: {ticks:,} in {elapsed * 1e3:.0f} ms")
    spent, (python_threads, os_threads) = idle_waiters(10_000)
    print(
        f"10,000 coroutines waiting in recv_async for 1 s: {spent * 1e3:.1f} ms of CPU, "
        f"{python_threads} Python threads, {os_threads} OS threads (pool of {bm.get_num_threads()})"
    )


if __name__ == "__main__":
    main()
