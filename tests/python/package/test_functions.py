# The list of elementwise functions: every entry is exported, known to the
# expression text, pickles by name and gives NumPy's answers; every engine
# operator is reached by some entry or Python operator.
import builtins
import inspect
import itertools
import pathlib
import pickle
import re

import numpy as np
import pytest

import _brindlemox as ext
import brindlemox as bm
from brindlemox import _functions, _registry
from conftest import bits

pytestmark = pytest.mark.numpy

NAMES = list(_registry.FUNCTIONS)
# Each function once, under the name it was made with (aliases left out).
MADE = {_registry.entry(function).name: function for function in _registry.FUNCTIONS.values()}

TINY = np.finfo(np.float64).smallest_subnormal
HUGE = np.finfo(np.float64).max
# Signed zeros, halves, subnormals, the largest finite, infinities, NaN, and
# the domain edges (arccosh(1), arctanh(+-1), log1p(-1), fmod(x, 0), ...).
SPECIAL = [0.0, -0.0, 0.5, -0.5, 1.0, -1.0, 2.5, -2.5, 3.0, 1e-300, -1e300, np.inf, -np.inf, np.nan]
SPECIAL += [TINY, -TINY, np.finfo(np.float64).smallest_normal, HUGE, -HUGE, np.nextafter(1.0, 2.0), 710.0]


def samples(arity):
    """Operand columns: every combination of special and random values."""
    rng = np.random.default_rng(arity)
    count = {1: 400, 2: 8, 3: 2}[arity]
    values = SPECIAL + list(rng.standard_normal(count) * 10.0 ** rng.integers(-3, 4, count))
    return [np.array(column) for column in zip(*itertools.product(values, repeat=arity))]


# The reference of each function whose answers NumPy has no function for.
REFERENCES: dict = {}
# Functions that return one of two equal operands: which zero NumPy returns
# for -0.0 against 0.0 depends on its code path (scalar or SIMD).
ZERO_TIES = {"minimum", "maximum", "fmin", "fmax", "clip"}
BITWISE = {"bitwise_and", "bitwise_or", "bitwise_xor", "invert"}


def assert_close(got, want, ulps, zero_ties=False):
    """NaN where `want` is NaN; elsewhere equal bits, or within `ulps` units
    in the last place with the same sign; any zero for a zero with `zero_ties`."""
    nan = np.isnan(want) | (zero_ties & (want == 0.0) & (got == 0.0))
    assert np.array_equal(np.isnan(got), np.isnan(want))
    got, want = got[~nan], want[~nan]
    magnitude = np.uint64(0x7FFF_FFFF_FFFF_FFFF)
    got_bits, want_bits = ((v.view(np.uint64) & magnitude).astype(np.int64) for v in (got, want))
    distance = np.abs(got_bits - want_bits)
    near = (np.signbit(got) == np.signbit(want)) & (distance <= ulps)
    assert near.all(), f"first miss: {got[~near][0]!r} vs {want[~near][0]!r}"


def test_every_public_name_of_the_list_is_a_function_the_package_exports():
    public = [name for name in vars(_functions) if not name.startswith("_")]
    assert public == NAMES
    assert len(bm.__all__) == len(set(bm.__all__))
    for name in NAMES:
        assert (name in bm.__all__) != hasattr(builtins, name) and getattr(bm, name) is _registry.FUNCTIONS[name]
    assert {"where_", "atan2", "min", "max"} <= set(_registry.TEXT_FUNCTIONS)


@pytest.mark.parametrize("name", MADE)
def test_function_looks_like_a_plain_function(name):
    function = MADE[name]
    entry = _registry.entry(function)
    assert (function.__name__, function.__qualname__, function.__module__) == (name, name, "brindlemox._functions")
    parameters = inspect.signature(function).parameters.values()
    assert [p.kind for p in parameters] == [inspect.Parameter.POSITIONAL_ONLY] * entry.arity
    assert "\n\n    Examples\n    --------\n    >>> import brindlemox as bm\n" in function.__doc__
    assert pickle.loads(pickle.dumps(function)) is function


@pytest.mark.parametrize("name", MADE)
def test_function_gives_numpys_answers_from_the_builder_text_and_numbers(name):
    function = MADE[name]
    entry = _registry.entry(function)
    columns = samples(entry.arity)
    if name in BITWISE:
        # Defined for integers only, as in NumPy: small ones of both signs.
        columns = [np.fmod(np.nan_to_num(column, posinf=7, neginf=-7), 1000).astype(np.int64) for column in columns]
    names = ["a", "b", "c"][: entry.arity]
    built = bm.kernel(function(*bm.args(*names)))(*columns)
    with np.errstate(all="ignore"):
        if entry.numpy is None:
            want = REFERENCES[name](*columns)
        else:
            want = getattr(np, entry.numpy)(*columns)
    # The kernel gives NumPy's dtype (predicates give booleans), the text the kernel's bits.
    assert built.dtype == np.asarray(want).dtype
    for text_name in [name, *entry.text_names]:
        text = bm.evaluate(f"{text_name}({', '.join(names)})", dict(zip(names, columns)))
        assert text.dtype == built.dtype and bits(text) == bits(built)
    # Numbers alone fold to the kernel's own bits.
    for index in range(0, built.size, 97):
        assert bits(np.asarray(function(*(column[index] for column in columns)), built.dtype)) == bits(built[index])
    built = built.astype(np.float64)
    assert_close(built, np.asarray(want, dtype=np.float64), entry.ulps, name in ZERO_TIES)


