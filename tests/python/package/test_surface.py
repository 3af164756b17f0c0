# numexpr's call surface: evaluate's keywords, validate, re_evaluate, where
# names are found, and what a star import binds.
import builtins
import threading

import numpy as np
import pytest

import brindlemox as bm
from brindlemox._compiled import compile_text
from conftest import bits

pytestmark = pytest.mark.numpy

SCALE = 7.0  # found by the tests below through the caller's globals


def numpy_error(call):
    with pytest.raises(Exception) as raised:
        call()
    return type(raised.value), str(raised.value)


# Each call is refused before any work, with these words; validate returns the
# same error.
BAD_CALLS = {
    "unknown keyword": (dict(foo=1), TypeError, "evaluate() got an unexpected keyword argument 'foo'"),
    "order": (dict(order="Z"), *numpy_error(lambda: np.add(1.0, 1.0, order="Z"))),
    "order not str": (dict(order=1), ValueError, "order must be one of 'C', 'F', 'A', or 'K' (got 1)"),
    "casting": (dict(casting="bogus"), *numpy_error(lambda: np.add(1.0, 1.0, casting="bogus"))),
    "casting forbids": (
        dict(out=np.zeros(3, np.int64)),
        TypeError,
        "Cannot cast evaluate() output from dtype('float64') to dtype('int64') with casting rule 'same_kind'",
    ),
    "safe casting": (
        dict(out=np.zeros(3, np.float32), casting="safe"),
        TypeError,
        "Cannot cast evaluate() output from dtype('float64') to dtype('float32') with casting rule 'safe'",
    ),
    "out not an array": (dict(out=[0.0] * 3), TypeError, "out must be a NumPy array, not list"),
    "optimization": (
        dict(optimization="most"),
        ValueError,
        "optimization must be one of 'none', 'moderate', 'aggressive' (got 'most')",
    ),
    "truediv": (dict(truediv="yes"), ValueError, "truediv must be one of False, True, 'auto' (got 'yes')"),
    "out shape": (dict(out=np.zeros(4)), ValueError, "out has shape (4,) but the result has shape (3,)"),
}


@pytest.mark.parametrize("case", list(BAD_CALLS))
def test_bad_calls_raise_before_any_work_and_validate_returns_the_error(case):
    keywords, kind, message = BAD_CALLS[case]
    x = np.arange(3.0)
    out = keywords.get("out")
    before = None if out is None else out.copy()
    with pytest.raises(kind) as raised:
        bm.evaluate("x + 1", {"x": x}, **keywords)
    assert str(raised.value) == message
    if out is not None:
        assert np.array_equal(out, before)
    error = bm.validate("x + 1", {"x": x}, **keywords)
    assert type(error) is kind and str(error) == message.replace("evaluate()", "validate()")


@pytest.mark.parametrize(
    "keywords",
    [
        dict(optimization="aggressive", truediv=True, sanitize=True),
        dict(optimization="none", truediv="auto", sanitize=False),
        dict(truediv=False, casting="no", out=np.empty(4)),
        dict(casting="unsafe", out=np.empty(4)),
        dict(disable_cache=True),
    ],
)
def test_numexprs_keywords_give_numexprs_answers(keywords):
    numexpr = pytest.importorskip("numexpr")
    a, b = np.array([1.0, 2.0, 3.0, 4.0]), np.array([2.0, 2.0, 8.0, -0.5])
    names = {"a": a, "b": b}
    expected = numexpr.evaluate("a / b + a * b", names, **{k: v for k, v in keywords.items() if k != "out"})
    result = bm.evaluate("a / b + a * b", names, **keywords)
    assert bits(result) == bits(expected)
    assert (result is keywords["out"]) if "out" in keywords else True


def operand_sets(dtype="float64"):
    f3 = np.asfortranarray(np.arange(24, dtype=dtype).reshape(4, 3, 2))
    grid = np.arange(24, dtype=dtype).reshape(4, 6)
    return {
        "all Fortran": {"x": f3, "y": np.asfortranarray(f3 + 1)},
        "Fortran and a C row": {"x": f3, "y": np.arange(6, dtype=dtype).reshape(3, 2)},
        "C": {"x": f3.copy(order="C"), "y": 2},
        "one-dimensional": {"x": np.arange(5, dtype=dtype), "y": np.arange(5, dtype=dtype)},
        "a Fortran-strided view": {"x": grid[::2, ::2].T, "y": 2},
        "a C-strided view": {"x": grid[::2, ::2], "y": 2},
        "Fortran-strided views": {"x": f3[::2, :, ::-1], "y": f3[1::2, ::-1, :]},
        "a Fortran view and a broadcast one": {"x": f3[::2], "y": np.broadcast_to(f3[0, 0], (2, 3, 2))},
        "a Fortran view and a C array": {"x": f3[::2], "y": np.ones((2, 3, 2), dtype)},
    }


