# Every bad input of the package is refused before any work, in Python's own
# exception classes and with exact words.
import numpy as np
import pytest

import brindlemox as bm
from conftest import misaligned

pytestmark = pytest.mark.numpy

X = np.arange(6.0)


_STRINGS = "operator '+' is not defined for strings (only comparisons and contains are)"


@pytest.mark.parametrize(
    ("value", "dtype"),
    [
        (np.array(["a", "b"]), _STRINGS),
        ("text", _STRINGS),
        (None, "object"),
        (np.array([object()]), "object"),
        (np.array(["2020-01-01"], dtype="datetime64[D]"), "datetime64[D]"),
    ],
)
def test_unsupported_dtypes_name_the_argument(value, dtype):
    with pytest.raises(TypeError) as raised:
        bm.evaluate("x + v", {"x": X, "v": value})
    if dtype == _STRINGS:
        # Strings compare, and add to nothing.
        assert str(raised.value) == _STRINGS
        return
    assert str(raised.value) == f"argument 'v' has unsupported dtype {dtype}; expected bool, integer, float or complex data"


def test_shapes_that_cannot_broadcast_give_numpys_error():
    with pytest.raises(ValueError) as raised:
        bm.evaluate("x + v", {"x": X, "v": np.ones(4)})
    with pytest.raises(ValueError) as numpy_raised:
        np.add(X, np.ones(4))
    # NumPy's sentence, and the names whose shapes disagree.
    assert str(raised.value) == f"{str(numpy_raised.value).rstrip()} (of x, v)"


@pytest.mark.parametrize(
    ("out", "error", "message"),
    [
        ([0.0] * 6, TypeError, "out must be a NumPy array, not list"),
        (
            np.zeros(6, dtype=np.int64),
            TypeError,
            "Cannot cast evaluate() output from dtype('float64') to dtype('int64') with casting rule 'same_kind'",
        ),
        (np.zeros(5), ValueError, "out has shape (5,) but the result has shape (6,)"),
        (np.zeros((6, 1)), ValueError, "out has shape (6, 1) but the result has shape (6,)"),
    ],
)
def test_bad_out_is_refused_before_any_work(out, error, message):
    before = np.array(out, copy=True) if isinstance(out, np.ndarray) else None
    with pytest.raises(error) as raised:
        bm.evaluate("x * 2", {"x": X}, out=out)
    assert str(raised.value) == message
    if before is not None:
        assert np.array_equal(before, out)


def test_read_only_out_is_refused():
    out = np.zeros(6)
    out.flags.writeable = False
    with pytest.raises(ValueError) as raised:
        bm.evaluate("x * 2", {"x": X}, out=out)
    assert str(raised.value) == "out is read-only"


def test_constant_expression_checks_out_too():
    with pytest.raises(ValueError) as raised:
        bm.evaluate("1 + 1", out=np.zeros(2))
    assert str(raised.value) == "out has shape (2,) but the result has shape ()"
    out = np.zeros(())
    assert bm.evaluate("1 + 1", out=out) is out and out[()] == 2.0


def test_evaluate_refuses_other_kinds_of_expression():
    with pytest.raises(TypeError) as raised:
        bm.evaluate(3)  # type: ignore[arg-type]
    assert str(raised.value) == "evaluate() expects an expression text, an Expr or a Kernel, not int"


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda k: k(X, X, X), "kernel takes 2 arguments but 3 were given"),
        (lambda k: k(X), "kernel missing 1 required argument: 'y'"),
        (lambda k: k(), "kernel missing 2 required arguments: 'x', 'y'"),
        (lambda k: k(X, x=X), "kernel got multiple values for argument 'x'"),
        (lambda k: k(X, z=X), "kernel got an unexpected keyword argument 'z'"),
    ],
)
def test_kernel_call_binding_errors(call, message):
    x, y = bm.args("x", "y")
    with pytest.raises(TypeError) as raised:
        call(bm.kernel(x + y))
    assert str(raised.value) == message


def test_kernel_construction_errors():
    with pytest.raises(TypeError) as raised:
        bm.kernel(3)  # type: ignore[arg-type]
    assert str(raised.value) == "kernel() expects an Expr or a function, not int"
    with pytest.raises(TypeError) as raised:
        bm.kernel(lambda *xs: xs[0])
    assert str(raised.value) == "kernel() can only trace functions whose parameters are all positional"
    with pytest.raises(TypeError) as raised:
        bm.kernel(lambda: 1.0)
    assert str(raised.value) == "kernel() needs a function with at least one parameter"
    with pytest.raises(ValueError) as raised:
        bm.kernel(lambda x: x + bm.arg("z"))
    assert str(raised.value) == "the expression uses argument 'z', which is not a parameter"
    with pytest.raises(ValueError) as raised:
        bm.kernel(bm.arg("x") + bm.arg("x"))
    assert str(raised.value) == "duplicate arg name: x"
    with pytest.raises(TypeError) as raised:
        bm.kernel(lambda x: "text")
    assert str(raised.value) == "expected Expr or numeric value"


@pytest.mark.parametrize("bad", ["a", None, [1.0], 1j, 10**400])
def test_builders_refuse_what_is_not_a_number(bad):
    x = bm.arg("x")
    for call in (lambda: bm.sqrt(bad), lambda: bm.maximum(x, bad), lambda: bm.where(x, bad, 1), lambda: bm.clip(x, 0, bad)):
        with pytest.raises(TypeError) as raised:
            call()
        assert str(raised.value) == "expected Expr or numeric value"


def test_misaligned_data_is_read_from_an_aligned_copy():
    values = np.arange(4099.0) - 7.5
    x = misaligned(values)
    assert bm.evaluate("2*x + 1", {"x": x}).tolist() == (2 * values + 1).tolist()
    assert bm.sum(x) == bm.sum(values) and bm.max(x) == values.max()
    # A misaligned out is written through a copy, as NumPy writes one.
    out = misaligned(values)
    assert bm.evaluate("2*x + 1", {"x": values}, out=out) is out
    assert out.tolist() == (2 * values + 1).tolist()
