# Waiting at scale and at the edges, each in its own interpreter: many
# coroutines on few threads, a loop that keeps turning, Ctrl-C, exit and fork
# with work pending.
import os

import pytest

from conftest import child_exit_code, run_python

pytestmark = pytest.mark.numpy

PRELUDE = """
import asyncio, os, signal, sys, threading
import numpy as np
import brindlemox as bm
def threads():
    return len(os.listdir("/proc/self/task"))
"""


def test_ten_thousand_coroutines_share_a_constant_number_of_threads():
    result = run_python(
        PRELUDE
        + """
async def main():
    bm.go("x", x=[1.0]).result()  # the engine's threads are started
    await bm.chan(1).send_async([0.0])
    before = threads()
    channels = [bm.chan(1) for _ in range(50)]
    tasks = [bm.go("x + 1", x=np.full(100, float(i))) for i in range(5000)]
    async def take(task):
        return (await task)[0]
    receives = [asyncio.ensure_future(channels[i % 50].recv_async()) for i in range(5000)]
    awaited = [asyncio.ensure_future(take(task)) for task in tasks]
    await asyncio.sleep(0.05)
    waiting = threads()
    for i in range(5000):
        await channels[i % 50].send_async([float(i)])
    got = sorted(values[0] for values in await asyncio.gather(*receives))
    values = sorted(await asyncio.gather(*awaited))
    print(waiting - before <= 4, got == [float(i) for i in range(5000)], values == [i + 1.0 for i in range(5000)])
asyncio.run(main())
""",
        timeout=120,
    )
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.split() == ["True", "True", "True"]


def test_the_loop_turns_while_work_and_receives_are_pending():
    result = run_python(
        PRELUDE
        + """
async def main():
    ticks = 0
    channel = bm.chan(0)
    async def ticker():
        nonlocal ticks
        while True:
            ticks += 1
            if ticks == 100:  # only a turning loop gets here, and only then is there a sender
                threading.Thread(target=channel.send, args=([1.0],)).start()
            await asyncio.sleep(0)
    ticking = asyncio.ensure_future(ticker())
    task = bm.go("exp(-x) * sin(x)", x=np.arange(2e7))
    await asyncio.sleep(0)
    before = ticks
    await task
    received = await asyncio.wait_for(channel.recv_async(), 60)
    ticking.cancel()
    print(ticks > before, received.tolist())
asyncio.run(main())
""",
        timeout=120,
    )
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.split() == ["True", "[1.0]"]


@pytest.mark.parametrize(
    "setup, blocked, check, expected",
    [
        (
            "task = bm.go('exp(-x) * sin(x)', x=np.arange(2e7)); bm.go('x', x=[1.0]).result()",
            "[bm.go('exp(-x) * sin(x)', x=np.arange(2e7)).result() for _ in range(1000)]",
            "print(task.result(timeout=120).shape)",
            "(20000000,)",
        ),
        ("ch = bm.chan(1)", "ch.recv()", "ch.send([3.0]); print(ch.recv(timeout=60).tolist())", "[3.0]"),
        ("ch = bm.chan(0)", "ch.send([3.0], timeout=600)", "print(ch.try_recv())", "None"),
        ("ch = bm.chan(1)", "bm.select(ch, timeout=600)", "ch.send([4.0]); print(bm.select(ch)[1].tolist())", "[4.0]"),
    ],
    ids=["result", "recv", "send", "select"],
)
def test_ctrl_c_on_the_main_thread_interrupts_and_loses_nothing(setup, blocked, check, expected):
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
    while not done.wait(0.05):
        signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
threading.Thread(target=poke, daemon=True).start()
try:
    armed[0] = True
    {blocked}
    print("not interrupted")
except KeyboardInterrupt:
    done.set()
{check}
""",
        timeout=120,
    )
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.strip() == expected


def test_exit_with_work_and_waits_pending_is_quiet():
    result = run_python(
        PRELUDE
        + """
tasks = [bm.go("exp(-x) * sin(x)", x=np.arange(2e7)) for _ in range(4)]
channel = bm.chan(0)
async def main():
    waiting = asyncio.ensure_future(channel.recv_async())
    await asyncio.sleep(0.01)
    threading.Thread(target=lambda: tasks[0].result(), daemon=True).start()
asyncio.run(main())
print("leaving")
""",
        timeout=120,
    )
    assert (result.returncode, result.stdout, result.stderr) == (0, "leaving\n", "")


def test_a_forked_child_fails_inherited_work_and_runs_its_own():
    import numpy as np

    import brindlemox as bm

    pending = bm.go("exp(-x) * sin(x)", x=np.arange(2e7))
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child reports through its exit code
        code = 1
        try:
            try:
                pending.result(timeout=60)
            except RuntimeError as error:
                if "parent process" in str(error) and bm.go("x * 2", x=[2.0]).result(timeout=60).tolist() == [4.0]:
                    code = 0
        finally:
            os._exit(code)
    assert child_exit_code(pid) == 0
    assert pending.result(timeout=120).shape == (20_000_000,)
