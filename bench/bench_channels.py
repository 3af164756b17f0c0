"""Messages per second between Python threads: brindlemox Channels against
queue.Queue, measured in one run. Run with `make bench`."""

import argparse
import queue
import statistics
import threading
import time

import numpy as np

import _brindlemox as bm

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


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--count", type=int, default=20_000)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    rows = {
        "Channel(0)": lambda: ChannelPort(0),
        "Channel(1)": lambda: ChannelPort(1),
        "Channel(64)": lambda: ChannelPort(64),
        "queue.Queue(1)": lambda: QueuePort(1),
        "queue.Queue(64)": lambda: QueuePort(64),
    }
    results = {name: {"streaming": [], "ping-pong": []} for name in rows}
    fan = {"py_select over 4 Channel(64)": [], "queue.Queue(64) shared by 4 producers": []}
    for _ in range(args.repeats):  # interleaved, so drift hits every row alike
        for name, make in rows.items():
            results[name]["streaming"].append(streaming(make, args.count))
            results[name]["ping-pong"].append(ping_pong(make, args.count // 4))
        fan["py_select over 4 Channel(64)"].append(fan_in_select(args.count))
        fan["queue.Queue(64) shared by 4 producers"].append(fan_in_queue(args.count))

    print(f"# channel benchmark (messages per second, median of {args.repeats})\n")
    print("| transport | streaming | ping-pong |")
    print("|---|---|---|")
    for name, series in results.items():
        print(f"| {name} | {statistics.median(series['streaming']):,.0f} | {statistics.median(series['ping-pong']):,.0f} |")
    print("\n| fan-in (4 producers, 1 consumer) | messages/s |")
    print("|---|---|")
    for name, series in fan.items():
        print(f"| {name} | {statistics.median(series):,.0f} |")


if __name__ == "__main__":
    main()
