import threading
import time

import numpy as np
import pytest

import _brindlemox as ext
from conftest import run_python

pytestmark = pytest.mark.timeout(60)


def buffer(rt, *values):
    return rt.asarray(np.array(values, dtype=np.float64))


def start(target, *args):
    thread = threading.Thread(target=target, args=args, daemon=True)
    thread.start()
    return thread


def finish(thread, timeout=10):
    thread.join(timeout)
    assert not thread.is_alive(), "thread did not finish"


def test_repr_and_closed_flag(rt):
    for capacity in (0, 1, 5):
        channel = rt.chan(capacity)
        assert repr(channel) == "Channel()"
        assert channel.is_closed() is False
        assert channel.close() is None
        assert channel.close() is None
        assert channel.is_closed() is True
        assert repr(channel) == "Channel()"


def test_bounded_channel_waits_when_full(rt):
    channel = rt.chan(2)
    channel.send(buffer(rt, 1.0))
    channel.send(buffer(rt, 2.0))
    done = threading.Event()
    sender = start(lambda: (channel.send(buffer(rt, 3.0)), done.set()))
    assert not done.wait(0.2)
    assert channel.recv().numpy().tolist() == [1.0]
    assert done.wait(5)
    finish(sender)
    assert [channel.recv().scalar(), channel.recv().scalar()] == [2.0, 3.0]


def test_rendezvous_pairs_sender_and_receiver(rt):
    channel = rt.chan(0)
    done = threading.Event()
    sender = start(lambda: (channel.send(buffer(rt, 4.0)), done.set()))
    assert not done.wait(0.2)
    assert channel.recv().scalar() == 4.0
    assert done.wait(5)
    finish(sender)


def test_messages_before_close_arrive_in_order(rt):
    channel = rt.chan(8)
    for value in range(5):
        channel.send(buffer(rt, float(value)))
    channel.close()
    assert [channel.recv().scalar() for _ in range(5)] == [0.0, 1.0, 2.0, 3.0, 4.0]
    for _ in range(3):  # the marker was taken once; later receives do not wait
        with pytest.raises(RuntimeError) as info:
            channel.recv()
        assert str(info.value) == "ChannelClosed"
    with pytest.raises(RuntimeError) as info:
        channel.send(buffer(rt, 1.0))
    assert str(info.value) == "ChannelClosed"


@pytest.mark.parametrize("capacity", [0, 1, 3])
def test_close_wakes_every_waiting_receiver(rt, capacity):
    channel = rt.chan(capacity)
    errors = []

    def receive():
        try:
            channel.recv()
        except RuntimeError as error:
            errors.append(str(error))

    receivers = [start(receive) for _ in range(2)]
    time.sleep(0.1)
    channel.close()
    for thread in receivers:
        finish(thread)
    assert errors == ["ChannelClosed", "ChannelClosed"]


def test_close_of_a_full_channel_does_not_wait(rt):
    channel = rt.chan(1)
    channel.send(buffer(rt, 1.0))
    channel.close()
    assert channel.recv().scalar() == 1.0
    with pytest.raises(RuntimeError):
        channel.recv()


def test_buffers_are_shared_not_copied(rt):
    channel = rt.chan(1)
    sent = buffer(rt, 1.0, 2.0)
    channel.send(sent)
    got = channel.recv()
    assert got is not sent and got.numpy().tolist() == [1.0, 2.0]


def test_bad_arguments(rt):
    channel = rt.chan(1)
    with pytest.raises(TypeError) as info:
        channel.send(3)
    assert str(info.value) == "argument 'buf': 'int' object cannot be converted to 'Buffer'"
    with pytest.raises(TypeError) as info:
        rt.chan(1.5)
    assert str(info.value) == "argument 'capacity': 'float' object cannot be interpreted as an integer"
    with pytest.raises(OverflowError):
        rt.chan(-1)
    with pytest.raises(MemoryError):
        rt.chan(2**62)
    with pytest.raises(TypeError) as info:
        ext.RecvCase(3)
    assert str(info.value) == "argument 'channel': 'int' object cannot be converted to 'Channel'"


@pytest.mark.parametrize("blocked", ["channel.recv()", "channel.send(full)", "ext.py_select(ext.RecvCase(channel))"])
def test_ctrl_c_interrupts_a_blocked_wait(blocked):
    result = run_python(
        f"""
        import os, signal, threading, time
        import numpy as np, _brindlemox as ext
        rt = ext._RuntimeModule()
        channel = rt.chan(1)
        full = rt.asarray(np.ones(1))
        if "send" in {blocked!r}:
            channel.send(full)
        threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
        start = time.monotonic()
        try:
            {blocked}
        except KeyboardInterrupt:
            print("interrupted after %.1f s" % (time.monotonic() - start))
        if "send" in {blocked!r}:
            channel.recv()
            channel.close()
            print("nothing extra was sent:", end=" ")
            try:
                channel.recv()
            except RuntimeError as error:
                print(error)
        """,
        timeout=30,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("interrupted after 0.")
    if "send" in blocked:
        assert "nothing extra was sent: ChannelClosed" in result.stdout


def test_signal_handler_that_does_not_raise_keeps_waiting():
    result = run_python(
        """
        import os, signal, threading
        import numpy as np, _brindlemox as ext
        rt = ext._RuntimeModule()
        channel = rt.chan(1)
        calls = []
        signal.signal(signal.SIGUSR1, lambda *_: calls.append(1))
        threading.Timer(0.2, lambda: os.kill(os.getpid(), signal.SIGUSR1)).start()
        threading.Timer(0.6, lambda: channel.send(rt.asarray(np.full(1, 7.0)))).start()
        print(channel.recv().scalar(), len(calls))
        """,
        timeout=30,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["7.0", "1"]
