"""Pickling: expressions, kernel specs and kernels travel by value and keep their
names and structure; a buffer travels as its values, out of band under protocol 5;
handles of one process's engine state refuse."""

import pickle
import struct

import numpy as np
import pytest

import _brindlemox
import brindlemox as bm
from brindlemox import _pickle
from brindlemox._kernel import float64_kernel

from conftest import bits, run_python, same_tree

PROTOCOLS = list(range(2, pickle.HIGHEST_PROTOCOL + 1))
_kernels = _brindlemox._KernelModule()
_runtime = _brindlemox._RuntimeModule()


def sample_values(n, seed):
    values = np.random.default_rng(seed).standard_normal(n)
    values[:6] = [np.nan, -0.0, np.inf, -np.inf, 0.0, 1e-310]
    values[6] = np.array([0x7FF800000000BEEF], dtype=np.uint64).view(np.float64)[0]
    return values


def sample_expr():
    """Every node kind, constants that need exact digits, an argument used twice."""
    x, y = bm.args("x", "y")
    return bm.where(x > y, bm.sqrt(x * x + y * y), -x / 3.0000000000000004) + bm.arctan2(y, 2.5) ** 0.1 - bm.round(y)


@pytest.fixture(params=PROTOCOLS, ids=[f"protocol{p}" for p in PROTOCOLS])
def round_trip(request):
    return lambda value: pickle.loads(pickle.dumps(value, protocol=request.param))


def test_expr_keeps_its_tree_and_names(round_trip):
    expr = sample_expr()
    back = round_trip(expr)
    assert type(back) is bm.Expr
    assert same_tree(back, expr)
    assert len(back.get_referenced_args()) == len(expr.get_referenced_args())


def test_argument_keeps_its_name(round_trip):
    x = bm.arg("x")
    back = round_trip(x)
    assert repr(back) == "Expr(x)"
    assert list(back.get_temp_args().values()) == ["x"]
    assert bm.kernel(back * 2).names == ("x",)


def test_kernel_spec_computes_the_same_bits(round_trip):
    spec = _kernels.elementwise(sample_expr())
    back = round_trip(spec)
    assert type(back) is bm.KernelSpec
    x, y = _runtime.asarray(sample_values(64, 1)), _runtime.asarray(sample_values(64, 2))
    expected = _runtime.go(_kernels.map(spec, x=x, y=y)).result().numpy()
    assert np.array_equal(bits(_runtime.go(_kernels.map(back, x=x, y=y)).result().numpy()), bits(expected))


def test_kernel_keeps_names_and_bits(round_trip):
    @bm.kernel
    def blend(y, x, weight):
        return bm.where(x > 0, x * weight, y) - bm.exp(-x)

    back = round_trip(blend)
    assert type(back) is bm.Kernel and back.names == ("y", "x", "weight") and repr(back) == repr(blend)
    x, y = sample_values(50, 3), sample_values(50, 4)
    assert np.array_equal(bits(back(y, x, 0.75)), bits(blend(y, x, 0.75)))


def test_buffer_pickles_to_its_values(round_trip):
    values = sample_values(1000, 5)
    back = round_trip(_runtime.asarray(values))
    assert type(back) is bm.Buffer
    assert np.array_equal(bits(back.numpy()), bits(values))


def test_buffer_goes_out_of_band_under_protocol_5():
    values = sample_values(100_000, 6)
    buffer = _runtime.asarray(values)
    buffers = []
    payload = pickle.dumps(buffer, protocol=5, buffer_callback=buffers.append)
    assert len(buffers) == 1 and len(payload) < 1000
    # Lent, not copied: the out-of-band buffer is the engine's own memory.
    assert np.shares_memory(np.frombuffer(buffers[0].raw(), dtype=np.uint8), np.asarray(buffer))
    assert bytes(buffers[0].raw()) == values.tobytes()
    back = pickle.loads(payload, buffers=buffers)
    assert np.array_equal(bits(back.numpy()), bits(values))
    assert len(pickle.dumps(_runtime.asarray(values), protocol=4)) > values.nbytes


def test_empty_buffer_round_trips(round_trip):
    assert len(round_trip(_runtime.asarray(np.empty(0)))) == 0


