# Expression text: what parses, what is refused and with which words, caching.
import os
from collections import defaultdict
from collections.abc import Mapping

import numpy as np
import pytest

import _brindlemox as ext

import brindlemox as bm
from brindlemox import _calls, _compiled, _parse, _registry, _text, _typed_eval
from conftest import SANITIZED, bits, go_values, run_python

pytestmark = pytest.mark.numpy

X = np.array([-1.5, -0.0, 0.0, 2.0, np.nan, np.inf])
Y = np.array([2.0, 3.0, -1.0, 0.5, 1.0, -np.inf])
NAMES = {"x": X, "y": Y}


with np.errstate(all="ignore"):
    NUMPY_CASES = [
        ("x + y * 2 - y / 4", X + Y * 2 - Y / 4),
        ("x ** 2", X**2),
        ("-x", -X),
        ("+x", X),
        ("x < y", (X < Y) * 1.0),
        ("x <= y", (X <= Y) * 1.0),
        ("x > y", (X > Y) * 1.0),
        ("x >= y", (X >= Y) * 1.0),
        ("x == y", (X == Y) * 1.0),
        ("x != y", (X != Y) * 1.0),
        ("(x < y) & (y > 0)", ((X < Y) & (Y > 0)) * 1.0),
        ("(x < y) | (y > 0)", ((X < Y) | (Y > 0)) * 1.0),
        ("~(x < y)", (~(X < Y)) * 1.0),
        ("x < y < 3", ((X < Y) & (Y < 3)) * 1.0),
        ("where(x > 0, x, 0)", np.where(X > 0, X, 0.0)),
        ("sqrt(abs(x))", np.sqrt(np.abs(X))),
        ("floor(x) + ceil(y)", np.floor(X) + np.ceil(Y)),
        ("isnan(x) + isinf(y) * 2 + isfinite(x) * 4", np.isnan(X) + np.isinf(Y) * 2.0 + np.isfinite(X) * 4.0),
        ("trunc(x * 0.7) + sign(y)", np.trunc(X * 0.7) + np.sign(Y)),
        ("clip(x, -1, 1)", np.clip(X, -1.0, 1.0)),
    ]


@pytest.mark.parametrize(("text", "reference"), NUMPY_CASES)
def test_text_matches_numpy(text, reference):
    assert bits(bm.evaluate(text, NAMES)) == bits(reference)


# Transcendental functions are the platform's libm, which NumPy may not use:
# the reference is the low-level path.
@pytest.mark.parametrize(
    ("text", "build"),
    [
        ("exp(y) - log(abs(y))", lambda k, x, y: k.exp(y) - k.log(k.abs(y))),
        ("sin(x) * cos(y) + tan(x)", lambda k, x, y: k.sin(x) * k.cos(y) + k.tan(x)),
        ("log2(abs(x)) + log10(abs(y))", lambda k, x, y: k.log2(k.abs(x)) + k.log10(k.abs(y))),
        ("arctan2(x, y) + atan2(y, x)", lambda k, x, y: k.atan2(x, y) + k.atan2(y, x)),
        ("pow(x, y) + x ** 0.5", lambda k, x, y: k.pow(x, y) + k.sqrt(x)),
        (
            "round(x * 2.5) + min(x, y) - max(y, x)",
            lambda k, x, y: ext._unary("RoundEven", x * 2.5) + ext._binary("Minimum", x, y)
            - ext._binary("Maximum", y, x),
        ),
        ("minimum(x, 1) + fmax(2, y)", lambda k, x, y: ext._binary("Minimum", x, x**0 * 1) + k.max(y**0 * 2, y)),
    ],
)
def test_text_matches_the_low_level_path(text, build):
    assert bits(bm.evaluate(text, NAMES)) == bits(go_values(build, x=X, y=Y))


def test_truth_of_where_and_conditions_counts_nan_as_true():
    cond = np.array([0.0, -0.0, np.nan, 2.0])
    assert bm.evaluate("where(c, 1, 2)", {"c": cond}).tolist() == [2, 2, 1, 1]
    assert bm.evaluate("where(c, x, 2)", {"c": cond, "x": 1.5}).tolist() == [2.0, 2.0, 1.5, 1.5]
    # `~` and `&` are NumPy's bitwise operators, which floats do not have.
    for text in ("~c", "c & 1"):
        with pytest.raises(TypeError, match="not supported for the input types"):
            bm.evaluate(text, {"c": cond})


