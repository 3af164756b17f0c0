"""go(): elementwise maps and reductions, compared bitwise with a reference
built from the platform's libm (the same functions the engine calls)."""

import ctypes
import math
import os
import struct

import numpy as np
import pytest

import _brindlemox as ext
from conftest import child_exit_code, run_python

pytestmark = [pytest.mark.numpy, pytest.mark.timeout(120)]

libm = ctypes.CDLL("libm.so.6")
for _name in ["log", "log2", "log10", "exp", "floor", "ceil", "round", "sin", "cos", "tan", "sqrt"]:
    getattr(libm, _name).restype = ctypes.c_double
    getattr(libm, _name).argtypes = [ctypes.c_double]
for _name in ["pow", "atan2"]:
    getattr(libm, _name).restype = ctypes.c_double
    getattr(libm, _name).argtypes = [ctypes.c_double, ctypes.c_double]


def from_bits(pattern):
    return struct.unpack("<d", struct.pack("<Q", pattern))[0]


SPECIAL = [0.0, -0.0, 1.0, -1.0, 0.5, -0.5, 2.5, -2.5, 3.0, math.inf, -math.inf, math.nan, -math.nan,
           from_bits(0x7FF8000000000ABC), from_bits(0xFFF4000000000001), 5e-324, -1e-310, 1e308, -1e308,
           math.pi, 1e16, 0.1]  # fmt: skip


