"""Blocking calls: clean exits while threads wait, waiters that stay visible,
Ctrl-C with nothing lost, and channels nobody can receive from any more."""

import threading
import time

import numpy as np
import pytest

import _brindlemox as ext
from conftest import run_python

pytestmark = pytest.mark.timeout(120)

PRELUDE = """
import signal, threading, time
import numpy as np, _brindlemox as ext
k, rt = ext._KernelModule(), ext._RuntimeModule()
x = k.arg("x")
def values(*items):
    return rt.asarray(np.array(items, dtype=np.float64))
def small_map(value):
    return k.map(k.elementwise(x + 1), x=values(value))
def daemon(target):
    threading.Thread(target=target, daemon=True).start()
"""

# Each program leaves a daemon thread inside the engine when the main thread ends.
EXIT_CASES = {
    "recv_rendezvous": "ch = rt.chan(0); daemon(ch.recv)",
    "recv_bounded": "ch = rt.chan(4); daemon(ch.recv)",
    "send_rendezvous": "ch = rt.chan(0); daemon(lambda: ch.send(values(1.0)))",
    "send_full": "ch = rt.chan(1); ch.send(values(1.0)); daemon(lambda: ch.send(values(2.0)))",
    "select": "a, b = rt.chan(1), rt.chan(0); daemon(lambda: ext.py_select(ext.RecvCase(a), ext.RecvCase(b)))",
    "result": "ch = rt.chan(0); h = rt.go(small_map(1.0), out=ch); daemon(h.result)",
    "computing": """
big = k.map(k.elementwise(k.sin(x) * k.cos(x) + k.sqrt(x)), x=rt.asarray(np.linspace(0, 1, 2_000_000)))
def compute():
    while True:
        rt.go(big)
for _ in range(2):
    daemon(compute)
""",
    # The package's entry points hold Python objects across their release.
    "package_computing": """
import brindlemox
big = np.linspace(0, 1, 2_000_000)
def compute():
    while True:
        brindlemox.evaluate("sin(x) * cos(x) + sqrt(x)", {"x": big})
        brindlemox.sum(big)
for _ in range(2):
    daemon(compute)
""",
    # Calls that complete all the time, so that at the end some thread is
    # taking the interpreter lock back while the interpreter shuts down.
    "just_completed": """
ch = rt.chan(0)
def ping():
    while True:
        ch.send(values(1.0))
def pong():
    while True:
        ch.recv()
        ext.py_select(ext.RecvCase(q), default=True)
q = rt.chan(8)
def go_loop():
    while True:
        rt.go(small_map(2.0)).result()
for target in (ping, pong, go_loop, go_loop):
    daemon(target)
""",
}


@pytest.mark.parametrize("case", sorted(EXIT_CASES))
def test_process_exits_cleanly_while_a_daemon_thread_is_in_the_engine(case):
    result = run_python(PRELUDE + EXIT_CASES[case] + "\ntime.sleep(0.3)\n", timeout=60)
    assert (result.returncode, result.stderr) == (0, "")


@pytest.mark.parametrize("blocked_for", [0.06, 0.21])
def test_non_waiting_select_sees_a_blocked_rendezvous_sender(rt, blocked_for):
    channel = rt.chan(0)
    started = threading.Event()

    def send():
        started.set()
        channel.send(rt.asarray(np.full(1, 5.0)))

    sender = threading.Thread(target=send, daemon=True)
    sender.start()
    assert started.wait(10)
    time.sleep(blocked_for)
    # Only a sender that has not reached its wait yet may be missed.
    deadline = time.monotonic() + 10
    index, got = ext.py_select(ext.RecvCase(channel), default=True)
    while index != 0 and time.monotonic() < deadline:
        time.sleep(0.001)
        index, got = ext.py_select(ext.RecvCase(channel), default=True)
    assert index == 0 and got.scalar() == 5.0
    sender.join(10)
    assert not sender.is_alive()


def test_close_refuses_a_blocked_rendezvous_sender_under_lock_contention(rt):
    stop = threading.Event()

    def keep_the_lock_busy():
        while not stop.is_set():
            pass

    spinner = threading.Thread(target=keep_the_lock_busy, daemon=True)
    spinner.start()
    try:
        for trial in range(5):
            channel = rt.chan(0)
            started = threading.Event()
            outcome = []

            def send(value=float(trial)):
                started.set()
                try:
                    channel.send(rt.asarray(np.full(1, value)))
                    outcome.append("sent")
                except RuntimeError as error:
                    outcome.append(str(error))

            sender = threading.Thread(target=send, daemon=True)
            sender.start()
            assert started.wait(10)
            time.sleep(0.1)  # the sender is waiting by now
            channel.close()
            sender.join(10)
            assert not sender.is_alive() and outcome == ["ChannelClosed"]
            with pytest.raises(RuntimeError) as info:
                channel.recv()
            assert str(info.value) == "ChannelClosed"
    finally:
        stop.set()
        spinner.join(10)