@pytest.mark.parametrize(
    ("text", "value"),
    [
        ("2 + 3", np.int64(5)),
        ("sqrt(4) * -0.0", -0.0),
        ("1 < 2", np.True_),
        ("~1", np.int64(-2)),
        ("True + 1", np.int64(2)),
        ("clip(5, 0, 1)", np.int64(1)),
        ("2.5 * 2", 5.0),
    ],
)
def test_constant_text_gives_a_0d_array(text, value):
    # Python's own arithmetic between Python numbers, as the same line in
    # Python with NumPy gives.
    result = bm.evaluate(text)
    assert result.shape == () and result.dtype == np.asarray(value).dtype
    assert result.tobytes() == np.asarray(value).tobytes()


@pytest.mark.parametrize(
    ("text", "construct"),
    [
        ("x @ y", "'@' (matrix multiplication)"),
        ("x.conj", "attribute access"),
        ("x[0]", "subscript"),
        ("sqrt(x=1)", "keyword argument"),
        ("None", "None"),
        ("f'{x}'", "string"),
        ("lambda: 1", "lambda"),
        ("x and y", "'and' (use '&')"),
        ("x or y", "'or' (use '|')"),
        ("not x", "'not' (use '~')"),
        ("x if y else 2", "conditional expression (use where)"),
        ("x is y", "'is'"),
        ("x in y", "'in'"),
        ("x < 'a' in y", "'in'"),
        ("x in 'a'", "'in'"),
        ("(x, y)", "tuple"),
        ("[x]", "list"),
        ("None", "None"),
        ("sqrt(*x)", "starred argument"),
        ("[a for a in x]", "ListComp"),
    ],
)
def test_unsupported_constructs_are_named(text, construct):
    with pytest.raises(ValueError) as raised:
        bm.evaluate(text, NAMES)
    assert str(raised.value) == f"unsupported construct in expression: {construct}"


def test_unknown_function_lists_the_supported_ones():
    with pytest.raises(ValueError) as raised:
        bm.evaluate("nosuch(x)", NAMES)
    supported = ", ".join(sorted({*_registry.TEXT_FUNCTIONS, *_text.TEXT_REDUCTIONS, *_text.TEXT_ONLY}))
    assert str(raised.value) == f"unknown function 'nosuch'; supported functions: {supported}"
    assert supported.startswith("abs, arccos, arccosh, arcsin, arcsinh, arctan, arctan2, arctanh, atan2, bitwise_and, ")


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("sqrt(x, y)", "sqrt() takes 1 argument (2 given)"),
        ("where(x)", "where() takes 3 arguments (1 given)"),
        ("clip(x, 1)", "clip() takes 3 arguments (2 given)"),
        ("max(x, y, x)", "max() takes 1 or 2 arguments (3 given)"),
    ],
)
def test_wrong_argument_count_is_type_error(text, message):
    with pytest.raises(TypeError) as raised:
        bm.evaluate(text, NAMES)
    assert str(raised.value) == message


def test_malformed_text_is_pythons_syntax_error():
    with pytest.raises(SyntaxError):
        bm.evaluate("x +", NAMES)


@pytest.mark.parametrize("text", ["sum(x, axis=0, axis=1)", "sqrt(x=1, x=2)", "max(x,\n axis=0, axis=(0,))",
                                  "x + mean(y, axis=0, axis=0)"])
@pytest.mark.parametrize("dtype", ["float64", "int32"])
def test_a_repeated_keyword_is_pythons_syntax_error(text, dtype):
    with pytest.raises(SyntaxError) as expected:
        compile(text, "<unknown>", "eval")
    names = {name: np.ones((2, 2), dtype) for name in "xy"}
    with pytest.raises(SyntaxError) as raised:
        bm.evaluate(text, names)
    error, python = raised.value, expected.value
    assert (error.msg, error.filename, error.text) == (python.msg, "<unknown>", text.splitlines()[python.lineno - 1])
    assert (error.lineno, error.offset, error.end_lineno, error.end_offset) == (
        python.lineno, python.offset, python.end_lineno, python.end_offset)  # fmt: skip
    assert type(bm.validate(text, names)) is SyntaxError


