"""The language's last pieces against NumPy, bit for bit: complex(re, im),
.real and .imag of any value, fmod of integers, round of integers, complex
products and extremes, unary + of booleans; and numexpr's module surface."""

import gc
import weakref

import numpy as np
import pytest

import brindlemox as bm

_SPECIALS = [0.0, -0.0, 1.5, -2.25, np.inf, -np.inf, np.nan, 1e300]


def _pair(re: np.ndarray, im: np.ndarray) -> np.ndarray:
    """NumPy's complex value of parts `re` and `im`, each as it is."""
    dtype = np.result_type(re, im, 1j)
    re, im = np.broadcast_arrays(re, im)
    out = np.empty(re.shape, dtype)
    out.real, out.imag = re, im
    return out


def _ints(dtype: type) -> np.ndarray:
    info = np.iinfo(dtype)
    return np.array([0, 1, 7, -7 if info.min < 0 else 9, info.min, info.max, 100 % (info.max + 1)], dtype)


def _divisors(dtype: type) -> np.ndarray:
    info = np.iinfo(dtype)
    return np.array([3, 0, -1 if info.min < 0 else 1, 2, -1 if info.min < 0 else 5, 7, info.max], dtype)


def _f(dtype: type) -> np.ndarray:
    with np.errstate(over="ignore"):
        return np.array(_SPECIALS, dtype)


def _c(dtype: type) -> np.ndarray:
    with np.errstate(over="ignore"):
        return _pair(_f(np.float64), _f(np.float64)[::-1]).astype(dtype)


# (text, its names' values, NumPy's answer over the same values)
CASES = [
    *[("complex(x, y)", {"x": _f(t), "y": _f(t)[::-1].copy()}, lambda x, y: _pair(x, y)) for t in (np.float64, np.float32)],
    ("complex(x, 2.5)", {"x": _f(np.float32)}, lambda x: _pair(x, np.float32(2.5))),
    ("complex(i, -0.0)", {"i": _ints(np.int16)}, lambda i: _pair(i.astype(np.float64), np.float64(-0.0))),
    ("complex(x, y).imag", {"x": _f(np.float64), "y": _f(np.float64)}, lambda x, y: y.copy()),
    *[("where((x - 10).real != 0.0, x, 2)", {"x": _c(t)}, lambda x: np.where((x - 10).real != 0.0, x, 2))
      for t in (np.complex128, np.complex64)],
    ("(x * 1j).imag", {"x": _f(np.float64)}, lambda x: (x * 1j).imag),
    ("(x + 1).real", {"x": _c(np.complex64)}, lambda x: (x + 1).real),
    ("x.real + x.imag", {"x": _c(np.complex128)}, lambda x: x.real + x.imag),
    ("(i + 1).imag", {"i": _ints(np.int32)}, lambda i: np.zeros(7, np.int32)),
    *[("fmod(i, j)", {"i": _ints(t), "j": _divisors(t)}, np.fmod) for t in
      (np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64)],
    ("fmod(i, 3)", {"i": _ints(np.int64)}, lambda i: np.fmod(i, 3)),
    *[("round(i)", {"i": _ints(t)}, np.round) for t in (np.int8, np.uint16, np.int64)],
    ("round(b)", {"b": np.array([True, False])}, np.round),
    ("round(x)", {"x": np.array([0.5, 1.5, -2.5], np.float32)}, np.round),
    ("+b", {"b": np.array([True, False])}, lambda b: b.copy()),
    ("+b & c", {"b": np.array([True, False]), "c": np.array([True, True])}, lambda b, c: b & c),
    *[(f"{name}(c)", {"c": _c(t)[2:4]}, getattr(np, name)) for name in ("prod", "min", "max")
      for t in (np.complex128, np.complex64)],
    *[(f"{name}(c)", {"c": np.array([1 + 2j, 1 - 3j, -1 + 5j, 2 + 0j], t)}, getattr(np, name))
      for name in ("prod", "min", "max") for t in (np.complex128, np.complex64)],
    ("max(c)", {"c": np.array([1 + 2j, complex(np.nan, 0), 3j])}, np.max),
    ("sum(1) * -1", {}, lambda: np.sum(1) * -1),
    ("x ** y", {"x": np.array([np.inf, -np.inf, 2], np.float32), "y": np.array([1 + 1j, 2j, 0.5], np.complex64)},
     lambda x, y: x**y),
]


@pytest.mark.parametrize(("text", "values", "numpy"), CASES, ids=[case[0] for case in CASES])
def test_gives_numpys_bits(text, values, numpy):
    with np.errstate(all="ignore"):
        expected = np.asarray(numpy(*values.values()))
    got = bm.evaluate(text, values)
    assert got.dtype == expected.dtype
    assert got.shape == expected.shape
    assert got.tobytes() == expected.tobytes()


def test_complex_takes_real_parts_only():
    with pytest.raises(bm.UnsupportedOperation) as error:
        bm.evaluate("complex(c, 1.0)", {"c": np.ones(2, complex)})
    assert str(error.value) == "complex() takes real parts, not complex values"


def test_unsupported_operation_is_what_numpy_and_numexpr_raise():
    assert issubclass(bm.UnsupportedOperation, TypeError)
    assert issubclass(bm.UnsupportedOperation, NotImplementedError)
    for text, values in [("~x", {"x": np.ones(2)}), ("x ^ 1.0", {"x": np.ones(2, np.float32)}),
                         ("x << y", {"x": np.ones(2), "y": np.ones(2)})]:
        with pytest.raises(bm.UnsupportedOperation):
            bm.evaluate(text, values)


