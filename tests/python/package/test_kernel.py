# Kernels from expressions and traced functions, the builders, and the
# asynchronous side reached without facades.
import numpy as np
import pytest

import _brindlemox
import brindlemox as bm
from conftest import bits, go_values, run_in_threads, run_python

pytestmark = pytest.mark.numpy


def test_package_surface():
    assert bm.__version__ == "1.0.0"
    assert bm.Buffer is _brindlemox.Buffer and bm.TaskHandle is _brindlemox.TaskHandle
    assert bm.select is not _brindlemox.py_select and bm.select.__module__ == "brindlemox._select"
    assert all(hasattr(bm, name) for name in bm.__all__)
    assert "_KernelModule" not in bm.__all__


def test_traced_function_names_and_results():
    @bm.kernel
    def hypot(x, y):
        return bm.sqrt(x * x + y * y)

    assert hypot.names == ("x", "y") and repr(hypot) == "Kernel(x, y)"
    assert isinstance(hypot.spec, bm.KernelSpec)
    x, y = np.array([3.0, 5.0, -0.0]), np.array([4.0, 12.0, np.nan])
    expected = bits(go_values(lambda k, x, y: k.sqrt(x * x + y * y), x=x, y=y))
    assert bits(hypot(x, y)) == expected
    assert bits(hypot(y=y, x=x)) == expected


def test_expr_kernel_takes_arguments_in_creation_order():
    y, x = bm.args("y", "x")
    assert bm.kernel(x - y).names == ("y", "x")
    assert bm.kernel(x - y)(1.0, 3.0).tolist() == 2.0


def test_unused_parameter_and_constant_result():
    ignore_second = bm.kernel(lambda a, b: a * 2)
    assert ignore_second.names == ("a", "b")
    assert ignore_second([1.0, 2.0], "not looked at").tolist() == [2.0, 4.0]
    constant = bm.kernel(lambda a: -0.0)
    assert bits(constant(np.array([np.nan, 1.0]))) == bits([-0.0, -0.0])


def test_kernel_map_goes_through_the_asynchronous_side():
    double = bm.kernel(lambda x, s: x * s)
    channel = bm.chan(1)
    handle = bm.go(double.map(x=bm.asarray([[1, 2], [3, 4]]), s=2), out=channel)
    index, received = bm.select(bm.RecvCase(channel))
    assert index == 0 and received.tolist() == [2.0, 4.0, 6.0, 8.0]
    assert handle.result().tolist() == [2.0, 4.0, 6.0, 8.0]


def test_asarray_takes_any_real_array_like():
    assert repr(bm.asarray(np.arange(6).reshape(2, 3))) == "Buffer(dtype=float64, shape=[6], len=6)"
    assert bm.asarray(np.array([[1.0, 2.0], [3.0, 4.0]], order="F")).numpy().tolist() == [1.0, 2.0, 3.0, 4.0]
    assert bm.asarray(2).numpy().tolist() == [2.0]
    with pytest.raises(TypeError):
        bm.asarray(["a"])


def test_builders_on_numbers_fold_with_the_engines_bits():
    assert type(bm.sqrt(2.0)) is float and bm.sqrt(2.0) == 2.0**0.5
    assert bits(bm.fmax(-0.0, 0.0)) == bits(-0.0) and bits(bm.maximum(-0.0, 0.0)) == bits(0.0)
    assert bits(bm.fmin(np.nan, 1.0)) == bits(1.0) and np.isnan(bm.minimum(np.nan, 1.0))
    assert bm.where(0.0, 1.0, 2.0) == 2.0 and bm.where(float("nan"), 1.0, 2.0) == 1.0
    assert bm.isnan(float("nan")) == 1.0 and bm.sign(-3) == -1.0
    assert bm.min(1.0, 2.0) == 1.0 and bm.max(1.0, 2.0) == 2.0
    x = bm.arg("x")
    assert repr(bm.where(1, x, 2.0)) == "Expr(x)"


