"""Messages per second between Python threads: brindlemox Channels against
queue.Queue, measured in one run. Run with `make bench`."""

import argparse
import queue
import statistics
import threading
import time

import numpy as np

import _brindlemox as bm
from figures import panel, save

rt = bm._RuntimeModule()
MESSAGE = rt.asarray(np.zeros(1))


class ChannelPort:
    def __init__(self, capacity):
        self.channel = rt.chan(capacity)
        self.put = self.channel.send
        self.get = self.channel.recv


class QueuePort:
    def __init__(self, maxsize):
        self.queue = queue.Queue(maxsize)
        self.put = self.queue.put
        self.get = self.queue.get


def streaming(make, count):
    port = make()

    def produce():
        put = port.put
        for _ in range(count):
            put(MESSAGE)

    producer = threading.Thread(target=produce)
    start = time.perf_counter()
    producer.start()
    get = port.get
    for _ in range(count):
        get()
    producer.join()
    return count / (time.perf_counter() - start)


def ping_pong(make, count):
    ping, pong = make(), make()

    def echo():
        for _ in range(count):
            pong.put(ping.get())

    echoer = threading.Thread(target=echo)
    start = time.perf_counter()
    echoer.start()
    for _ in range(count):
        ping.put(MESSAGE)
        pong.get()
    echoer.join()
    return 2 * count / (time.perf_counter() - start)


def fan_in_select(count, producers=4):
    channels = [rt.chan(64) for _ in range(producers)]
    cases = [bm.RecvCase(c) for c in channels]
    per = count // producers

    def produce(channel):
        for _ in range(per):
            channel.send(MESSAGE)

    threads = [threading.Thread(target=produce, args=(c,)) for c in channels]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    select = bm.py_select
    for _ in range(per * producers):
        select(*cases)
    for thread in threads:
        thread.join()
    return per * producers / (time.perf_counter() - start)


def fan_in_queue(count, producers=4):
    shared = queue.Queue(64)
    per = count // producers

    def produce():
        for _ in range(per):
            shared.put(MESSAGE)

    threads = [threading.Thread(target=produce) for _ in range(producers)]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for _ in range(per * producers):
        shared.get()
    for thread in threads:
        thread.join()
    return per * producers / (time.perf_counter() - start)


# (case, Channel capacity, queue.Queue maxsize): a rendezvous channel is
# compared with the closest queue, one of maxsize 1.
CASES = [
    ("streaming, capacity 1", streaming, 1, 1),
    ("ping-pong, capacity 1", ping_pong, 1, 1),
    ("streaming, capacity 64", streaming, 64, 64),
    ("ping-pong, capacity 64", ping_pong, 64, 64),
    ("streaming, rendezvous (queue capacity 1)", streaming, 0, 1),
    ("ping-pong, rendezvous (queue capacity 1)", ping_pong, 0, 1),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--count", type=int, default=20_000)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    fan_name = "fan-in, 4 producers, py_select over 4 Channel(64) vs one shared queue.Queue(64)"
    results = {name: ([], []) for name, *_ in CASES}
    results[fan_name] = ([], [])
    for _ in range(args.repeats):  # interleaved, so drift hits every row alike
        for name, pattern, capacity, maxsize in CASES:
            count = args.count if pattern is streaming else args.count // 4
            results[name][0].append(pattern(lambda: ChannelPort(capacity), count))
            results[name][1].append(pattern(lambda: QueuePort(maxsize), count))
        results[fan_name][0].append(fan_in_select(args.count))
        results[fan_name][1].append(fan_in_queue(args.count))

    print(f"# channel benchmark (messages per second, median of {args.repeats} interleaved repeats)\n")
    print("| case | Channel | queue.Queue | ratio |")
    print("|---|---|---|---|")
    ratios, rates = [], {"Channel": [], "queue.Queue": []}
    for name, (channel, shared) in results.items():
        ratio = statistics.median(channel) / statistics.median(shared)
        ratios.append((name, ratio))
        rates["Channel"].append((name, statistics.median(channel)))
        rates["queue.Queue"].append((name, statistics.median(shared)))
        print(f"| {name} | {statistics.median(channel):,.0f} | {statistics.median(shared):,.0f} | {ratio:.2f} |")
    mean = statistics.geometric_mean([ratio for _, ratio in ratios])
    print(f"\ngeometric mean of the ratios: {mean:.2f}")
    save(
        "channels",
        f"Messages per second between Python threads, Channel against queue.Queue (geometric mean of ratios {mean:.2f})",
        [
            panel("messages per second", "messages per second", rates, axis="cases"),
            panel("Channel / queue.Queue rate (above 1: Channel faster)", "rate ratio", {"ratio": ratios},
                  axis="cases", reference=1.0, log_y=False),
        ],
    )


if __name__ == "__main__":
    main()
