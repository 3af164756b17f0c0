"""go(spec, out=channel): delivery by the background worker."""

import os
import threading
import time

import numpy as np
import pytest

import _brindlemox as ext
from conftest import child_exit_code, run_python

pytestmark = [pytest.mark.numpy, pytest.mark.timeout(60)]


def wait_until(predicate, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.005)
    return False


@pytest.fixture
def kernel(k, rt):
    x = k.arg("x")
    spec = k.elementwise(x + 1)
    return lambda value: k.map(spec, x=rt.asarray(np.full(3, float(value))))


def test_map_result_is_delivered(rt, kernel):
    channel = rt.chan(1)
    handle = rt.go(kernel(1), out=channel)
    got = channel.recv()
    assert got.numpy().tolist() == [2.0, 2.0, 2.0]
    assert wait_until(handle.is_done)
    assert repr(handle) == "TaskHandle(state=Completed)"
    assert handle.result().numpy().tolist() == [2.0, 2.0, 2.0]


def test_reduce_result_is_delivered_as_one_element(k, rt):
    channel = rt.chan(1)
    handle = rt.go(k.sum(rt.asarray(np.arange(4.0))), out=channel)
    got = channel.recv()
    assert repr(got) == "Buffer(dtype=float64, shape=[1], len=1)" and got.scalar() == 6.0
    assert handle.result().scalar() == 6.0


def test_full_channel_holds_the_delivery(rt, kernel):
    channel = rt.chan(1)
    first = rt.go(kernel(1), out=channel)
    assert wait_until(first.is_done)
    second = rt.go(kernel(2), out=channel)
    assert wait_until(lambda: repr(second) == "TaskHandle(state=Delivering)")
    assert second.is_done() is False
    waiter = threading.Thread(target=second.result, daemon=True)
    waiter.start()
    time.sleep(0.1)
    assert waiter.is_alive()  # result() waits for the delivery
    assert channel.recv().scalar() == 2.0
    waiter.join(10)
    assert not waiter.is_alive()
    assert channel.recv().scalar() == 3.0


def test_a_blocked_delivery_holds_up_later_ones(rt, kernel):
    full, empty = rt.chan(1), rt.chan(1)
    rt.go(kernel(0), out=full)
    blocked = rt.go(kernel(1), out=full)
    later = rt.go(kernel(2), out=empty)
    time.sleep(0.2)
    assert not later.is_done()
    assert ext.py_select(ext.RecvCase(empty), default=True) == (-1, None)
    full.recv()
    assert wait_until(later.is_done) and wait_until(blocked.is_done)
    assert empty.recv().scalar() == 3.0


def test_delivery_to_a_closed_channel_fails(rt, kernel):
    channel = rt.chan(2)
    channel.close()
    handle = rt.go(kernel(1), out=channel)
    assert wait_until(handle.is_done)
    assert repr(handle) == "TaskHandle(state=Failed(ChannelClosed))"
    with pytest.raises(RuntimeError) as info:
        handle.result()
    assert str(info.value) == "channel closed"
    with pytest.raises(RuntimeError) as info:
        channel.recv()
    assert str(info.value) == "ChannelClosed"


def test_failed_computation_sends_nothing(k, rt):
    x, y = k.args("x", "y")
    channel = rt.chan(1)
    handle = rt.go(k.map(k.elementwise(x + y), x=rt.asarray(np.zeros(2))), out=channel)
    assert handle.is_done()
    with pytest.raises(ValueError):
        handle.result()
    assert ext.py_select(ext.RecvCase(channel), default=True) == (-1, None)


def test_cancel_while_queued_skips_the_delivery(rt, kernel):
    channel = rt.chan(1)
    rt.go(kernel(0), out=channel)
    blocker = rt.go(kernel(1), out=channel)  # the worker waits for room here
    queued = rt.go(kernel(2), out=channel)
    assert wait_until(lambda: repr(blocker) == "TaskHandle(state=Delivering)")
    assert repr(queued) == "TaskHandle(state=DeliveryQueued)"
    assert queued.cancel() is True
    assert queued.cancel() is False
    assert queued.is_done()
    with pytest.raises(RuntimeError) as info:
        queued.result()
    assert str(info.value) == "task cancelled"
    assert [channel.recv().scalar(), channel.recv().scalar()] == [1.0, 2.0]
    assert wait_until(blocker.is_done)
    assert ext.py_select(ext.RecvCase(channel), default=True) == (-1, None)


def test_deliveries_keep_submission_order(rt, kernel):
    channel = rt.chan(64)
    handles = [rt.go(kernel(i), out=channel) for i in range(50)]
    assert [channel.recv().scalar() for _ in range(50)] == [float(i + 1) for i in range(50)]
    assert all(wait_until(h.is_done) for h in handles)


def test_one_named_worker_thread(rt, kernel):
    channel = rt.chan(8)
    for i in range(3):
        rt.go(kernel(i), out=channel)
    for _ in range(3):
        channel.recv()
    names = []
    for task in os.listdir("/proc/self/task"):
        with open(f"/proc/self/task/{task}/comm") as comm:
            names.append(comm.read().strip())
    assert names.count("delivery-worker") == 1


def test_forked_child_starts_its_own_worker(rt, kernel):
    channel = rt.chan(1)
    rt.go(kernel(1), out=channel)
    channel.recv()  # the parent's worker is running
    pid = os.fork()
    if pid == 0:
        try:
            child_channel = rt.chan(1)
            rt.go(kernel(5), out=child_channel)
            os._exit(0 if child_channel.recv().scalar() == 6.0 else 1)
        except BaseException:
            os._exit(2)
    assert child_exit_code(pid) == 0


def test_ctrl_c_interrupts_result_waiting_for_delivery():
    result = run_python(
        """
        import os, signal, threading
        import numpy as np, _brindlemox as ext
        k, rt = ext._KernelModule(), ext._RuntimeModule()
        channel = rt.chan(0)
        handle = rt.go(k.sum(rt.asarray(np.ones(3))), out=channel)
        threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
        try:
            handle.result()
        except KeyboardInterrupt:
            print("interrupted", repr(handle))
        """,
        timeout=30,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "interrupted TaskHandle(state=Delivering)"