def test_number_operands_of_two_argument_functions_keep_the_kernel_flat():
    x = bm.arg("x")
    values = np.array([np.nan, -0.0, 3.0, -np.inf])
    for mine, build in (
        (bm.fmax(x, 0.0), lambda k, x: k.max(x, x**0 * 0.0)),
        (bm.fmin(2.0, x), lambda k, x: k.min(x**0 * 2.0, x)),
        (bm.arctan2(x, -1.0), lambda k, x: k.atan2(x, x**0 * -1.0)),
    ):
        kernel = bm.kernel(mine)
        assert kernel.names == ("x",)
        assert bits(kernel(values)) == bits(go_values(build, x=values))


def test_min_and_max_reduce_with_one_argument_and_compare_with_two():
    x = bm.arg("x")
    assert bm.max(np.array([[1.0, 5.0], [2.0, -1.0]])) == 5.0
    assert isinstance(bm.max(x, 1.0), bm.Expr)
    assert bm.evaluate(bm.min(x, 1.0), {"x": [0.5, 3.0]}).tolist() == [0.5, 1.0]


def test_many_threads_evaluate_at_once():
    x, y = np.random.default_rng(0).standard_normal((2, 20000))
    expected = bits(go_values(lambda k, x, y: k.sqrt(x * x + y * y), x=x, y=y))
    failures = []

    def worker():
        for _ in range(10):
            if bits(bm.evaluate("sqrt(x*x + y*y)", {"x": x, "y": y})) != expected:
                failures.append(1)

    run_in_threads(worker, 8)
    assert not failures


def test_kernel_map_copies_arrays_into_buffers():
    double = bm.kernel(lambda x, s: x * s)
    spec = double.map(x=np.array([[1.0, 2.0], [3.0, 4.0]]), s=np.float64(0.5))
    assert bm.go(spec).result().tolist() == [0.5, 1.0, 1.5, 2.0]
    with pytest.raises(TypeError) as raised:
        double.map(x=["text"], s=1)
    assert str(raised.value) == "argument 'x' has unsupported dtype <U4; expected bool, integer or float data"
    with pytest.raises(TypeError) as raised:
        double.map(x="text", s=1)
    assert str(raised.value) == "argument 'x' must be Buffer or numeric"


def test_kernel_map_takes_every_parameter_a_call_takes():
    ignore_second = bm.kernel(lambda a, b: a * 2)
    values = np.array([1.0, -0.0, np.nan])
    expected = bits(ignore_second(values, values))
    assert bits(bm.go(ignore_second.map(a=values, b=values)).result()) == expected
    assert bits(bm.go(ignore_second.map(a=values, b="not looked at")).result()) == expected
    # A name that is no parameter is still the engine's error.
    with pytest.raises(ValueError) as raised:
        bm.go(ignore_second.map(a=values, z=1.0)).result()
    assert str(raised.value) == "unexpected args: z"


def test_select_refuses_to_wait_on_no_case():
    with pytest.raises(ValueError) as raised:
        bm.select()
    assert str(raised.value) == "select() needs at least one case to wait on"
    assert bm.select(default=True) == (-1, None)
    with pytest.raises(TypeError, match="'default'"):
        bm.select(default=1)
    assert bm.select(bm.chan(1), default=True) == (-1, None)


def test_a_refusal_after_arranging_raises_instead_of_returning_unwritten_memory(monkeypatch):
    from brindlemox import _kernel

    monkeypatch.setattr(_kernel, "_evaluate_into", lambda kernel, operands, out: None)
    with pytest.raises(RuntimeError) as raised:
        _kernel.float64_kernel(bm.arg("x") + 1)(np.arange(6.0)[::2])
    assert str(raised.value) == "internal error: the engine refused the operands the package arranged for it"


