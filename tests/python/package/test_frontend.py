# The front end: a text parsed once and read into one tree, which every
# consumer builds from; a kernel's record converted to the same tree.
import ast
import itertools

import numpy as np
import pytest

import brindlemox as bm
from brindlemox import _registry, _text
from brindlemox._kernel_tree import MAX_DEPTH

pytestmark = pytest.mark.numpy

_fresh = itertools.count()


@pytest.fixture
def parses(monkeypatch):
    """The number of times `ast.parse` has run, as a one-element list."""
    count = [0]
    parse = ast.parse

    def counted(*args, **kwargs):
        count[0] += 1
        return parse(*args, **kwargs)

    monkeypatch.setattr(ast, "parse", counted)
    return count


def test_a_new_text_is_parsed_once_whatever_its_values_and_a_known_one_never(parses):
    fresh = next(_fresh)
    text = f"2*x + y - {fresh}"
    floats, ints = np.arange(5.0), np.arange(5)
    assert bm.evaluate(text, {"x": floats, "y": floats}).tolist() == (3 * floats - fresh).tolist()
    assert bm.evaluate(text, {"x": ints, "y": ints}).dtype == np.int64
    assert parses[0] == 1
    bm.evaluate(text, {"x": floats, "y": floats})
    bm.evaluate(text, {"x": ints, "y": 2})
    assert parses[0] == 1


def test_a_text_with_reductions_is_parsed_once(parses):
    text = f"x - mean(x) + sum(x, axis=0) * {next(_fresh)}"
    for data in (np.arange(6.0).reshape(2, 3), np.arange(6).reshape(2, 3), np.arange(6, dtype=np.int8).reshape(2, 3)):
        bm.evaluate(text, {"x": data})
    assert parses[0] == 1


def test_a_refused_text_is_not_parsed_again_and_each_call_raises_its_own_error(parses):
    text = f"x @ {next(_fresh)}"
    first, second = bm.validate(text, {"x": 1.0}), bm.validate(text, {"x": 1.0})
    assert parses[0] == 1
    assert type(first) is type(second) is ValueError and first is not second
    assert str(first) == str(second) == "unsupported construct in expression: '@' (matrix multiplication)"


def test_the_record_of_a_text():
    found = _text.read("b * a + sum(b - mean(b), axis=0) + sum(b-mean( b ),axis=0)")
    assert found.names == ("b", "a") and not found.refused
    mean, total = found.reductions
    assert (mean.op, mean.value) == ("mean", _text.Reduced(None, False, "mean#0", "b"))
    assert (total.op, total.value) == ("sum", _text.Reduced(0, True, "sum#1", None))
    assert [part.names for part in found.parts] == [("b",), ("b", "mean#0"), ("b", "a", "sum#1")]


@pytest.mark.parametrize("dtype", [np.int64, np.float64, np.float32])
def test_a_reduction_is_read_by_a_name_no_text_can_read(dtype):
    # The outer expression reads each reduction's value by a name of its own,
    # which is never one of the text's: once "__reduction0" was both.
    x, named = np.arange(4).astype(dtype), (np.arange(4) * 10).astype(dtype)
    got = bm.evaluate("sum(x) + __reduction0", {"x": x, "__reduction0": named})
    want = np.sum(x) + named
    assert got.dtype == want.dtype and got.tobytes() == want.tobytes()


_SUPPORTED = ", ".join(sorted({*_registry.TEXT_FUNCTIONS, *_text.TEXT_REDUCTIONS, *_text.TEXT_ONLY}))
_BITWISE = "not supported for the input types, and the inputs could not be safely coerced to any supported types " \
           "according to the casting rule ''safe''"  # fmt: skip


