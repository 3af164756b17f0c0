import threading
import time

import numpy as np
import pytest

import _brindlemox as ext

pytestmark = [pytest.mark.numpy, pytest.mark.timeout(60)]


def one(rt, value):
    return rt.asarray(np.array([float(value)]))


def test_only_the_ready_case_is_chosen(rt):
    a, b = rt.chan(1), rt.chan(1)
    sent = one(rt, 2.0)
    b.send(sent)
    index, got = ext.py_select(ext.RecvCase(a), ext.RecvCase(b))
    assert index == 1 and got.scalar() == 2.0


def test_non_waiting_form(rt):
    a = rt.chan(1)
    assert ext.py_select(ext.RecvCase(a), default=True) == (-1, None)
    assert ext.py_select(default=True) == (-1, None)


def test_default_false_is_the_waiting_form(rt):
    # Never "nothing ready": it returns the message, sent before or during the wait.
    a = rt.chan(1)
    a.send(one(rt, 3.0))
    index, got = ext.py_select(ext.RecvCase(a), default=False)
    assert index == 0 and got.scalar() == 3.0

    sender = threading.Thread(target=lambda: a.send(one(rt, 4.0)))
    sender.start()
    index, got = ext.py_select(ext.RecvCase(a), default=False)
    sender.join(timeout=30)
    assert not sender.is_alive()
    assert index == 0 and got.scalar() == 4.0


def test_no_cases_is_an_internal_failure(capfd):
    with pytest.raises(BaseException) as info:
        ext.py_select()
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "no operations have been added to `Select`"
    # The report names the source file by its place in the repository, not on
    # the machine that built the extension.
    report = capfd.readouterr().err
    assert "brindlemox: internal failure at src/engine/channel/select.cpp:" in report


def test_argument_errors(rt):
    a = rt.chan(1)
    with pytest.raises(TypeError) as info:
        ext.py_select(ext.RecvCase(a), True)
    assert str(info.value) == "argument 'cases': 'bool' object cannot be converted to 'RecvCase'"
    with pytest.raises(TypeError) as info:
        ext.py_select(ext.RecvCase(a), default=1)
    assert str(info.value) == "argument 'default': 'int' object cannot be converted to 'PyBool'"
    with pytest.raises(TypeError) as info:
        ext.py_select(ext.RecvCase(a), timeout=1)
    assert str(info.value) == "py_select() got an unexpected keyword argument 'timeout'"


def test_fairness_between_two_ready_cases(rt):
    a, b = rt.chan(1), rt.chan(1)
    cases = (ext.RecvCase(a), ext.RecvCase(b))
    buf = one(rt, 1.0)
    counts = [0, 0]
    a.send(buf)
    b.send(buf)
    for _ in range(2000):
        index, _ = ext.py_select(*cases)
        counts[index] += 1
        (a if index == 0 else b).send(buf)
    assert 800 <= counts[0] <= 1200, counts


def test_closed_channel(rt):
    a = rt.chan(1)
    a.close()
    with pytest.raises(RuntimeError) as info:
        ext.py_select(ext.RecvCase(a))
    assert str(info.value) == "ChannelClosed"
    with pytest.raises(RuntimeError):  # the marker was taken: no waiting forever
        ext.py_select(ext.RecvCase(a))


def test_same_channel_in_several_cases(rt):
    a = rt.chan(1)
    a.send(one(rt, 3.0))
    index, got = ext.py_select(ext.RecvCase(a), ext.RecvCase(a), ext.RecvCase(a))
    assert index in (0, 1, 2) and got.scalar() == 3.0


def test_waiting_select_is_woken_by_a_sender(rt):
    a, b = rt.chan(0), rt.chan(1)
    result = []
    thread = threading.Thread(target=lambda: result.append(ext.py_select(ext.RecvCase(a), ext.RecvCase(b))))
    thread.start()
    time.sleep(0.1)
    a.send(one(rt, 9.0))  # a rendezvous: completes only when the selector takes it
    thread.join(10)
    assert not thread.is_alive()
    assert result[0][0] == 0 and result[0][1].scalar() == 9.0


def test_waiting_sender_makes_a_rendezvous_case_ready(rt):
    a = rt.chan(0)
    sender = threading.Thread(target=lambda: a.send(one(rt, 5.0)), daemon=True)
    sender.start()
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        index, got = ext.py_select(ext.RecvCase(a), default=True)
        if index == 0:
            assert got.scalar() == 5.0
            break
        time.sleep(0.005)
    else:
        pytest.fail("the waiting sender never made the case ready")
    sender.join(10)


def test_stress_exactly_once(rt, k):
    """Producers, the delivery worker and mixed consumers over channels of
    capacity 0, 1 and 8, closed while traffic flows."""
    import os

    seconds = float(os.environ.get("BMX_STRESS_SECONDS", "2"))
    channels = [rt.chan(c) for c in (0, 1, 8)]
    cases = [ext.RecvCase(c) for c in channels]
    sent, received = [], []
    sent_lock, received_lock = threading.Lock(), threading.Lock()
    stop = threading.Event()
    x = k.arg("x")
    spec = k.elementwise(x + 0)

    def producer(seed):
        n = 0
        while not stop.is_set():
            tag = seed * 1_000_000 + n
            n += 1
            channel = channels[n % 3]
            try:
                if n % 5 == 0:
                    handle = rt.go(k.map(spec, x=one(rt, tag)), out=channel)
                    # delivered or refused: either way it is accounted for below
                    with sent_lock:
                        sent.append((tag, handle))
                else:
                    channel.send(one(rt, tag))
                    with sent_lock:
                        sent.append((tag, None))
            except RuntimeError:
                pass

    quiet = threading.Event()  # no producer or delivery can add anything any more

    def take(got):
        with received_lock:
            received.append(int(got.scalar()))

    def consumer(use_select):
        while True:
            try:
                if use_select:
                    take(ext.py_select(*cases)[1])
                else:
                    take(channels[threading.get_ident() % 3].recv())
                continue
            except RuntimeError:
                if not quiet.is_set():
                    time.sleep(0.001)
                    continue
            # Drain what a send racing the close queued behind the marker.
            for case in cases:
                while True:
                    try:
                        index, leftover = ext.py_select(case, default=True)
                    except RuntimeError:
                        break
                    if index < 0:
                        break
                    take(leftover)
            return

    producers = [threading.Thread(target=producer, args=(i,), daemon=True) for i in range(3)]
    consumers = [threading.Thread(target=consumer, args=(i % 2 == 0,), daemon=True) for i in range(4)]
    for thread in producers + consumers:
        thread.start()
    time.sleep(seconds)
    for channel in channels:
        channel.close()
    stop.set()
    for thread in producers:
        thread.join(20)
        assert not thread.is_alive()
    # Deliveries still in flight end as delivered or failed.
    for _, handle in sent:
        if handle is not None:
            deadline = time.monotonic() + 20
            while not handle.is_done() and time.monotonic() < deadline:
                time.sleep(0.001)
            assert handle.is_done()
    quiet.set()
    for thread in consumers:
        thread.join(20)
        assert not thread.is_alive(), "a consumer hung"
    delivered = {tag for tag, handle in sent if handle is None or repr(handle) == "TaskHandle(state=Completed)"}
    assert len(received) == len(set(received)), "a buffer was received twice"
    assert delivered == set(received), f"{len(delivered - set(received))} buffers lost"
    assert len(received) > 100
    for channel in channels:
        with pytest.raises(RuntimeError) as info:
            channel.recv()
        assert str(info.value) == "ChannelClosed"