def test_typed_kernels_compute_alike_by_call_go_pickle_and_dask():
    import pickle

    flags = bm.kernel(lambda a, b: bm.bitwise_and(a, 4) != b)
    a = np.array([6, 1, 4, 0, 7])
    want = flags(a, 0)
    assert want.dtype == np.bool_ and want.tolist() == [True, False, True, False, True]
    for result in (bm.go(flags, a, 0).result(), pickle.loads(pickle.dumps(flags))(a, 0)):
        assert result.dtype == want.dtype and result.tolist() == want.tolist()
    da = pytest.importorskip("dask.array")
    lazy = flags(da.from_array(a, chunks=2), 0)
    assert lazy.dtype == want.dtype and lazy.compute().tolist() == want.tolist()


def test_a_map_computes_only_what_a_call_computes_in_float64():
    scale = bm.kernel(lambda a: a * 2)
    assert bm.go(scale.map(a=np.ones(2))).result().tolist() == [2.0, 2.0]
    compare = bm.kernel(lambda a: a > 0)
    message = (
        "a MapSpec computes in float64, and a call of this kernel over these values computes in other types "
        "(its result is {}): call the kernel, or go() with the kernel and its values"
    )
    for kernel, value, dtype in [(scale, np.ones(2, np.int32), "int32"), (compare, np.ones(2), "bool")]:
        with pytest.raises(TypeError) as raised:
            kernel.map(a=value)
        assert str(raised.value) == message.format(dtype)
    with pytest.raises(TypeError) as raised:
        bm.go(compare, np.ones(2), out=bm.Channel(1))
    assert str(raised.value) == "go() sends only float64 results into a channel; this kernel's is bool"


