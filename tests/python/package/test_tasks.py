# go and its Task: every form of work gives the synchronous call's bits, the
# Task behaves as a concurrent.futures.Future and as an awaitable, and
# cancelling waits never cancels work or loses it.
import asyncio
import concurrent.futures as cf
import gc
import sys
import time
import pickle
import threading

import numpy as np
import pytest

import brindlemox as bm
from brindlemox._engine import kernels
from conftest import bits

pytestmark = pytest.mark.numpy

RNG = np.random.default_rng(7)
X, Y = RNG.standard_normal((30, 40)), RNG.standard_normal(40)
X[::5, ::3] = np.nan
HYPOT = bm.kernel(lambda x, y: bm.sqrt(x * x + y * y) - x / y)
# A map long enough that work queued behind it is still waiting.
SLOW = bm.kernel(lambda v: bm.sin(v) * bm.exp(-v)).map(v=bm.asarray(np.arange(3e6)))

FORMS = {
    "text": (
        lambda: bm.go("sqrt(x*x + y*y) - x/y", x=X, y=Y),
        lambda: bm.evaluate("sqrt(x*x + y*y) - x/y", {"x": X, "y": Y}),
    ),
    "text local_dict": (
        lambda: bm.go("sqrt(x*x + y*y) - x/y", local_dict={"x": X, "y": Y}),
        lambda: bm.evaluate("sqrt(x*x + y*y) - x/y", {"x": X, "y": Y}),
    ),
    "kernel call": (lambda: bm.go(HYPOT, X, y=Y), lambda: HYPOT(X, Y)),
    "map spec": (
        lambda: bm.go(HYPOT.map(x=bm.asarray(X), y=bm.asarray(np.tile(Y, 30)))),
        lambda: HYPOT(X, Y).reshape(-1),
    ),
    "reduce spec": (lambda: bm.go(kernels.sum(bm.asarray(X))), lambda: bm.sum(X)),
}


@pytest.mark.parametrize("form", sorted(FORMS))
def test_every_form_gives_the_synchronous_bits(form):
    submit, synchronous = FORMS[form]
    task = submit()
    result = task.result(timeout=60)
    assert bits(np.atleast_1d(result)) == bits(np.atleast_1d(synchronous()))
    assert isinstance(task, cf.Future) and task.done() and not task.cancelled() and task.exception() is None


def test_results_are_new_arrays_and_a_maps_a_read_only_view():
    for task in (bm.go("x * 2", x=np.ones((2, 5))), bm.go(HYPOT, np.ones(3), 1.0)):
        result = task.result(timeout=60)
        assert result.flags.writeable and result.flags.owndata and result.dtype == np.float64
    assert not bm.go(HYPOT.map(x=1.0, y=bm.asarray([2.0]))).result(timeout=60).flags.writeable
    assert bm.go("x + y", x=np.ones((0, 3)), y=1.0).result(timeout=60).shape == (0, 3)
    channel = bm.chan(2)
    assert bm.go(HYPOT, np.ones((0, 2)), 1.0, out=channel).result(timeout=60).shape == (0, 2)
    assert bm.go(HYPOT, [[3.0]], [4.0], out=channel).result(timeout=60).tolist() == [[4.25]]
    assert [channel.recv(timeout=60).tolist() for _ in range(2)] == [[], [4.25]]


def test_inputs_stay_alive_until_the_work_ends():
    task = bm.go("exp(-x) * sin(x)", x=np.arange(3e6))  # the only reference to the input
    gc.collect()
    assert bits(task.result(timeout=60)) == bits(bm.evaluate("exp(-x) * sin(x)", {"x": np.arange(3e6)}))


@pytest.mark.parametrize(
    "submit, kind, message",
    [
        (lambda: bm.go(bm.kernel(lambda a: a).map(b=1.0)), ValueError, "missing arg: a"),
        (lambda: bm.go("x + y", x=np.ones(3), y=np.ones(4)), ValueError, None),
        (lambda: bm.go(HYPOT, X), TypeError, "kernel missing 1 required argument: 'y'"),
        (lambda: bm.go("x + y", x=X), NameError, "name 'y' is not defined"),
        (lambda: bm.go("x + y", x=np.ones(3, np.int32)), NameError, "name 'y' is not defined"),
        (lambda: bm.go("sum(x)", x=X), TypeError, None),
        (lambda: bm.go(42), TypeError, "go() expects a MapSpec, ReduceSpec, Kernel or expression text, not int"),
    ],
)
def test_errors_are_the_synchronous_ones(submit, kind, message):
    with pytest.raises(kind) as raised:
        submit().result(timeout=60)
    if message is not None:
        assert str(raised.value) == message


