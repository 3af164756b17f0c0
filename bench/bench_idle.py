"""CPU spent by threads that only wait: 100 threads blocked in each kind of
brindlemox wait, next to 100 threads blocked in queue.Queue.get, measured in
one run. The figure is process CPU time over wall time (1.0 = one full core).
Run with `make bench`."""

import argparse
import queue
import threading
import time

import numpy as np

import _brindlemox as bm
from figures import panel, save

k, rt = bm._KernelModule(), bm._RuntimeModule()


def blocked_recv(count):
    channel = rt.chan(1)
    return [channel.recv] * count, lambda: [channel.send(rt.asarray(np.zeros(1))) for _ in range(count)]


def blocked_send(count):
    channel = rt.chan(0)
    message = rt.asarray(np.zeros(1))
    return [lambda: channel.send(message)] * count, lambda: [channel.recv() for _ in range(count)]


def blocked_select(count):
    a, b = rt.chan(1), rt.chan(1)
    cases = (bm.RecvCase(a), bm.RecvCase(b))
    return [lambda: bm.py_select(*cases)] * count, lambda: [a.send(rt.asarray(np.zeros(1))) for _ in range(count)]


def blocked_result(count):
    # Each task waits for its delivery into a rendezvous channel nobody reads yet.
    x = k.arg("x")
    channel = rt.chan(0)
    spec = k.map(k.elementwise(x + 1), x=rt.asarray(np.zeros(1)))
    handles = [rt.go(spec, out=channel) for _ in range(count)]
    return [h.result for h in handles], lambda: [channel.recv() for _ in range(count)]


def blocked_queue_get(count):
    shared = queue.Queue()
    return [shared.get] * count, lambda: [shared.put(None) for _ in range(count)]


def idle_fraction(setup, count, seconds):
    waits, release = setup(count)
    threads = [threading.Thread(target=wait) for wait in waits]
    for thread in threads:
        thread.start()
    time.sleep(0.5)  # let every thread reach its wait
    cpu, wall = time.process_time(), time.perf_counter()
    time.sleep(seconds)
    fraction = (time.process_time() - cpu) / (time.perf_counter() - wall)
    release()
    for thread in threads:
        thread.join()
    return fraction


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--threads", type=int, default=100)
    parser.add_argument("--seconds", type=float, default=2.0)
    args = parser.parse_args()
    rows = {
        "Channel.recv": blocked_recv,
        "Channel.send (rendezvous)": blocked_send,
        "py_select over 2 channels": blocked_select,
        "TaskHandle.result (delivery waiting)": blocked_result,
        "queue.Queue.get": blocked_queue_get,
    }
    print(f"# idle waits: CPU of {args.threads} blocked threads over {args.seconds:g} s\n")
    print("| wait | CPU (% of one core) |")
    print("|---|---|")
    measured = []
    for name, setup in rows.items():
        measured.append((name, 100 * idle_fraction(setup, args.threads, args.seconds)))
        print(f"| {name} | {measured[-1][1]:.3f} |")
    save(
        "idle",
        f"CPU burnt by {args.threads} threads blocked for {args.seconds:g} s, brindlemox waits against queue.Queue.get",
        [panel("CPU while blocked", "CPU (% of one core)", {"measured": measured}, axis="cases", log_y=False)],
    )


if __name__ == "__main__":
    main()