# A thread with 256 KiB of stack: a walk that recursed once per node of the
# 90,000-node chain would crash the child, at any depth the engine and the
# package build, type, check or free it. The guard is against a hang, not a
# speed: under a sanitizer on a busy machine this takes tens of seconds.
@pytest.mark.timeout(900)
def test_kernels_of_any_depth_are_built_without_deep_recursion():
    result = run_python(
        """
        import threading
        import numpy as np
        import brindlemox as bm
        def chain(x):
            for _ in range(30_000):
                x = -(x * 2) + 1
            return x
        def work():
            kernel = bm.kernel(chain)
            print(kernel(np.zeros(1)).dtype)
            try:
                kernel(np.zeros(1, np.int64))
            except TypeError as error:
                print(str(error).split(":")[0])
            del kernel
        threading.stack_size(256 * 1024)
        thread = threading.Thread(target=work)
        thread.start()
        thread.join()
        """,
        timeout=840,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["float64", "argument 'x' has dtype int64, and this kernel computes float64 data only"]


@pytest.mark.parametrize(
    "build",
    [lambda m, x, y: m.where(x > y, x - y, y * 0.5), lambda m, x, y: m.where(m.bitwise_or(m.bitwise_and(x > y, y >= 0), x != x), x, -y),
     lambda m, x, y: (x <= y) * x + 1.5, lambda m, x, y: m.where(m.bitwise_xor(m.invert(x == y), y < 1), x / y, 0.5),
     lambda m, x, y: m.where(x, y, 2.0), lambda m, x, y: m.where(x < 0, x > y, y > 0) * y],
)  # fmt: skip
def test_a_float64_kernel_that_compares_maps_with_numpys_bits(build):
    # A comparison's bool is 1.0 or 0.0 in the float64 kernels, which read it
    # back as NumPy reads a bool: as a where() condition, in bitwise_and, _or,
    # _xor and invert, and as a float64 operand.
    special = [np.nan, -np.nan, 0.0, -0.0, np.inf, -np.inf, 1.0, -2.5, 3.0, 5e-324]
    x, y = (np.array(values) for values in zip(*[(a, b) for a in special for b in special]))
    with np.errstate(all="ignore"):
        want = build(np, x, y)
    kernel = bm.kernel(lambda x, y: build(bm, x, y))
    assert want.dtype == np.float64 and kernel.typed
    assert bits(kernel(x, y)) == bits(want)
    assert bits(bm.go(kernel.map(x=x, y=y)).result()) == bits(want)


def test_a_kernel_whose_bools_numpy_adds_as_logic_does_not_map():
    # True + True is True in NumPy, 2.0 in the float64 kernels.
    kernel = bm.kernel(lambda x, y: ((x > y) + (x > 0)) * 1.0)
    x, y = np.array([2.0, 0.0]), np.array([1.0, 1.0])
    assert kernel(x, y).tolist() == [1.0, 0.0]
    with pytest.raises(TypeError, match=r"computes in other types \(its result is float64\)"):
        kernel.map(x=x, y=y)


def test_a_deep_expression_is_pickled_written_and_dropped_on_a_small_stack():
    # A thread with 256 KiB of stack: anything nested as deep as the
    # expression (its record, its pickle, its tree as converted) would crash
    # the child when the interpreter frees it. (Typing recurses: a kernel is
    # typed up to the depth of text, `MAX_DEPTH`.)
    result = run_python(
        """
        import pickle, threading
        import brindlemox as bm, _brindlemox
        from brindlemox._kernel_tree import kernel_tree
        def work():
            e = x = bm.arg("x")
            for n in range(30_000):
                e = e + x if n % 2 else bm.sqrt(e)
            back = pickle.loads(pickle.dumps(e))
            record = _brindlemox._expr_record(back)
            shallow = kernel_tree(record[:399], {"x": 0})
            print(record == _brindlemox._expr_record(e), kernel_tree(record, {"x": 0}), shallow.root.op == "+")
            del e, back, record, shallow
        threading.stack_size(256 * 1024)
        thread = threading.Thread(target=work)
        thread.start()
        thread.join()
        print("done")
        """,
        timeout=240,
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split() == ["True", "None", "True", "done"]


def test_a_kernel_that_cannot_be_typed_refuses_other_data_than_float64():
    x, y = bm.args("x", "y")
    # where() of a constant condition reads only x, while NumPy's answer takes y's type too.
    kernel = bm.kernel(bm.where(True, x, y))
    assert not kernel.typed and kernel(np.ones(2)).tolist() == [1.0, 1.0]
    with pytest.raises(TypeError, match="argument 'x' has dtype int32, and this kernel computes float64 data only"):
        kernel(np.ones(2, np.int32))
    assert bm.kernel(lambda x, y: bm.where(True, x, y))(np.ones(2, np.int32), np.ones(2, np.int8)).dtype == np.int32


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64, np.uint8])
def test_a_shared_value_is_typed_once_and_gives_the_unshared_bits(dtype):
    # 60 squarings of one Expr: typing the expanded tree would never end.
    x, y = bm.args("x", "y")
    square = x
    for _ in range(60):
        square = square * square
    values = np.arange(1, 8).astype(dtype)
    want = values.copy()
    with np.errstate(over="ignore"):
        for _ in range(60):
            want = want * want
    got = bm.kernel(square)(values)
    assert got.dtype == want.dtype and got.tobytes() == want.tobytes()

    def tree(shared):
        s = x * y
        return bm.where(s > 2, s, -s) + (s if shared else x * y) ** 2 - bm.sqrt(s if shared else x * y)

    kernel, unshared = bm.kernel(tree(True)), bm.kernel(tree(False))

    def products(kernel):
        """The distinct nodes of x * y in the kernel's tree."""
        found, stack = set(), [kernel._tree.root]
        while stack:
            node = stack.pop()
            found |= {id(node)} if node.op == "*" else set()
            stack.extend(node.operands)
        return len(found)

    assert (products(kernel), products(unshared)) == (1, 3)
    got, expected = kernel(values, dtype(3)), unshared(values, dtype(3))
    assert got.dtype == expected.dtype and got.tobytes() == expected.tobytes()