def test_cancel_succeeds_only_before_the_work_starts():
    tasks = [bm.go(SLOW) for _ in range(4)]
    cancelled = [task.cancel() for task in tasks[1:]]
    tasks[0].result(timeout=60)
    assert tasks[0].cancel() is False and not tasks[0].cancelled()
    assert repr(tasks[0]) == "<Task finished>"
    for task, withdrawn in zip(tasks[1:], cancelled):
        assert task.cancelled() == withdrawn and task.done()
        assert repr(task) == ("<Task cancelled>" if withdrawn else "<Task finished>")
        assert task.cancel() is withdrawn  # a second cancel answers the same
    assert any(cancelled)  # the first task was still running when they were cancelled
    done, not_done = cf.wait(tasks, timeout=60)
    assert len(done) == 4 and not not_done
    assert len(list(cf.as_completed(tasks, timeout=60))) == 4


def test_callbacks_run_once_each_even_when_added_late():
    calls = []
    task = bm.go(SLOW)
    for index in range(3):
        task.add_done_callback(lambda t, index=index: calls.append(index))
    task.result(timeout=60)
    task.add_done_callback(lambda t: calls.append("late"))
    assert sorted(calls, key=str) == [0, 1, 2, "late"]


def test_results_from_many_threads_are_the_same_array():
    task = bm.go(SLOW)
    seen = []
    threads = [threading.Thread(target=lambda: seen.append(task.result(timeout=60))) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert len(seen) == 8 and all(result is seen[0] for result in seen)


def test_cancel_racing_completion_settles_exactly_once():
    outcomes = []
    for _ in range(200):
        task = bm.go("x + 1", x=np.ones(10))
        calls = []
        task.add_done_callback(calls.append)
        cancelled = task.cancel()
        cf.wait([task], timeout=60)
        outcomes.append(cancelled)
        assert len(calls) == 1 and task.cancelled() == cancelled
        if not cancelled:
            assert task.result().tolist() == [2.0] * 10


def test_await_and_wrap_future_and_awaiting_cancellation_leaves_the_work():
    async def main():
        assert (await bm.go("x * 3", x=[1.0])).tolist() == [3.0]
        assert (await asyncio.wrap_future(bm.go("x * 4", x=[1.0]))).tolist() == [4.0]
        task = bm.go(SLOW)
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(asyncio.ensure_future(_await(task)), 0.0)
        # Another waiter still gets the work's result.
        return await task, task

    async def _await(task):
        return await task

    result, task = asyncio.run(main())
    assert not task.cancelled() and result.shape == (3_000_000,)


def test_tasks_refuse_pickling():
    task = bm.go("x", x=[1.0])
    with pytest.raises(TypeError, match="a task belongs to the process that ran it"):
        pickle.dumps(task)
    task.result(timeout=60)


def test_settled_and_withdrawn_work_lets_go_of_its_arrays():
    x = np.arange(3e5)
    before = sys.getrefcount(x)
    tasks = [bm.go("x * 2", x=x) for _ in range(20)]
    withdrawn = [task.cancel() for task in tasks]
    cf.wait(tasks, timeout=60)
    for task in tasks:
        assert task.cancelled() or task.result().tolist()[:2] == [0.0, 2.0]
    # The settler drops each task's views as it settles it; withdrawn tasks drop theirs at once.
    deadline = time.monotonic() + 60
    while sys.getrefcount(x) != before and time.monotonic() < deadline:
        time.sleep(0.01)
    assert sys.getrefcount(x) == before, withdrawn


@pytest.mark.parametrize(
    "text", ["(flags & 4) != 0", "flags // 7 - n", "f * 2.5 + f", "z * z", "where(f > 0.5, flags, 0)"]
)
def test_a_text_of_other_types_runs_typed_with_the_synchronous_dtype_and_bits(text):
    names = {
        "flags": np.arange(5000) - 2500,
        "n": 3,
        "f": np.linspace(0, 1, 5000, dtype=np.float32),
        "z": np.linspace(0, 1, 5000) + 1j,
    }
    expected = bm.evaluate(text, names)
    got = bm.go(text, **names).result(timeout=60)
    assert got.dtype == expected.dtype and got.tobytes() == expected.tobytes()


def test_a_typed_texts_errors_come_from_the_task_or_at_once():
    with pytest.raises(ValueError, match="Integers to negative integer powers are not allowed."):
        bm.go("i ** j", i=np.arange(5), j=np.array([1, 2, -1, 0, 1])).result(timeout=60)
    with pytest.raises(TypeError, match="only float64 results into a channel"):
        bm.go("i > 2", i=np.arange(5), out=bm.chan(1))