def _engine_handles():
    channel = _runtime.chan(1)
    task = _runtime.go(_kernels.sum(_runtime.asarray(np.ones(3))))
    return {"TaskHandle": task, "Channel": channel, "RecvCase": _brindlemox.RecvCase(channel)}


_REFUSALS = {
    "TaskHandle": "cannot pickle 'TaskHandle' object: a task belongs to the process that ran it; pickle its result() instead",
    "Channel": "cannot pickle 'Channel' object: a channel connects threads of one process",
    "RecvCase": "cannot pickle 'RecvCase' object: a channel connects threads of one process",
}


@pytest.mark.parametrize("name", list(_REFUSALS))
@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_engine_handles_refuse(name, protocol):
    with pytest.raises(TypeError) as error:
        pickle.dumps(_engine_handles()[name], protocol=protocol)
    assert str(error.value) == _REFUSALS[name]


def test_cloudpickle_round_trips():
    cloudpickle = pytest.importorskip("cloudpickle")
    expr = sample_expr()
    traced = bm.kernel(lambda a, b: bm.maximum(a, b) * 2)
    values = sample_values(40, 7)
    expr_back, spec_back, kernel_back, buffer_back = cloudpickle.loads(
        cloudpickle.dumps([expr, _kernels.elementwise(expr), traced, _runtime.asarray(values)])
    )
    assert same_tree(expr_back, expr) and type(spec_back) is bm.KernelSpec
    assert np.array_equal(bits(kernel_back(values, 0.5)), bits(traced(values, 0.5)))
    assert np.array_equal(bits(buffer_back.numpy()), bits(values))
    with pytest.raises(TypeError, match="^cannot pickle 'Channel' object"):
        cloudpickle.dumps(_runtime.chan(0))