@pytest.mark.parametrize("operands", list(operand_sets()))
@pytest.mark.parametrize("order", ["A", "C", "F", "K"])
@pytest.mark.parametrize("dtype", ["float64", "int32"])
def test_order_lays_a_new_result_out_as_numpy_does(operands, order, dtype):
    names = operand_sets(dtype)[operands]
    expected = np.multiply(names["x"], names["y"], order=order)
    result = bm.evaluate("x * y", names, order=order)
    assert np.array_equal(result, expected) and result.dtype == expected.dtype
    if dtype == "float64":
        assert bits(result) == bits(expected) == bits(bm.evaluate("x * y", names))
    # A new result is laid out in C or Fortran order, where NumPy's "K" may
    # interleave the two (for a Fortran array and a C row broadcast to it).
    if expected.flags.c_contiguous or expected.flags.f_contiguous:
        assert (result.flags.c_contiguous, result.flags.f_contiguous) == (
            expected.flags.c_contiguous,
            expected.flags.f_contiguous,
        )


def test_a_local_dict_alone_falls_back_to_the_callers_globals_not_its_locals():
    x = np.array([1.0, 2.0])
    assert bm.evaluate("x * SCALE", {"x": x}).tolist() == [7.0, 14.0]
    y = 3.0  # noqa: F841 - a local the call must not see
    with pytest.raises(NameError, match="^name 'y' is not defined$"):
        bm.evaluate("x * y", {"x": x})
    assert bm.validate("x * y", {"x": x}).name == "y"


def in_new_thread(function):
    results = []
    thread = threading.Thread(target=lambda: results.append(function()))
    thread.start()
    thread.join(timeout=60)
    assert not thread.is_alive() and len(results) == 1
    return results[0]


def raised_by(function):
    try:
        function()
    except Exception as error:
        return error
    return None


def test_re_evaluate_runs_this_threads_last_expression_on_the_names_values_now():
    error = in_new_thread(lambda: raised_by(bm.re_evaluate))
    assert type(error) is RuntimeError
    assert str(error) == "re_evaluate() needs an expression that evaluate() or validate() compiled in this thread"

    x = np.array([1.0, 2.0])
    out = np.zeros(2)
    bm.evaluate("x * 2 + SCALE", out=out)
    x = np.array([10.0, 20.0])  # noqa: F841 - read again by re_evaluate
    assert bm.re_evaluate() is out and out.tolist() == [27.0, 47.0]
    assert bm.re_evaluate({"x": np.array([0.5, 1.0])}).tolist() == [8.0, 9.0]

    # Another thread's calls leave this thread's last expression alone.
    assert in_new_thread(lambda: bm.evaluate("z - 1", {"z": 5.0}).tolist()) == 4.0
    assert bm.re_evaluate().tolist() == [27.0, 47.0]

    # validate records a sound call only; disable_cache records nothing.
    assert bm.validate("x - 1", order="F") is None
    assert bm.re_evaluate({"x": np.ones((2, 2))}).flags.f_contiguous
    assert isinstance(bm.validate("x - q"), NameError)
    cached = compile_text.cache_info().currsize
    bm.evaluate("x + 100", disable_cache=True)
    assert compile_text.cache_info().currsize == cached
    assert bm.re_evaluate({"x": np.ones(1)}).tolist() == [0.0]
    assert bm.re_evaluate({"x": 4.0}).tolist() == 3.0

    # A kernel runs again in its values' types, into `out` under the call's casting.
    counts = np.zeros(2, np.int8)
    bm.evaluate(bm.kernel(lambda x: x * 2.5), {"x": np.array([1, 2])}, out=counts, casting="unsafe")
    assert bm.re_evaluate({"x": np.array([3, 4])}) is counts and counts.tolist() == [7, 10]


def test_validate_computes_nothing_and_reports_what_evaluate_raises():
    out = np.full(3, 5.0)
    x = np.arange(3.0)
    assert bm.validate("x * 2", out=out) is None and out.tolist() == [5.0, 5.0, 5.0]
    assert type(bm.validate("x +")) is SyntaxError
    assert type(bm.validate(42)) is TypeError
    mismatch = bm.validate("x + y", {"x": x, "y": np.ones(2)})
    assert str(mismatch) == str(raised_by(lambda: bm.evaluate("x + y", {"x": x, "y": np.ones(2)})))
    assert bm.validate("1 + 2", out=np.zeros(1)).args == ("out has shape (1,) but the result has shape ()",)


def test_a_star_import_leaves_pythons_builtins_alone():
    namespace = {}
    exec("from brindlemox import *", namespace)
    shadowed = {"sum", "min", "max", "abs", "round", "pow"}
    assert not shadowed & set(namespace)
    assert not {name for name in bm.__all__ if hasattr(builtins, name)}
    assert set(bm.__all__) <= set(namespace) and namespace["evaluate"] is bm.evaluate
    assert all(callable(getattr(bm, name)) for name in shadowed)
