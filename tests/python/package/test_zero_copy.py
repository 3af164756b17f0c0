# Float64 inputs are read in place and the engine writes the NumPy result
# directly: no copy in, no copy out; thread counts never change a bit.
import os
import threading

import numpy as np
import pytest

import brindlemox as bm
from conftest import bits, go_values, misaligned, peak_bytes, run_in_threads, run_python

pytestmark = pytest.mark.numpy

N = 1 << 20
SLACK = 64 * 1024  # bookkeeping; far below one array of N doubles (8 MiB)


@pytest.mark.parametrize("order", ["C", "F"])
def test_new_result_is_the_only_allocation(order):
    x = np.asarray(np.random.default_rng(0).standard_normal(N).reshape(1024, -1), order=order)
    y = np.asarray(np.random.default_rng(1).standard_normal(N).reshape(1024, -1), order=order)
    bm.evaluate("2*x + y", {"x": x, "y": y})
    peak, result = peak_bytes(lambda: bm.evaluate("2*x + y", {"x": x, "y": y}))
    assert N * 8 <= peak <= N * 8 + SLACK
    assert result.flags.owndata and (result.flags.f_contiguous if order == "F" else result.flags.c_contiguous)


def test_out_and_reductions_allocate_nothing_of_size():
    x, y, out = np.ones(N), np.ones(N), np.empty(N)
    bm.evaluate("2*x + y", {"x": x, "y": y}, out=out)
    peak, result = peak_bytes(lambda: bm.evaluate("2*x + y", {"x": x, "y": y}, out=out))
    assert peak <= SLACK and result is out and np.shares_memory(result, out)
    peak, _ = peak_bytes(lambda: bm.evaluate("x * 2", {"x": x}, out=x))
    assert peak <= SLACK
    for reduce in (bm.sum, bm.mean, bm.min, bm.max):
        peak, _ = peak_bytes(lambda: reduce(x))
        assert peak <= SLACK


def test_buffer_views_share_the_engines_result():
    x = np.arange(4096.0)
    buffer = bm.go(bm.kernel(lambda v: v * 2).map(v=bm.asarray(x))).result().base
    first, second = np.asarray(buffer), np.asarray(memoryview(buffer))
    assert np.shares_memory(first, second) and first.tolist() == (x * 2).tolist()


def test_thread_counts_give_identical_bits():
    rng = np.random.default_rng(2)
    x, y = rng.standard_normal(100_003), rng.standard_normal(100_003)
    x[::7] = np.nan
    build = lambda k, x, y: k.sin(x) * k.exp(-y) + k.where_(x > y, x, y)  # noqa: E731
    text = "sin(x) * exp(-y) + where(x > y, x, y)"
    expected = bits(go_values(build, x=x, y=y))
    everything = len(os.sched_getaffinity(0))
    previous = bm.set_num_threads(1)
    try:
        assert bm.get_num_threads() == 1
        assert bits(bm.evaluate(text, {"x": x, "y": y})) == expected
        assert bm.set_num_threads(everything) == 1
        assert bits(bm.evaluate(text, {"x": x, "y": y})) == expected
        assert bits(bm.sum(x[1::7])) == bits(bm.sum(x[1::7].copy()))
    finally:
        bm.set_num_threads(previous)