def test_functions_without_a_numpy_counterpart_have_a_reference():
    assert {name for name, function in MADE.items() if _registry.entry(function).numpy is None} == set(REFERENCES)
    assert ZERO_TIES <= set(MADE)


def test_every_engine_operator_is_reached():
    args = bm.args("a", "b", "c")
    built = [function(*args[: _registry.entry(function).arity]) for function in MADE.values()]
    a, b = args[:2]
    built += [-a, abs(a), a + b, a - b, a * b, a / b, a**b]
    # Rounding halves away from zero is the extension's own `round`.
    built.append(ext._KernelModule().round(a))
    reached = {op for expr in built for op in re.findall(r"(?:Unary|Binary)\((\w+),", repr(expr))}
    assert reached == set(ext._UNARY_OPS) | set(ext._BINARY_OPS)


@pytest.mark.parametrize("text, ufunc", [("a % b", np.remainder), ("a // b", np.floor_divide)])
def test_remainder_and_floor_division_give_numpys_bits_for_every_special_pair(text, ufunc):
    a, b = (np.array(column) for column in zip(*itertools.product(SPECIAL, repeat=2)))
    with np.errstate(all="ignore"):
        want = ufunc(a, b)
    assert bits(bm.evaluate(text, {"a": a, "b": b})) == bits(want)


def test_the_readme_points_at_the_generated_function_table_instead_of_keeping_one():
    root = pathlib.Path(__file__).resolve().parents[3]
    section = (root / "README.md").read_text().split("### Functions\n", 1)[1].split("\n## ", 1)[0]
    assert "| Function |" not in section and "(docs/language.rst)" in section
    assert ".. brindlemox:: functions" in (root / "docs" / "language.rst").read_text()


def test_every_operator_survives_pickling():
    args = bm.args("a", "b", "c")
    for function in MADE.values():
        built = function(*args[: _registry.entry(function).arity])
        # Unpickled arguments are new ones, with ids of their own.
        shape = [re.sub(r"ArgRef\(\d+\)", "ArgRef", repr(expr)) for expr in (built, pickle.loads(pickle.dumps(built)))]
        assert shape[0] == shape[1]


def test_cbrt_is_within_one_ulp_of_the_exact_root_in_every_form():
    mpmath = pytest.importorskip("mpmath")
    rng = np.random.default_rng(3)
    x = rng.standard_normal(3000) * 10.0 ** rng.integers(-320, 308, 3000).astype(float)
    x = np.concatenate([x, [5e-324, -5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 27.0, -8.0, 3.0]])
    forms = [bm.evaluate("cbrt(x)", {"x": x}), bm.kernel(lambda v: bm.cbrt(v))(x)]
    with mpmath.workprec(160):
        exact = np.array([float(mpmath.sign(v) * mpmath.cbrt(abs(mpmath.mpf(float(v))))) for v in x])
    for got in forms:
        assert bits(got) == bits(forms[0])
        assert np.all(np.abs(got - exact) <= np.spacing(np.abs(exact)))
    assert bits([bm.cbrt(float(v)) for v in x[:200]]) == bits(forms[0][:200])
    special = np.array([0.0, -0.0, np.inf, -np.inf, np.nan])
    assert bits(bm.evaluate("cbrt(x)", {"x": special})) == bits(np.cbrt(special))
    small = (rng.standard_normal(500) * 10.0 ** rng.integers(-44, 38, 500).astype(float)).astype(np.float32)
    got32 = bm.evaluate("cbrt(x)", {"x": small})
    assert got32.dtype == np.float32 and np.all(np.abs(got32 - np.cbrt(small)) <= np.spacing(np.abs(np.cbrt(small))))


BINARY = [name for name, function in MADE.items() if _registry.entry(function).arity == 2 and name not in BITWISE]


@pytest.mark.parametrize("number", [2.5, -0.0, np.inf, np.nan])
@pytest.mark.parametrize("name", BINARY)
def test_a_number_beside_an_expression_gives_the_bits_of_an_array_of_it(name, number):
    function = MADE[name]
    column = np.array(SPECIAL * 40)
    repeated = np.full_like(column, number)
    both = bm.kernel(function(*bm.args("a", "b")))
    with np.errstate(all="ignore"):
        assert bits(bm.kernel(function(bm.arg("a"), number))(column)) == bits(both(column, repeated))
        assert bits(bm.kernel(function(number, bm.arg("b")))(column)) == bits(both(repeated, column))


@pytest.mark.parametrize(("function", "op"), [(bm.floor_divide, "FloorDiv"), (bm.remainder, "Mod"), (bm.arctan2, "Atan2")])
def test_a_number_operand_of_an_operator_is_a_constant_of_its_tree(function, op):
    assert re.fullmatch(rf"Expr\(Binary\({op}, ArgRef\(\d+\), Const\(2\.5\)\)\)", repr(function(bm.arg("x"), 2.5)))
    assert re.fullmatch(rf"Expr\(Binary\({op}, Const\(2\.5\), ArgRef\(\d+\)\)\)", repr(function(2.5, bm.arg("x"))))