@pytest.mark.parametrize(
    ("x", "y", "names"),
    [(np.ones(5), np.ones(3), "x, y"), (np.ones(5, np.int32), np.ones(3), "x, y"), (np.ones((2, 5)), np.ones(3), "x, y")],
)
def test_broadcast_errors_name_the_names(x, y, names):
    with pytest.raises(ValueError) as error:
        bm.evaluate("x + y", {"x": x, "y": y})
    assert str(error.value) == f"operands could not be broadcast together with shapes {x.shape} {y.shape} (of {names})"


def test_out_of_one_element_takes_a_0d_result():
    out = np.zeros(1)
    assert bm.evaluate("sum(a)", {"a": np.arange(5.0)}, out=out) is out
    assert out.tolist() == [10.0]
    counts = np.zeros(1, np.int32)
    assert bm.evaluate("1 + 2", out=counts) is counts and counts.tolist() == [3]
    with pytest.raises(ValueError) as error:
        bm.evaluate("a + 1", {"a": np.ones(3)}, out=np.zeros(1))
    assert str(error.value) == "out has shape (1,) but the result has shape (3,)"


def test_out_is_not_kept_alive():
    a = np.arange(1000.0)
    out = np.zeros(a.shape)
    held = weakref.ref(out)
    bm.evaluate("a + 1", {"a": a}, out=out)
    del out
    gc.collect()
    assert held() is None
    # re_evaluate then makes a new array.
    assert bm.re_evaluate({"a": np.ones(2)}).tolist() == [2.0, 2.0]


def test_re_evaluate_writes_into_a_live_out():
    out = np.zeros(3)
    assert bm.evaluate("a + 1", {"a": np.array([1.0, 2.0, 3.0])}, out=out) is out
    assert bm.re_evaluate({"a": np.array([4.0, 5.0, 6.0])}) is out
    assert out.tolist() == [5.0, 6.0, 7.0]


@pytest.mark.parametrize(
    ("text", "forbidden"),
    [("__builtins__", "__"), ("a.__class__", "__"), ("import os;", ";"), ("x = 1; x", ";"), ("a[:", "[")],
)
def test_sanitize_refuses_dunders_and_statements(text, forbidden, monkeypatch):
    with pytest.raises(ValueError) as error:
        bm.evaluate(text, {}, sanitize=True)
    assert str(error.value) == f"expression {text!r} holds {forbidden!r}, which sanitize refuses"
    # As numexpr reads its environment when sanitize is left out.
    monkeypatch.setenv("NUMEXPR_SANITIZE", "1")
    assert isinstance(bm.validate(text, {}), ValueError)
    with pytest.raises(ValueError) as error:
        bm.evaluate(text, {})
    assert str(error.value) == f"expression {text!r} holds {forbidden!r}, which sanitize refuses"


@pytest.mark.parametrize(
    "text", ["lambda x: x", 'locals()["evaluate"]', "os. cpu_count()", "(3+1).\u1d47it_length()", "a.b", "a1.b"]
)
def test_the_language_refuses_the_other_tricks_itself(text):
    with pytest.raises(ValueError):
        bm.evaluate(text, {"a": 1.0, "a1": 1.0, "os": 1.0}, sanitize=True)


@pytest.mark.parametrize(
    "text", ["a*2.e-5", "a*2e+5", "a*2E-5", "2.+a", "c.real", "c.imag", "1.5j+a", "3.j+a", "1.2e3+4.5e6j+a", ".5*a"]
)
def test_sanitize_lets_numbers_and_parts_through(text):
    assert bm.evaluate(text, {"a": 3.0, "c": 2.5 + 1.5j}, sanitize=True) is not None


def test_sanitize_off_leaves_python_its_syntax_error(monkeypatch):
    with pytest.raises(SyntaxError):
        bm.evaluate("import os;", {}, sanitize=False)
    with pytest.raises(SyntaxError):
        bm.evaluate("import os;", {})
    monkeypatch.setenv("NUMEXPR_SANITIZE", "0")
    with pytest.raises(SyntaxError):
        bm.evaluate("import os;", {})
    assert bm.evaluate("__x + 1", {"__x": 1.0}) == 2.0


def test_numexpr_takes_arrays_in_signature_order():
    f = bm.NumExpr("a - b", [("b", float), ("a", float)])
    assert f.input_names == ("b", "a")
    assert f(np.array([1.0]), np.array([3.0])).tolist() == [2.0]
    g = bm.NumExpr("b - a")
    assert g.input_names == ("a", "b")
    assert g(np.int32(1), np.arange(3, dtype=np.int32)).dtype == np.int32
    with pytest.raises(NameError):
        bm.NumExpr("a + c", [("a", float)])


def test_vml_is_not_used(capsys):
    assert bm.use_vml is False
    assert bm.get_vml_version() is None
    assert bm.set_vml_accuracy_mode("high") is None
    assert bm.set_vml_num_threads(2) is None
    bm.print_versions()
    printed = capsys.readouterr().out
    assert f"brindlemox version: {bm.__version__}" in printed
    assert "VML available?      False" in printed


def test_go_with_a_missing_name_is_a_name_error():
    with pytest.raises(NameError):
        bm.go("zz + 1", x=np.ones(2)).result(timeout=60)