def test_default_thread_count_is_the_affinity_mask():
    result = run_python(
        """
        import os
        os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
        import brindlemox as bm
        print(bm.get_num_threads())
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "1\n"


@pytest.mark.parametrize(("value", "error", "message"), [
    (0, ValueError, "the number of threads must be at least 1, not 0"),
    (-3, ValueError, "the number of threads must be at least 1, not -3"),
    (1025, ValueError, "the number of threads must be at most 1024, not 1025"),
    (2**64, ValueError, "the number of threads must be at most 1024, not 18446744073709551616"),
    ("2", TypeError, "'str' object cannot be interpreted as an integer"),
])
def test_bad_thread_counts(value, error, message):
    with pytest.raises(error) as raised:
        bm.set_num_threads(value)
    assert str(raised.value) == message


def test_many_threads_evaluate_into_their_own_outputs():
    rng = np.random.default_rng(3)
    x, y = rng.standard_normal(50_000), rng.standard_normal(50_000)
    expected = bits(go_values(lambda k, x, y: 2 * x + y, x=x, y=y))
    failures = []

    def worker():
        out = np.empty_like(x)
        for _ in range(10):
            bm.evaluate("2*x + y", {"x": x, "y": y}, out=out)
            if bits(out) != expected:
                failures.append(1)

    run_in_threads(worker, 8)
    assert not failures


def test_thread_count_changes_during_evaluations_change_no_bit():
    rng = np.random.default_rng(4)
    x, y = rng.standard_normal(20_000), rng.standard_normal(20_000)
    x[::5] = -0.0
    expected = bits(go_values(lambda k, x, y: k.sin(x) * y + k.max(x, y), x=x, y=y))
    expected_sum, expected_max = bits(bm.sum(x)), bits(bm.max(y))
    kernel = bm.kernel(lambda x, y: bm.sin(x) * y + bm.maximum(x, y))
    failures, stop = [], threading.Event()

    def evaluate():
        for _ in range(15):
            if bits(bm.evaluate("sin(x) * y + maximum(x, y)", {"x": x, "y": y})) != expected:
                failures.append("evaluate")
            if bits(kernel(x, y)) != expected:
                failures.append("kernel")
            if bits(bm.sum(x)) != expected_sum or bits(bm.max(y)) != expected_max:
                failures.append("reduce")

    def change_thread_count():
        count = 0
        while not stop.is_set():
            bm.set_num_threads(1 + count % 3)
            count += 1

    previous = bm.get_num_threads()
    changer = threading.Thread(target=change_thread_count)
    changer.start()
    try:
        run_in_threads(evaluate, 4)
    finally:
        stop.set()
        changer.join(timeout=60)
        bm.set_num_threads(previous)
    assert not changer.is_alive() and not failures


class Sub(np.ndarray):
    pass


X, Y = np.arange(6.0), np.arange(6.0) + 0.5
C2, F2 = np.arange(6.0).reshape(2, 3), np.asfortranarray(np.arange(6.0).reshape(2, 3))
SHARED = np.arange(8.0)
FROZEN = np.zeros(6)
FROZEN.flags.writeable = False


@pytest.mark.parametrize(("operands", "out", "in_place"), [
    ((X, Y), None, True),
    ((X, 2.5), np.zeros(6), True),
    ((X, 2), None, True),
    ((X, np.float64(2.0)), None, True),
    ((F2, F2), np.zeros((2, 3), order="F"), True),
    ((C2, C2), np.zeros((2, 3), order="F"), False),
    ((X, X), X.copy(), True),
    ((2.0, 3), np.zeros(()), True),
    ((2.0, 3), None, False),
    ((X, 2**1100), None, False),
    ((X, True), None, False),
    ((X, np.int64(2)), None, False),
    ((X, Y.astype(np.float32)), None, False),
    ((X, Y.view(Sub)), None, False),
    ((X, misaligned(Y)), None, False),
    ((X, np.arange(12.0)[::2]), None, False),
    ((X, np.arange(7.0)), None, False),
    ((C2, F2), None, False),
    ((X, Y), FROZEN, False),
    ((X, Y), np.zeros(6, dtype=np.float32), False),
    ((X, Y), np.zeros(6).view(Sub), False),
    ((X, Y), np.zeros(12)[::2], False),
    ((SHARED[1:7], Y), SHARED[:6], False),
])
def test_in_place_evaluation_takes_exactly_the_operands_it_can_read_where_they_lie(operands, out, in_place):
    from _brindlemox import _compile, _evaluate_into

    compiled = _compile(bm.kernel(lambda a, b: a * 2 + b).spec)
    before = None if out is None else out.copy()
    result = _evaluate_into(compiled, operands, out)
    if not in_place:
        assert result is None
        assert before is None or bits(out) == bits(before)
        return
    assert result is out or out is None
    expected = np.asarray(operands[0], dtype=np.float64) * 2 + np.asarray(operands[1], dtype=np.float64)
    assert type(result) is np.ndarray and bits(result) == bits(expected)