def data(n, seed):
    rng = np.random.default_rng(seed)
    values = rng.standard_normal(n) * 10.0 ** rng.integers(-3, 4, n)
    positions = rng.integers(0, n, max(1, n // 4))
    values[positions] = rng.choice(np.array(SPECIAL), positions.size)
    return values


def vmin(l, r):
    if math.isnan(l):
        return r
    return r if r < l else l


def vmax(l, r):
    if math.isnan(l):
        return r
    return r if r > l else l


def neg(v):
    return from_bits(struct.unpack("<Q", struct.pack("<d", v))[0] ^ (1 << 63))


def fabs(v):
    return from_bits(struct.unpack("<Q", struct.pack("<d", v))[0] & ~(1 << 63))


UNARY = {
    "sqrt": libm.sqrt, "abs": fabs, "log": libm.log, "exp": libm.exp, "log2": libm.log2, "log10": libm.log10,
    "floor": libm.floor, "ceil": libm.ceil, "round": libm.round, "sin": libm.sin, "cos": libm.cos, "tan": libm.tan,
}  # fmt: skip
BINARY = {
    "pow": libm.pow, "atan2": libm.atan2, "min": vmin, "max": vmax,
}


def apply_operator(symbol, l, r):
    return {
        "+": l + r, "-": l - r, "*": l * r, "/": l / r,
        "<": l < r, "<=": l <= r, ">": l > r, ">=": l >= r, "==": l == r, "!=": l != r,
    }[symbol]  # fmt: skip


def assert_bitwise(got, expected):
    got = np.asarray(got, dtype=np.float64)
    expected = np.asarray(expected, dtype=np.float64)
    assert got.shape == expected.shape
    mismatch = np.nonzero(got.view(np.uint64) != expected.view(np.uint64))[0]
    assert mismatch.size == 0, f"first mismatch at {mismatch[0]}: {got[mismatch[0]]!r} vs {expected[mismatch[0]]!r}"


def run(k, rt, expr, **bindings):
    converted = {name: rt.asarray(v) if isinstance(v, np.ndarray) else v for name, v in bindings.items()}
    return rt.go(k.map(k.elementwise(expr), **converted)).result().numpy()


@pytest.mark.parametrize("n", [1, 100, 4095, 4096, 4097])
@pytest.mark.parametrize("name", sorted(UNARY))
def test_unary_functions_match_libm(k, rt, name, n):
    x = k.arg("x")
    xs = data(n, seed=n)
    expected = [UNARY[name](v) for v in xs]
    assert_bitwise(run(k, rt, getattr(k, name)(x), x=xs), expected)


@pytest.mark.parametrize("n", [100, 4096])
@pytest.mark.parametrize("name", sorted(BINARY))
def test_binary_functions(k, rt, name, n):
    x, y = k.args("x", "y")
    xs, ys = data(n, 1), data(n, 2)
    expected = [BINARY[name](l, r) for l, r in zip(xs, ys)]
    assert_bitwise(run(k, rt, getattr(k, name)(x, y), x=xs, y=ys), expected)


@pytest.mark.parametrize("symbol", ["+", "-", "*", "/", "<", "<=", ">", ">=", "==", "!="])
@pytest.mark.parametrize("n", [100, 4097])
def test_operators_match_ieee(k, rt, symbol, n):
    x, y = k.args("x", "y")
    xs, ys = data(n, 3), data(n, 4)
    with np.errstate(all="ignore"):
        expected = apply_operator(symbol, xs, ys).astype(np.float64)
        if symbol in "+*":
            # Of two NaN operands the left one comes out (quietened); NumPy's
            # own loops may pick either.
            both = np.isnan(xs) & np.isnan(ys)
            expected[both] = xs[both] + xs[both]
    assert_bitwise(run(k, rt, apply_operator(symbol, x, y), x=xs, y=ys), expected)


def test_negation_flips_the_sign_bit_of_everything(k, rt):
    x = k.arg("x")
    xs = np.array(SPECIAL)
    assert_bitwise(run(k, rt, -x, x=xs), [neg(v) for v in xs])
    assert_bitwise(run(k, rt, abs(x), x=xs), [fabs(v) for v in xs])


def test_documented_operator_corners(k, rt):
    x, y = k.args("x", "y")
    nan = math.nan
    assert run(k, rt, k.min(x, y), x=np.array([nan, 3.0]), y=np.array([3.0, nan])).tolist() == [3.0, 3.0]
    got = run(k, rt, k.max(x, y), x=np.array([-0.0]), y=np.array([0.0]))
    assert math.copysign(1, got[0]) == -1
    assert run(k, rt, k.atan2(x, y), x=np.array([1.0]), y=np.array([0.0]))[0] == math.pi / 2
    assert run(k, rt, k.round(x), x=np.array([-0.5, 0.5, 2.5, -2.5])).tolist() == [-1.0, 1.0, 3.0, -3.0]
    assert run(k, rt, x != y, x=np.array([nan]), y=np.array([nan])).tolist() == [1.0]
    assert run(k, rt, x == y, x=np.array([nan, -0.0]), y=np.array([nan, 0.0])).tolist() == [0.0, 1.0]


@pytest.mark.parametrize("n", [7, 4095, 4096, 4097, 50_000])
def test_select_is_lazy_and_exact(k, rt, n):
    x = k.arg("x")
    xs = data(n, 5)
    # The then-branch divides by x; the else-branch takes a log: each element
    # sees only the branch it chose, which shows in NaN/inf patterns.
    expr = k.where_(x, 1 / x, k.log(abs(x) + 1))
    expected = [1 / v if v != 0 else libm.log(fabs(v) + 1) for v in xs]
    with np.errstate(all="ignore"):
        assert_bitwise(run(k, rt, expr, x=xs), expected)


def test_select_condition_rules(k, rt):
    x = k.arg("x")
    got = run(k, rt, k.where_(x, 1.0, 2.0), x=np.array([math.nan, -0.0, 0.0, 5.0]))
    assert got.tolist() == [1.0, 2.0, 2.0, 1.0]


def test_scalars_broadcast(k, rt):
    x, y, z = k.args("x", "y", "z")
    xs = data(5000, 6)
    assert_bitwise(run(k, rt, x * y + z, x=xs, y=2, z=-0.5), xs * 2.0 + -0.5)


def test_results_are_schedule_independent(k, rt):
    x, y = k.args("x", "y")
    expr = k.sin(x) * k.exp(-y) + x / (y + 1.5)
    xs, ys = data(200_000, 7), data(200_000, 8)
    whole = run(k, rt, expr, x=xs, y=ys)
    for cut in [4095, 4096, 10_000]:
        assert_bitwise(run(k, rt, expr, x=xs[:cut].copy(), y=ys[:cut].copy()), whole[:cut])


def test_empty_buffers(k, rt):
    x, y = k.args("x", "y")
    result = rt.go(k.map(k.elementwise(x + y), x=rt.asarray(np.zeros(0)), y=1.0)).result()
    assert repr(result) == "Buffer(dtype=float64, shape=[0], len=0)"


def error_of(handle):
    with pytest.raises(Exception) as info:
        handle.result()
    return type(info.value), str(info.value)


def test_execution_errors_come_from_result(k, rt):
    y = k.arg("y")
    x = k.arg("x")
    spec = k.elementwise(x + y)  # y has slot 0, x slot 1
    three, four = rt.asarray(np.zeros(3)), rt.asarray(np.zeros(4))
    cases = [
        (k.map(spec, x=three), (ValueError, "missing arg: y")),
        (k.map(spec), (ValueError, "missing args: x, y")),
        (k.map(spec, x=three, y=1, zeta=1, alpha=2), (ValueError, "unexpected args: alpha, zeta")),
        (k.map(spec, x=three, zeta=1), (ValueError, "missing arg: y")),
        (k.map(spec, x=1, y=2), (ValueError, "no buffer arguments provided")),
        (k.map(spec, y=three, x=four), (ValueError, "buffer length mismatch: 3 vs 4")),
        (k.map(spec, y=four, x=three), (ValueError, "buffer length mismatch: 4 vs 3")),
        (k.sum(rt.asarray(np.zeros(0))), (ValueError, "cannot Sum empty buffer")),
        (k.mean(rt.asarray(np.zeros(0))), (ValueError, "cannot Mean empty buffer")),
        (k.min_reduce(rt.asarray(np.zeros(0))), (ValueError, "cannot Min empty buffer")),
        (k.max_reduce(rt.asarray(np.zeros(0))), (ValueError, "cannot Max empty buffer")),
    ]
    for spec_value, expected in cases:
        handle = rt.go(spec_value)
        assert handle.is_done()
        assert error_of(handle) == expected
        assert error_of(handle) == expected  # the error is kept


def test_failed_task_repr(k, rt):
    x, y = k.args("x", "y")
    handle = rt.go(k.map(k.elementwise(x + y), x=rt.asarray(np.zeros(2))))
    assert repr(handle) == 'TaskHandle(state=Failed(ArgError("missing arg: y")))'


def test_go_argument_errors(k, rt):
    spec = k.map(k.elementwise(k.arg("x")), x=rt.asarray(np.zeros(1)))
    with pytest.raises(TypeError) as info:
        rt.go(3)
    assert str(info.value) == "go() expects a MapSpec or ReduceSpec"
    with pytest.raises(TypeError) as info:
        rt.go(spec, out=5)
    assert str(info.value) == "argument 'out': 'int' object cannot be converted to 'Channel'"
    with pytest.raises(TypeError) as info:
        rt.go(3, out=5)
    assert str(info.value).startswith("argument 'out': ")
    handle = rt.go(spec, out=None)
    assert handle.is_done() and repr(handle) == "TaskHandle(state=Completed)"


def test_go_async_refuses_its_spec_and_out_as_go_does(k, rt):
    spec = k.map(k.elementwise(k.arg("x")), x=rt.asarray(np.zeros(1)))
    with pytest.raises(TypeError) as info:
        ext._go_async(3, None)
    assert str(info.value) == "_go_async() expects a MapSpec or ReduceSpec"
    with pytest.raises(TypeError) as info:
        ext._go_async(3, None, 5)
    assert str(info.value) == "argument 'out': 'int' object cannot be converted to 'Channel'"
    with pytest.raises(TypeError) as info:
        ext._go_async(spec, None, 5)
    assert str(info.value) == "argument 'out': 'int' object cannot be converted to 'Channel'"


@pytest.mark.parametrize(
    "factory, values, expected",
    [
        ("sum", [1e16, 1.0, -1e16], 0.0),
        ("sum", [-0.0, -0.0], -0.0),
        ("mean", [1.0, 2.0, 3.0, 4.0], 2.5),
        ("min_reduce", [3.0, math.nan, 1.0], math.nan),
        ("min_reduce", [2.0], 2.0),
        ("max_reduce", [-math.inf], -math.inf),
        ("min_reduce", [0.0, -0.0], 0.0),
        ("min_reduce", [-0.0, 0.0], -0.0),
        ("max_reduce", [1.0, math.nan, 5.0], math.nan),
    ],
)
def test_reductions(k, rt, factory, values, expected):
    got = rt.go(getattr(k, factory)(rt.asarray(np.array(values)))).result()
    assert repr(got) == "Buffer(dtype=float64, shape=[1], len=1)"
    assert struct.pack("<d", got.scalar()) == struct.pack("<d", expected) or (
        math.isnan(expected) and math.isnan(got.scalar())
    )


def test_sum_is_strictly_left_to_right(k, rt):
    xs = data(100_000, 9)
    xs = xs[np.isfinite(xs)]
    total = -0.0
    for v in xs:
        total += v
    assert rt.go(k.sum(rt.asarray(xs))).result().scalar() == total
    assert rt.go(k.mean(rt.asarray(xs))).result().scalar() == total / xs.size


def test_results_share_storage_and_reductions_are_fresh(k, rt):
    x = k.arg("x")
    handle = rt.go(k.map(k.elementwise(x + 1), x=rt.asarray(np.zeros(3))))
    first, second = handle.result(), handle.result()
    assert first is not second and first.numpy().tolist() == second.numpy().tolist() == [1.0, 1.0, 1.0]
    reduced = rt.go(k.sum(rt.asarray(np.ones(3))))
    assert reduced.result() is not reduced.result()
    assert reduced.result().scalar() == 3.0


def test_cancel_of_finished_tasks(k, rt):
    handle = rt.go(k.sum(rt.asarray(np.ones(3))))
    assert handle.cancel() is False
    assert repr(handle) == "TaskHandle(state=Completed)"


def test_deep_chain_evaluates():
    # Built, compiled and evaluated on a thread with 256 KiB of stack, which
    # recursion over the 100,000 levels would overflow; a few elements
    # suffice (deep kernels on the pool are the engine tests' job), so the
    # cost does not grow with the machine's load or a sanitizer's slowdown.
    result = run_python(
        """
        import threading
        import numpy as np, _brindlemox as ext
        def work():
            k, rt = ext._KernelModule(), ext._RuntimeModule()
            x = k.arg("x")
            e = x
            for _ in range(100_000):
                e = -e
            flat = rt.go(k.map(k.elementwise(e + 1), x=rt.asarray(np.arange(8.0)))).result().numpy()
            lazy = rt.go(k.map(k.elementwise(k.where_(x > 1, e, 0)), x=rt.asarray(np.arange(8.0)))).result().numpy()
            print(flat[3], lazy[3], lazy[1])
        threading.stack_size(256 * 1024)
        thread = threading.Thread(target=work)
        thread.start()
        thread.join()
        """,
        timeout=300,
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split() == ["4.0", "3.0", "0.0"]


@pytest.mark.parametrize("steps", [22, 60])
def test_squaring_chains_compile_and_evaluate_their_distinct_products(k, rt, steps):
    # e = e * e shares its operands: 2**(steps + 1) - 1 nodes expanded but
    # steps + 1 distinct ones, and only those are compiled and computed.
    x = k.arg("x")
    e = x
    for _ in range(steps):
        e = e * e
    with np.errstate(all="ignore"):
        values = np.concatenate([1.0 + data(4097, steps) * 1e-9, SPECIAL])
        expected = values.copy()
        for _ in range(steps):
            expected = expected * expected
    assert_bitwise(run(k, rt, e, x=values), expected)


def test_a_squaring_chain_compiles_in_memory_linear_in_its_distinct_nodes():
    # Expanding the 2**23 - 1 nodes of 22 squarings took over 300 MiB; the
    # 23 distinct nodes take next to nothing. In a fresh process, so that
    # the peak resident size measures this kernel alone.
    result = run_python(
        """
        import resource
        import numpy as np, _brindlemox as ext
        k, rt = ext._KernelModule(), ext._RuntimeModule()
        e = k.arg("x")
        for _ in range(22):
            e = e * e
        x = rt.asarray(np.full(8, 1.0000001))
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        value = rt.go(k.map(k.elementwise(e), x=x)).result().numpy()[0]
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before, value.hex())
        """
    )
    assert result.returncode == 0, result.stderr[-2000:]
    grown_kib, value = result.stdout.split()
    assert int(grown_kib) < 16 * 1024
    expected = np.float64(1.0000001)
    for _ in range(22):
        expected = expected * expected
    assert value == expected.hex()


def test_a_kept_value_outlives_its_last_repeat(k, rt):
    # x * y is kept for its repeat under the negation, but its first value is
    # the outer sum's operand until the end, while (x - y) takes a temporary.
    x, y = k.args("x", "y")
    # Finite values: where an infinity makes a NaN, NumPy's SIMD loops pick
    # which NaN operand propagates differently from one version to the next.
    vx, vy = np.linspace(-3.0, 3.0, 5000), np.cos(np.arange(5000.0))
    expected = vx * vy + (-(vx * vy) + (vx - vy) * (vx - vy))
    assert_bitwise(run(k, rt, x * y + (-(x * y) + (x - y) * (x - y)), x=vx, y=vy), expected)


def test_pool_works_in_a_forked_child(k, rt):
    x = k.arg("x")
    spec = k.elementwise(x * 2)
    big = rt.asarray(np.arange(100_000.0))
    rt.go(k.map(spec, x=big)).result()  # the parent's pool is running
    pid = os.fork()
    if pid == 0:
        try:
            value = rt.go(k.map(spec, x=big)).result().numpy()[-1]
            os._exit(0 if value == 199_998.0 else 1)
        except BaseException:
            os._exit(2)
    assert child_exit_code(pid) == 0