def test_another_process_rebuilds_the_same_objects(tmp_path):
    expr = sample_expr()
    kernel = bm.kernel(expr)
    values = sample_values(33, 8)
    path = tmp_path / "objects.pickle"
    path.write_bytes(pickle.dumps([expr, kernel, _runtime.asarray(values), values]))
    result = run_python(
        f"""
        import pickle
        expr, kernel, buffer, values = pickle.loads(open({str(path)!r}, "rb").read())
        ids = sorted(expr.get_temp_args())
        print(repr(expr.rewrite_args(dict(zip(ids, {sorted(expr.get_temp_args())!r})))))
        print([expr.get_temp_args()[i] for i in ids])
        print(kernel.names)
        print(kernel(values, values[::-1]).tobytes().hex())
        print(buffer.numpy().tobytes().hex())
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        repr(expr),
        str([expr.get_temp_args()[i] for i in sorted(expr.get_temp_args())]),
        str(kernel.names),
        kernel(values, values[::-1]).tobytes().hex(),
        values.tobytes().hex(),
    ]


def test_corrupt_bytes_are_a_value_error_never_a_crash():
    # Each payload is cut, extended and overwritten at random; the rebuild must either give a
    # valid object or raise ValueError. A crash fails the child process, not the suite.
    result = run_python(
        """
        import copyreg, random
        import _brindlemox
        import brindlemox as bm

        x, y = bm.args("x", "y")
        expr = bm.where(x > 1, bm.sqrt(x * y), -y) + bm.arctan2(x, 2.5) * bm.arg("z")
        random.seed(11)
        rebuilt = refused = 0
        for value in (expr, _brindlemox._KernelModule().elementwise(expr)):
            rebuild, (payload, *_) = copyreg.dispatch_table[type(value)](value)
            assert rebuild(payload) is not None
            for trial in range(3000):
                corrupt = bytearray(payload)
                kind = trial % 3
                if kind == 0:
                    corrupt = corrupt[: random.randrange(len(corrupt))]
                elif kind == 1:
                    corrupt += bytes(random.randrange(256) for _ in range(random.randint(1, 16)))
                for _ in range(random.randint(1, 4)):
                    if corrupt:
                        corrupt[random.randrange(len(corrupt))] = random.randrange(256)
                try:
                    rebuild(bytes(corrupt))
                    rebuilt += 1
                except ValueError:
                    refused += 1
        print(refused > 0, rebuilt + refused)
        """,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "True 6000\n"


class Rebuilt:
    """Pickles as the call `rebuild(*arguments)`, as a stream written by hand would."""

    def __init__(self, rebuild, *arguments):
        self.rebuild, self.arguments = rebuild, arguments

    def __reduce__(self):
        return self.rebuild, self.arguments


def test_an_expression_without_arguments_is_refused():
    # Constants only: the encoder never writes this, and it has no size to compute at.
    data = b"BMXE\x01\x00\x00\x01\x00" + struct.pack("<d", 5.0)
    for rebuild in (_brindlemox._expr_from_bytes, lambda data: pickle.loads(pickle.dumps(Rebuilt(_pickle._expr_from_bytes, data)))):
        with pytest.raises(ValueError) as raised:
            rebuild(data)
        assert str(raised.value) == "invalid expression bytes: no argument names"


DISAGREE = "a pickled Kernel does not hold together: "


@pytest.mark.parametrize(
    "build, names, message",
    [
        (lambda x, y: x - y, ("x",), DISAGREE + "the expression uses argument 'y', which is not a parameter"),
        (lambda x, y: x - y, ("y",), DISAGREE + "the expression uses argument 'x', which is not a parameter"),
        (lambda x, y: x - y, ("x", "y", "x"), DISAGREE + "parameter 'x' is named twice"),
        (lambda x, y: x - y, ("x", 2), DISAGREE + "parameter names must be str, not int"),
        (lambda x, y: x - y, 5, DISAGREE + "'int' object is not iterable"),
        (lambda x, y: x - bm.arg("x"), ("x",), DISAGREE + "duplicate arg name: x"),
        (lambda x, y: "x - y", ("x", "y"), "a pickled Kernel needs an Expr, not str"),
    ],
)
def test_kernel_whose_parts_disagree_is_refused(build, names, message):
    stream = pickle.dumps(Rebuilt(_pickle._kernel_from_expr, build(*bm.args("x", "y")), names))
    with pytest.raises(pickle.UnpicklingError) as raised:
        pickle.loads(stream)
    assert str(raised.value) == message


def test_kernel_travels_as_its_expression_and_names(round_trip):
    # Parameters in another order than the expression's arguments, and one unused.
    kernel = bm.kernel(lambda b, unused, a: a / b)
    back = round_trip(kernel)
    assert back.names == ("b", "unused", "a") and back.spec is not kernel.spec
    assert bits(back(2.0, "ignored", [1.0, -0.0])) == bits([0.5, -0.0])
    assert bits(bm.go(back.map(a=bm.asarray([3.0]), b=4.0, unused=0)).result()) == bits([0.75])


def test_expressions_and_kernels_keep_their_types(round_trip):
    x, y = bm.args("x", "y")
    expr = bm.where(bm.bitwise_and(x, 4) != 0, x * np.int8(2), -y)
    back = round_trip(expr)
    assert _brindlemox._expr_record(back) == _brindlemox._expr_record(expr)
    values = np.array([6, 1, 4], np.int8), np.array([1, 2, 3], np.int16)
    for kernel in (bm.kernel(back), round_trip(bm.kernel(expr))):
        result = kernel(*values)
        assert result.dtype == np.int16 and result.tolist() == [12, -2, 8]


def test_an_expression_pickled_with_its_record_in_the_older_form_loads():
    # Older pickles wrote the record expanded in post-order, an operation as its name and operand count.
    stream = pickle.dumps(Rebuilt(_pickle._expr_from_bytes, _brindlemox._expr_to_bytes(bm.arg("x") + 1.0),
                                  [("arg", "x"), 1.0, ("+", 2)]))  # fmt: skip
    back = pickle.loads(stream)
    assert _brindlemox._expr_record(back) == (("arg", "x"), 1.0, ("+", 0, 1))
    assert bm.kernel(back)(np.array([1], np.int8)).dtype == np.float64


HOLD = "a pickled Expr does not hold together: "
BUILT = "a pickled Expr's record is not how its expression was built"


@pytest.mark.parametrize(
    "record, message",
    [("text", HOLD + "an expression's record must be a tuple, not str"), (("+", 2), BUILT),
     ((), HOLD + "an expression's record does not hold together"),
     ((("sqrt", 0),), HOLD + "an expression's record does not hold together"),
     ((("arg", "x"), 1, 2, ("+", 1, 2)), HOLD + "an expression's record does not hold together"),
     ((("arg", "x"), ("exec", 0)), HOLD + "an expression's record names no function 'exec'"),
     ((("arg", "x"), "1", ("+", 0, 1)), HOLD + "expected Expr or numeric value"),
     ((("arg", "x"), ("sqrt", 0)), BUILT), ((("arg", "y"), 1.0, ("+", 0, 1)), BUILT),
     ([("+", 2)], HOLD + "an expression's record does not hold together"),
     ([("arg", "x"), 1.0, ("+", 3)], HOLD + "an expression's record does not hold together"),
     ([("arg", "x"), 1.0], HOLD + "an expression's record does not hold together")],
)  # fmt: skip
def test_an_expression_whose_record_does_not_hold_together_is_refused(record, message):
    stream = pickle.dumps(Rebuilt(_pickle._expr_from_bytes, _brindlemox._expr_to_bytes(bm.arg("x") + 1.0), record))
    with pytest.raises(pickle.UnpicklingError) as raised:
        pickle.loads(stream)
    assert str(raised.value) == message


def test_an_expression_is_typed_as_its_record_only_where_the_record_builds_it():
    # The record another expression's: a kernel would be typed by one and compute the other.
    x, y = bm.args("x", "y")
    honest, other = x - 2 * y, x + 100 * y
    forged = Rebuilt(_pickle._expr_from_bytes, _brindlemox._expr_to_bytes(honest), _brindlemox._expr_record(other))
    for value in (forged, Rebuilt(_pickle._kernel_from_expr, forged, ("x", "y"), True, None)):
        with pytest.raises(pickle.UnpicklingError) as raised:
            pickle.loads(pickle.dumps(value))
        assert str(raised.value) == BUILT
    back = pickle.loads(pickle.dumps(honest))
    assert same_tree(back, honest) and _brindlemox._expr_record(back) == _brindlemox._expr_record(honest)


@pytest.mark.parametrize(
    "text",
    [("_a0 + 100 * _a1", (0, 1), ()), ("_a0 + _c0", (0, 1), (("_c0", np.int8(100)),)), ("_a0 +", (0,), ()),
     ("_a0", (3,), ())],
)  # fmt: skip
def test_a_kernel_computes_what_its_expression_says_whatever_text_its_pickle_carries(text):
    # Older pickles carried the text a kernel is typed by beside its
    # expression; it is written again from the expression, never read.
    x, y = bm.args("x", "y")
    back = pickle.loads(pickle.dumps(Rebuilt(_pickle._kernel_from_expr, x - 2 * y, ("x", "y"), text)))
    for dtype in (np.float64, np.int64, np.float32):
        a, b = np.array([7, -3, 100], dtype), np.array([1, 5, -2], dtype)
        got, want = back(a, b), a - 2 * b
        assert got.dtype == want.dtype and got.tobytes() == want.tobytes()


def test_a_kernel_pickles_without_its_text_and_keeps_its_typing(round_trip):
    x, y = bm.args("x", "y")
    typed, float64 = bm.kernel(x - 2 * y), float64_kernel(x - 2 * y)
    assert _pickle._reduce_kernel(typed)[1][2:] == (True, None)
    a, b = np.array([7, -3], np.int64), np.array([1, 5], np.int64)
    for kernel in (typed, float64):
        back = round_trip(kernel)
        assert back.typed == kernel.typed and back(a, b).dtype == kernel(a, b).dtype
    assert round_trip(float64)(a, b).dtype == np.float64 and round_trip(typed)(a, b).dtype == np.int64
    with pytest.raises(pickle.UnpicklingError) as raised:
        pickle.loads(pickle.dumps(Rebuilt(_pickle._kernel_from_expr, x - y, ("x", "y"), "typed")))
    assert str(raised.value) == "a pickled Kernel's typing must be True or False, not str"