class Probe:
    """A value that records every attribute looked up on it."""

    def __init__(self):
        object.__setattr__(self, "looked_up", [])

    def __getattribute__(self, name):
        object.__getattribute__(self, "looked_up").append(name)
        return object.__getattribute__(self, name)


@pytest.mark.parametrize("text", [
    "not probe", "probe is x", "probe in x", "x @ probe", "sin(x=probe)", "sum(x, axis=probe)", "sum(x, probe)",
    "sin(x, probe)", "probe + f'{x}'", "(probe, x)", "probe if x else x", "probe.conj", "probe and x", "nosuch(probe)",
    "sum(probe, keepdims=True)", "x + (probe := x)", "sqrt(*probe)",
])  # fmt: skip
@pytest.mark.parametrize("dtype", ["float64", "int32"])
def test_text_is_refused_before_any_value_is_read(text, dtype):
    probe = Probe()
    names = {"x": np.ones(3, dtype), "probe": probe}
    with pytest.raises((ValueError, TypeError)):
        bm.evaluate(text, names)
    assert isinstance(bm.validate(text, names), (ValueError, TypeError))
    with pytest.raises((ValueError, TypeError)):
        bm.go(text, x=names["x"], probe=probe)
    assert object.__getattribute__(probe, "looked_up") == []


def test_names_the_text_does_not_use_are_not_read():
    probe = Probe()
    bm.evaluate("x + 1", {"x": np.ones(3), "probe": probe})
    assert object.__getattribute__(probe, "looked_up") == []


def test_unknown_name_is_name_error():
    with pytest.raises(NameError) as raised:
        bm.evaluate("x + q", NAMES)
    assert str(raised.value) == "name 'q' is not defined"
    assert raised.value.name == "q"


def test_huge_integer_literal_is_refused():
    with pytest.raises(OverflowError) as raised:
        bm.evaluate("x + " + "9" * 400, NAMES)
    with pytest.raises(OverflowError) as numpy_raised:
        NAMES["x"] + int("9" * 400)
    assert str(raised.value) == str(numpy_raised.value)


def test_names_come_from_the_callers_frame_without_keeping_it():
    import gc
    import weakref

    class Marker:
        pass

    def caller():
        marker = Marker()
        a = np.array([1.0, 2.0])
        b = 3
        return bm.evaluate("a * b"), weakref.ref(marker)

    result, marker = caller()
    gc.collect()
    assert result.tolist() == [3.0, 6.0]
    assert marker() is None


def test_local_dict_shadows_global_dict_and_frame_is_not_used():
    a = np.array([100.0])  # noqa: F841 (must not be found)
    assert bm.evaluate("a + b", {"a": [1.0]}, {"a": [5.0], "b": 2}).tolist() == [3.0]
    with pytest.raises(NameError):
        bm.evaluate("a", global_dict={})


class LazyNames(Mapping):
    """Makes each value when asked; lists nothing, so it is empty and falsy."""

    def __getitem__(self, name):
        if name not in NAMES:
            raise KeyError(name)
        return NAMES[name]

    def __iter__(self):
        return iter(())

    def __len__(self):
        return 0


@pytest.mark.parametrize(
    "local_dict, global_dict, y",
    [
        (defaultdict(lambda: Y, x=X), None, Y),
        # Empty, so falsy: it still answers every name, before global_dict.
        (defaultdict(lambda: X), {"y": Y}, X),
        (LazyNames(), None, Y),
        ({}, LazyNames(), Y),
        (None, LazyNames(), Y),
    ],
    ids=["defaultdict", "empty defaultdict", "lazy local", "lazy global", "lazy global alone"],
)
def test_names_are_looked_up_by_indexing_as_numexpr_does(local_dict, global_dict, y):
    assert bits(bm.evaluate("x * y", local_dict, global_dict)) == bits(X * y)


@pytest.mark.parametrize("text", [np.str_("x * 2"), type("Text", (str,), {})("x * 2")])
def test_text_may_be_a_str_subclass(text):
    assert type(text) is not str
    assert bits(bm.evaluate(text, NAMES)) == bits(X * 2)