# The first error met in Python's order of evaluation is raised, also one
# that only float64 meets (^ of floats, & of numbers) before a refused
# construct, whatever the data's type.
@pytest.mark.parametrize(
    "text, kind, message",
    [
        ("x ^ (x + foo(x))", bm.UnsupportedOperation, f"ufunc 'bitwise_xor' {_BITWISE}"),
        ("(1.0 & 2.0) + foo(x)", ValueError, f"unknown function 'foo'; supported functions: {_SUPPORTED}"),
        ("1 < 2 < 3 is x", TypeError, f"ufunc 'bitwise_and' {_BITWISE}"),
        ("x < x is x", ValueError, "unsupported construct in expression: 'is'"),
        ("not (x @ x)", ValueError, "unsupported construct in expression: '@' (matrix multiplication)"),
        ("sum(x @ x, foo=1)", TypeError, "sum() got an unexpected keyword argument 'foo'"),
        ("x + 1e999999 + 2j + 'a'", bm.UnsupportedOperation,
         "operator '+' is not defined for strings (only comparisons and contains are)"),
        ("x + 10**400 + x.conj", ValueError, "unsupported construct in expression: attribute access"),
        ("sqrt(x, x) + foo(x)", TypeError, "sqrt() takes 1 argument (2 given)"),
    ],
)
def test_the_first_error_of_a_text_is_raised(text, kind, message):
    for data in (np.arange(3), np.arange(3.0)):
        error = bm.validate(text, {"x": data})
        assert type(error) is kind and str(error) == message


_KERNELS = [
    ("x * 2 + y", lambda m, x, y: x * 2 + y),
    ("(x * x + 2) * (x * x) - y / 3.0", lambda m, x, y: (x * x + 2) * (x * x) - y / 3.0),
    ("where(x > y, x - y, y * 0.5)", lambda m, x, y: m.where(x > y, x - y, y * 0.5)),
    ("-x + -2 * y - -0.0", lambda m, x, y: -x + (-2) * y - (-0.0)),
    ("x ** 2 + 2 ** y", lambda m, x, y: x**2 + 2**y),
    ("bitwise_and(x > y, x >= 0)", lambda m, x, y: m.bitwise_and(x > y, x >= 0)),
    ("abs(x) + sqrt(abs(y)) * True", lambda m, x, y: abs(x) + m.sqrt(abs(y)) * True),
    ("minimum(x, y) < 3", lambda m, x, y: m.minimum(x, y) < 3),
]


@pytest.mark.parametrize("text, build", _KERNELS, ids=[text for text, _ in _KERNELS])
@pytest.mark.parametrize("types", [(np.float64, np.float64), (np.int64, np.uint8), (np.float32, int), (np.bool_, float),
                                   (np.complex128, np.float16)], ids=str)  # fmt: skip
def test_a_kernel_computes_as_its_text(text, build, types):
    x = np.array([-3, 0, 1, 2, 5, 7]).astype(types[0])
    y = np.array([2, 3, 1, 0, 4, 1]).astype(types[1]) if types[1] not in (int, float) else types[1](2)
    kernel = bm.kernel(build(bm, *bm.args("x", "y")))
    with np.errstate(all="ignore"):
        try:
            want = bm.evaluate(text, {"x": x, "y": y})
        except (TypeError, ValueError, OverflowError) as error:
            with pytest.raises(type(error)) as raised:
                kernel(x, y)
            assert str(raised.value) == str(error)
            return
        got = kernel(x, y)
    assert kernel.typed and got.dtype == want.dtype and got.tobytes() == want.tobytes()


@pytest.mark.parametrize("depth, typed", [(MAX_DEPTH, True), (MAX_DEPTH + 1, False)])
def test_a_kernel_is_typed_as_deep_as_text_may_nest(depth, typed):
    e = x = bm.arg("x")
    for _ in range(depth):
        e = bm.sqrt(e)
    assert bm.kernel(e).typed is typed


def test_a_long_sum_is_typed_however_long():
    # Text needs no bracket for a left operand: it does not count as depth.
    e = x = bm.arg("x")
    for n in range(2500):
        e = e + x * n
    kernel = bm.kernel(e)
    values = np.array([1, -2], np.int64)
    assert kernel.typed and kernel(values).dtype == np.int64
    assert kernel(values).tolist() == (values * (1 + sum(range(2500)))).tolist()