def test_abandoned_channel_no_longer_stalls_deliveries():
    result = run_python(
        PRELUDE
        + """
def settle(handle):
    deadline = time.monotonic() + 30
    while not handle.is_done() and time.monotonic() < deadline:
        time.sleep(0.005)
    return repr(handle)

for capacity in (1, 0):
    ch = rt.chan(capacity)
    first = rt.go(small_map(1.0), out=ch) if capacity else None
    h = rt.go(small_map(2.0), out=ch)
    del ch
    other = rt.chan(1)
    h2 = rt.go(small_map(3.0), out=other)
    print(settle(h2), other.recv().scalar(), settle(h), first and settle(first))
    try:
        h.result()
    except RuntimeError as error:
        print(error)
""",
        timeout=60,
    )
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.splitlines() == [
        "TaskHandle(state=Completed) 4.0 TaskHandle(state=Failed(ChannelClosed)) TaskHandle(state=Completed)",
        "channel closed",
        "TaskHandle(state=Completed) 4.0 TaskHandle(state=Failed(ChannelClosed)) None",
        "channel closed",
    ]


def test_a_recv_case_keeps_the_channel_receivable(k, rt):
    x = k.arg("x")
    spec = k.map(k.elementwise(x + 1), x=rt.asarray(np.full(1, 6.0)))
    channel = rt.chan(0)
    case = ext.RecvCase(channel)
    handle = rt.go(spec, out=channel)
    del channel
    index, got = ext.py_select(case)
    assert (index, got.scalar()) == (0, 7.0)
    assert handle.result().scalar() == 7.0


# Ctrl-C on the main thread while it waits: the wait ends with
# KeyboardInterrupt, nothing was sent or taken, and the objects work on.
CTRL_C_CASES = {
    "recv": (
        "ch = rt.chan(1)",
        "ch.recv()",
        "ch.send(values(3.0)); print(ch.recv().scalar(), ext.py_select(ext.RecvCase(ch), default=True))",
    ),
    "send_rendezvous": (
        "ch = rt.chan(0)",
        "ch.send(values(1.0))",
        "print(ext.py_select(ext.RecvCase(ch), default=True)); daemon(lambda: ch.send(values(3.0)));"
        " print(ch.recv().scalar())",
    ),
    "send_full": (
        "ch = rt.chan(1); ch.send(values(3.0))",
        "ch.send(values(1.0))",
        "print(ch.recv().scalar(), ext.py_select(ext.RecvCase(ch), default=True))",
    ),
    "select": (
        "a, b = rt.chan(1), rt.chan(0)",
        "ext.py_select(ext.RecvCase(a), ext.RecvCase(b))",
        "a.send(values(3.0)); index, got = ext.py_select(ext.RecvCase(a), ext.RecvCase(b)); print(got.scalar(), index)",
    ),
    "result": (
        "ch = rt.chan(0); h = rt.go(small_map(2.0), out=ch)",
        "h.result()",
        "print(ch.recv().scalar(), h.result().scalar())",
    ),
}

CTRL_C_EXPECTED = {
    "recv": "3.0 (-1, None)",
    "send_rendezvous": "(-1, None)\n3.0",
    "send_full": "3.0 (-1, None)",
    "select": "3.0 0",
    "result": "3.0 3.0",
}


@pytest.mark.parametrize("case", sorted(CTRL_C_CASES))
def test_ctrl_c_on_the_main_thread_loses_nothing(case):
    setup, blocked, check = CTRL_C_CASES[case]
    result = run_python(
        PRELUDE
        + f"""
{setup}
armed, done = [False], threading.Event()
def on_sigint(signum, frame):
    if armed[0]:
        armed[0] = False
        raise KeyboardInterrupt
signal.signal(signal.SIGINT, on_sigint)
def poke():
    # Repeated, so that one landing just before the wait parks cannot be missed.
    while not done.wait(0.05):
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
daemon(poke)
try:
    armed[0] = True
    {blocked}
    print("not interrupted")
except KeyboardInterrupt:
    done.set()
{check}
""",
        timeout=60,
    )
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.strip() == CTRL_C_EXPECTED[case]