def test_text_is_parsed_once_and_scalars_do_not_make_new_kernels():
    text = "x * s + 0.25"
    _compiled.compile_text.cache_clear()
    _typed_eval.typed_plan.cache_clear()
    _calls.forget()
    # A new kind of value (float, int, float32) is typed once; a new value is
    # not, and finds the way of the call before it without asking again.
    for s in (1.0, 2.0, 3, 4, np.float32(4.0), np.float32(5.0)):
        bm.evaluate(text, {"x": X, "s": s})
    info = _typed_eval.typed_plan.cache_info()
    assert (info.misses, info.hits) == (3, 0)
    info = _compiled.compile_text.cache_info()
    assert info.misses == 1
    assert bm.evaluate(text, {"x": X, "s": 2.0}) is not bm.evaluate(text, {"x": X, "s": 2.0})


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads the resident size from /proc")
@pytest.mark.skipif(SANITIZED, reason="ASan holds freed memory in quarantine")
# Seconds of compiling when idle, many times that beside other work: the
# child's deadline only guards against a hang.
@pytest.mark.timeout(600)
def test_memory_stays_bounded_over_distinct_texts():
    # Each distinct text compiles a kernel of about 460 bytes: kept forever,
    # 20,000 texts would add about 9 MiB.
    result = run_python(
        """
        import os
        import numpy as np
        import brindlemox as bm
        from brindlemox import _compiled

        def resident():
            with open("/proc/self/statm") as statm:
                return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

        x = np.ones(4)
        for i in range(2_000):
            bm.evaluate(f"x * 0.5 + {i}.75")
        before = resident()
        for i in range(20_000):
            bm.evaluate(f"x * 0.5 + {i}.25")
        info = _compiled.compile_text.cache_info()
        print(resident() - before, info.currsize, info.maxsize)
        """,
        timeout=540,
    )
    assert result.returncode == 0, result.stderr
    grown, size, bound = map(int, result.stdout.split())
    assert size == bound == _compiled.TEXT_CACHE_SIZE
    assert grown < 2 * 2**20


def test_long_sums_parse_without_deep_recursion():
    terms = 2500
    text = " + ".join(f"x * {i}" for i in range(terms))
    assert bm.evaluate(text, {"x": np.array([1.0, -0.5])}).tolist() == [
        float(sum(range(terms))),
        -float(sum(range(terms))) / 2,
    ]


def test_arguments_are_ordered_by_first_appearance():
    kernel = _compiled.compile_text("b * a + b - c")
    assert kernel.names == ("b", "a", "c")


def test_hostile_texts_raise_instead_of_crashing():
    # Unary and power chains nest without parentheses, comparison chains build
    # one deep tree: each ends in a Python exception, never in a crash.
    result = run_python(
        """
        import numpy as np
        import brindlemox as bm
        texts = ["-" * 100_000 + "x", "~" * 5_000 + "x", "x" + " ** x" * 100_000, "(" * 100_000 + "x" + ")" * 100_000,
                 "-" * 900 + "x", "sin(" * 150 + "x" + ")" * 150]
        for text in texts:
            try:
                bm.evaluate(text, {"x": np.ones(2)})
                print("value")
            except (SyntaxError, RecursionError, MemoryError) as error:
                print(type(error).__name__)
        print(bm.evaluate("x" + " < x" * 20_000, {"x": np.ones(2)}).tolist())
        """
    )
    assert result.returncode == 0, result.stderr
    kinds = result.stdout.split("\n")
    assert set(kinds[:4]) <= {"SyntaxError", "RecursionError", "MemoryError"}
    assert kinds[4] in ("value", "RecursionError") and kinds[5] == "value"
    assert kinds[6:] == ["[False, False]", ""]


@pytest.mark.parametrize(
    "text, ufunc", [("x ^ y", np.bitwise_xor), ("x << y", np.left_shift), ("x >> y", np.right_shift)]
)
def test_integer_operators_are_refused_with_numpys_words_for_floats(text, ufunc):
    with pytest.raises(TypeError) as numpy_error:
        ufunc(np.ones(1), np.ones(1))
    with pytest.raises(TypeError) as error:
        bm.evaluate(text, {"x": 1.0, "y": 2.0})
    assert str(error.value) == str(numpy_error.value)


@pytest.mark.parametrize("name", ["complex", "contains"])
def test_functions_of_text_alone_have_no_float64_value(name):
    with pytest.raises(ValueError) as error:
        _parse.parse(f"{name}(x, y)")
    assert str(error.value) == f"unsupported construct in float64 expression: {name}()"
