"""Expression text over NumPy's element types, with NumPy as the oracle: the
same text evaluated by Python over the same arrays (NumPy's operators and
functions) gives the dtype, the values and the errors we must give."""

import ast
import itertools
import random

import numpy as np
import pytest

import brindlemox as bm
from conftest import SANITIZED, run_python
from brindlemox._registry import TEXT_FUNCTIONS, entry

# The package types as NumPy 2 does (Python numbers are weak), which NumPy 1,
# the oracle here, does not.
pytestmark = [
    pytest.mark.numpy,
    pytest.mark.skipif(np.lib.NumpyVersion(np.__version__) < "2.0.0", reason="NumPy 1 promotes by value"),
]

DTYPES = [np.dtype(name) for name in (
    "bool", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64",
    "float16", "float32", "float64", "complex64", "complex128",
)]  # fmt: skip

_SPECIAL = {"where": np.where, "clip": np.clip, "copy": np.copy, "real": np.real, "imag": np.imag}
NUMPY = {
    name: _SPECIAL.get(entry(function).name) or getattr(np, entry(function).numpy)
    for name, function in TEXT_FUNCTIONS.items()
    if entry(function).name != "ones_like"
}


def sample(dtype, n, seed):
    """n values of `dtype` with its extremes, zeros, and for floats NaN,
    infinities and signed zeros, among random ones."""
    rng = np.random.default_rng(seed)
    if dtype.kind == "b":
        return rng.integers(0, 2, n).astype(bool)
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        special = [info.min, info.max, 0, 1, 2, 7] + ([-1, -7] if dtype.kind == "i" else [])
        values = rng.integers(info.min, info.max, n, dtype=dtype, endpoint=True)
        small = rng.integers(-9 if dtype.kind == "i" else 0, 10, n).astype(dtype)
        values = np.where(rng.random(n) < 0.5, small, values)
    else:
        real = dtype if dtype.kind == "f" else np.dtype(f"f{dtype.itemsize // 2}")
        special = [np.nan, np.inf, -np.inf, 0.0, -0.0, 1.0, -2.5, 7.0]
        values = (rng.standard_normal(n) * 10.0 ** rng.integers(-3, 4, n)).astype(real)
        if dtype.kind == "c":
            values = values + 1j * rng.standard_normal(n).astype(real)
    values = values.astype(dtype)
    values[: len(special)] = np.array(special).astype(dtype)[:n]
    if dtype.kind == "c":
        values.imag[len(special) : 2 * len(special)] = np.array(special)[: max(0, n - len(special))]
    return values


def same(ours, expected, ulps=0):
    """Equal dtype and shape, and equal values: bit for bit (NaN as NaN)
    unless `ulps` allows floats that far from NumPy's (complex values: units
    in the last place of their magnitude, or of each part where one is not
    finite)."""
    assert ours.dtype == expected.dtype and ours.shape == expected.shape
    if expected.dtype.kind in "biu":
        assert np.array_equal(ours, expected)
        return
    nan = np.isnan(expected)
    assert np.array_equal(np.isnan(ours), nan)
    mine, theirs = ours[~nan], expected[~nan]
    if ulps == 0:
        assert mine.tobytes() == theirs.tobytes()
        return
    finite = np.isfinite(theirs)
    if expected.dtype.kind == "c":
        same(mine[~finite].real.copy(), theirs[~finite].real.copy(), ulps)
        same(mine[~finite].imag.copy(), theirs[~finite].imag.copy(), ulps)
    else:
        assert np.array_equal(mine[~finite], theirs[~finite])
    size = np.abs(theirs[finite])
    error = np.abs(mine[finite].astype(np.complex128) - theirs[finite]) / np.spacing(size)
    assert error.max(initial=0.0) <= ulps


def numpy_answer(text, names):
    with np.errstate(all="ignore"):
        try:
            return eval(text, {"__builtins__": {}}, {**NUMPY, **names}), None  # noqa: S307
        except Exception as error:
            return None, error


_WIDER = {np.dtype(np.float16): np.float64, np.dtype(np.float32): np.float64, np.dtype(np.complex64): np.complex128}


def check(text, names, ulps=0, widened=False):
    """Our answer against NumPy's; `widened` compares the values with NumPy's
    answer in float64 (complex128) rounded once to the result's type, the
    correctly rounded result as near as NumPy's float64 functions give it.
    The same line traced into a kernel gives the text's answer, bit for bit."""
    expected, error = numpy_answer(text, names)
    if error is not None:
        # NumPy's TypeError for a missing loop is an UnsupportedOperation here.
        kind = bm.UnsupportedOperation if isinstance(error, TypeError) and "loop" in str(error) else type(error)
        with pytest.raises(kind):
            bm.evaluate(text, dict(names))
        check_traced(text, names, kind)
        return
    expected = np.asarray(expected)
    if widened and expected.dtype in _WIDER:
        wide = {name: value.astype(_WIDER.get(value.dtype, value.dtype)) for name, value in names.items()}
        expected = np.asarray(numpy_answer(text, wide)[0]).astype(expected.dtype)
    ours = bm.evaluate(text, dict(names))
    same(ours, expected, ulps)
    check_traced(text, names, ours)


def traceable(text):
    """Whether Python runs `text` on `Expr`s as the text means it: `Expr` has
    no `//`, `%`, `<<`, `>>`, a comparison chain asks an `Expr` for its truth,
    and a function of numbers alone is folded to a float where the text has
    NumPy's scalar."""
    tree = ast.parse(text, mode="eval")
    for node in ast.walk(tree):
        if isinstance(node, ast.BinOp) and isinstance(node.op, (ast.FloorDiv, ast.Mod, ast.LShift, ast.RShift)):
            return False
        if isinstance(node, ast.Compare) and len(node.ops) > 1:
            return False
        if isinstance(node, (ast.Call, ast.Expression)) and not any(isinstance(n, ast.Name) for n in ast.walk(node)
                                                                    if n is not getattr(node, "func", None)):
            return False
    return True


class _Functional(ast.NodeTransformer):
    """`&`, `|`, `^` and `~` as the functions a traced kernel calls for them."""

    NAMES = {ast.BitAnd: "bitwise_and", ast.BitOr: "bitwise_or", ast.BitXor: "bitwise_xor", ast.Invert: "invert"}

    def visit_BinOp(self, node):
        node = self.generic_visit(node)
        name = self.NAMES.get(type(node.op))
        return node if name is None else ast.Call(ast.Name(name, ast.Load()), [node.left, node.right], [])

    def visit_UnaryOp(self, node):
        node = self.generic_visit(node)
        name = self.NAMES.get(type(node.op))
        return node if name is None else ast.Call(ast.Name(name, ast.Load()), [node.operand], [])


def functional(text):
    """`text` with its `&`, `|`, `^` and `~` written as the functions a traced kernel calls."""
    return ast.unparse(_Functional().visit(ast.parse(text, mode="eval")))


def check_traced(text, names, want):
    """The kernel traced from `lambda <names>: <text>` over `names` gives `want`
    (an array, bit for bit) or raises it (an exception type)."""
    if not traceable(text):
        return
    function = eval(f"lambda {', '.join(names)}: {functional(text)}", {"__builtins__": {}, **TEXT_FUNCTIONS})  # noqa: S307
    if isinstance(want, type):
        # Python refuses operators on numbers alone as it traces.
        with pytest.raises(want):
            bm.kernel(function)(**names)
        return
    same(bm.kernel(function)(**names), want)


BINARY = ["+", "-", "*", "/", "//", "%", "**", "&", "|", "^", "<<", ">>", "<", "<=", "==", "!=", ">", ">="]


@pytest.mark.parametrize("op", BINARY)
@pytest.mark.parametrize("dtype", DTYPES, ids=str)
def test_operators_give_numpys_dtype_values_and_errors(op, dtype):
    a, b = sample(dtype, 64, 1), sample(dtype, 64, 2)
    # Powers stay small and non-negative where NumPy would refuse or the
    # libm's pow rounds differently from NumPy's integer loop.
    if op == "**":
        b = np.abs(b) % 5 if dtype.kind in "iu" else b
    # NumPy's complex loops may fuse multiplications and additions, and its
    # powers are its own: both within a few units in the last place.
    ulps = 4 if op == "**" or op in ("*", "/") and dtype.kind == "c" else 0
    texts = [f"a {op} b", f"a {op} 3", f"2.5 {op} a"] + ([f"(a {op} b) {op} a"] if op != "**" else [])
    for text in texts:
        check(text, {"a": a, "b": b}, ulps, widened=op == "**")


@pytest.mark.parametrize("dtype", DTYPES, ids=str)
def test_comparison_chains_join_their_terms_as_python_does(dtype):
    a, b = sample(dtype, 64, 1), sample(dtype, 64, 2)
    with np.errstate(all="ignore"):
        expected = (0 < a) & (a <= b) & (b != 3)
    same(bm.evaluate("0 < a <= b != 3", {"a": a, "b": b}), expected)


PAIRS = [(x, y) for x, y in itertools.product(DTYPES, DTYPES) if x != y]


@pytest.mark.parametrize(("left", "right"), random.Random(5).sample(PAIRS, 40), ids=str)
def test_mixed_types_promote_as_numpy(left, right):
    names = {"a": sample(left, 40, 3), "b": sample(right, 40, 4)}
    ulps = 4 if "c" in (left.kind, right.kind) else 0
    for text in ("a + b", "a * b - a", "a < b", "where(a > b, a, b)", "a == b"):
        check(text, names, ulps)


UNARY = [name for name in TEXT_FUNCTIONS if entry(TEXT_FUNCTIONS[name]).arity == 1 and name in NUMPY]


@pytest.mark.parametrize("name", UNARY)
@pytest.mark.parametrize("dtype", DTYPES, ids=str)
def test_functions_give_numpys_dtype_and_values(name, dtype):
    about = entry(TEXT_FUNCTIONS[name])
    # libm against NumPy's own implementations; float32 and complex64 against
    # NumPy's float64 answers rounded once, within 1 unit in the last place
    # (complex: the platform's complex functions, within 8 of the magnitude).
    ulps = 8 if dtype.kind == "c" else 0 if about.ulps == 0 else 2 if dtype == np.float64 else 1
    check(f"{name}(a)", {"a": sample(dtype, 200, 6)}, ulps, widened=True)


SHAPES = [(4095,), (4097,), (16385,), (3, 1700), (130, 129)]


@pytest.mark.parametrize("shape", SHAPES, ids=str)
@pytest.mark.parametrize("threads", [1, 2, 5])
def test_random_expressions_across_layouts_and_threads(shape, threads):
    rng = random.Random(hash((shape, threads)) & 0xFFFF)
    before = bm.set_num_threads(threads)
    try:
        for trial in range(6):
            dtypes = rng.choices(DTYPES[:12], k=3)
            names = {}
            for index, (name, dtype) in enumerate(zip("abc", dtypes)):
                full = sample(dtype, int(np.prod(shape)) * 2, trial * 3 + index).reshape(shape[:-1] + (shape[-1] * 2,))
                layout = rng.choice(["C", "F", "strided", "broadcast"])
                if layout == "strided":
                    names[name] = full[..., ::2]
                elif layout == "broadcast":
                    names[name] = full[..., :1]
                else:
                    names[name] = np.asarray(full[..., : shape[-1]], order=layout)
            text = _random_text(rng, 3)
            check(text, names)
    finally:
        bm.set_num_threads(before)


def _random_text(rng, depth):
    if depth == 0 or rng.random() < 0.2:
        return rng.choice(["a", "b", "c", "2", "0.5", "True"])
    op = rng.choice(["+", "-", "*", "<", "==", "&", "|", "where", "maximum", "abs"])
    if op == "where":
        return f"where({_random_text(rng, depth - 1)} > 0, {_random_text(rng, depth - 1)}, {_random_text(rng, depth - 1)})"
    if op in ("maximum", "abs"):
        return f"{op}({_random_text(rng, depth - 1)}{', ' + _random_text(rng, depth - 1) if op == 'maximum' else ''})"
    return f"({_random_text(rng, depth - 1)} {op} {_random_text(rng, depth - 1)})"


def test_the_examples_of_numexpr_users_give_numpys_answers():
    x = np.array([-1.0, 2.0, 0.5])
    assert x[bm.evaluate("x > 0")].tolist() == [2.0, 0.5]
    flags = np.array([6, 1, 4, 0])
    same(bm.evaluate("(flags & 4) != 0"), np.array([True, False, True, False]))
    same(bm.evaluate("~flags"), ~flags)
    same(bm.evaluate("flags | 1"), flags | 1)
    big = np.array([2**62 + 1], dtype=np.int64)
    same(bm.evaluate("big * 2 - 1"), big * 2 - 1)
    i = np.array([np.iinfo(np.int64).min, 7, -7])
    for text in ("i // -1", "i % -1", "i // 0", "i % 0"):
        same(bm.evaluate(text), numpy_answer(text, {"i": i})[0])
    with pytest.raises(ValueError, match="Integers to negative integer powers are not allowed."):
        bm.evaluate("i ** -1")


@pytest.mark.parametrize("dtype", [dtype for dtype in DTYPES if dtype.kind in "iu"], ids=str)
@pytest.mark.parametrize("k", [300, -300, 127, -129, 255, 5, 70000, -(2**40), 2**63 - 1, 2**63, -(2**63) - 1, 10**30])
def test_a_name_bound_to_an_int_compares_with_integers_as_numpy_does(dtype, k):
    a = sample(dtype, 40, 3)
    for op in ("<", "<=", "==", "!=", ">", ">="):
        check(f"a {op} k", {"a": a, "k": k})
        check(f"k {op} a", {"a": a, "k": k})


@pytest.mark.parametrize("op", ["<", "<=", "==", "!=", ">", ">="])
@pytest.mark.parametrize(("j", "k"), [(2, 0), (-5, 3), (7, 7), (2**62, -(2**62))])
def test_names_bound_to_ints_compare_as_arrays_of_the_default_integer(op, j, k):
    # NumPy compares two Python ints in its object loop; a bound name is an array.
    want = eval(f"np.asarray(j) {op} np.asarray(k)")  # noqa: S307
    for text in (f"j {op} k", f"j {op} ({k})", f"({j}) {op} k"):
        got = bm.evaluate(text, {"j": j, "k": k})
        assert (got.dtype, got.shape, bool(got)) == (want.dtype, (), bool(want)), text


# Python ints a text's arithmetic would make beyond float64's range, which no
# NumPy type holds: each is NumPy's OverflowError at once, never computed.
_TOWERS = ["10**10**10", "-(10**400)", "x * 3**10**6", "1 << 10**10", "(-7)**10**9 + x", "2**2**2**2**2**2 > x"]


def test_integer_towers_overflow_at_once():
    # A tower computed by the interpreter would hang it where no signal reaches.
    result = run_python(f"""
        import numpy as np, brindlemox as bm
        for text in {_TOWERS!r}:
            try:
                bm.evaluate(text, {{"x": np.ones(2)}})
            except OverflowError as error:
                print(error)
    """)
    assert result.stdout.splitlines() == ["int too large to convert to float"] * len(_TOWERS), result.stderr


@pytest.mark.parametrize("text", [
    "x * 10**300", "2**64 // 2**60", "-(2**63) + i", "2**63", "i < 10**300", "2**-2000 + x", "3**40 % 1000",
    "2**1000 * x", "(1 << 70) > i",
])  # fmt: skip
def test_integer_constants_within_float64s_range_fold_as_python_does(text):
    names = {"x": np.array([1.0, -2.5]), "i": np.array([3, -4])}
    check(text, {name: value for name, value in names.items() if name in text})


@pytest.mark.parametrize("text", ["-(10**19)", "2**64", "(1 << 70) - 1"])
def test_an_int_result_neither_int64_nor_uint64_holds_is_numpys_overflow(text):
    value = eval(text)  # noqa: S307
    with pytest.raises(OverflowError) as expected:
        np.asarray(value, np.int64)
    with pytest.raises(OverflowError) as raised:
        bm.evaluate(text, {})
    assert str(raised.value) == str(expected.value)


# Exponents of every kind of real part (positive, zero, negative, tiny,
# infinite, NaN) with every kind of imaginary part.
_ZERO_BASE_EXPONENTS = [complex(re, im) for re in (2.0, 0.5, 1e-300, 0.0, -0.0, -0.5, -2.0, np.inf, -np.inf, np.nan)
                        for im in (0.0, -0.0, 3.0, -1.0, np.inf, np.nan)]  # fmt: skip


@pytest.mark.parametrize("base", ["complex128", "complex64", "int64", "int8", "bool"])
@pytest.mark.parametrize("exponent", ["complex128", "complex64"])
def test_a_zero_base_takes_numpys_power_for_every_exponent(base, exponent):
    e = np.array(_ZERO_BASE_EXPONENTS, exponent)
    for zero in (0.0, -0.0, complex(0.0, -0.0), complex(-0.0, -0.0)):
        z = np.full(e.shape, zero if np.dtype(base).kind == "c" else 0).astype(base)
        check("z ** e", {"z": z, "e": e})


@pytest.mark.parametrize("out_dtype", ["float32", "int64", "complex128", "float64"])
@pytest.mark.parametrize("casting", ["no", "safe", "same_kind", "unsafe"])
@pytest.mark.parametrize("strided", [False, True])
def test_out_takes_numpys_cast_or_its_error(out_dtype, casting, strided):
    a = sample(np.dtype(np.float64), 50, 9)
    full = np.zeros(100, out_dtype)
    out = full[::2] if strided else full[:50]
    if not np.can_cast(np.float64, out_dtype, casting=casting):
        with pytest.raises(TypeError, match="Cannot cast evaluate"):
            bm.evaluate("a * 2", {"a": a}, out=out, casting=casting)
        assert not full.any()
        return
    with np.errstate(all="ignore"):
        expected = (a * 2).astype(out_dtype)
    assert bm.evaluate("a * 2", {"a": a}, out=out, casting=casting) is out
    same(out.copy(), expected)


def test_out_that_is_an_input_reads_every_value_before_writing_it():
    a = np.arange(10, dtype=np.int32)
    expected = a[::-1] + a
    same(bm.evaluate("r + a", {"r": a[::-1], "a": a}, out=a), expected)


@pytest.mark.parametrize("name", ["sum", "prod", "mean", "min", "max"])
@pytest.mark.parametrize("dtype", DTYPES, ids=str)
@pytest.mark.parametrize("axis", [None, 0, 1, (0, 1)])
def test_reductions_give_numpys_dtype_and_values(name, dtype, axis):
    values = sample(dtype, 60, 7).reshape(6, 10)
    with np.errstate(all="ignore"):
        expected = np.asarray(getattr(np, name)(values, axis=axis))
    ours = np.asarray(getattr(bm, name)(values, axis=axis))
    if (dtype.kind in "biu" and name != "mean") or (dtype.kind == "c" and name not in ("sum", "mean")):
        # Exact in 64 bits, wrapping: every order gives NumPy's bits. Complex
        # products and extremes are NumPy's own.
        # Exact in 64 bits, wrapping: every order gives NumPy's bits.
        same(ours, expected)
        return
    # Everything else is the float64 reduction (each part of complex data)
    # in the strict order, rounded once to NumPy's result dtype.
    parts = [values.real, values.imag] if dtype.kind == "c" else [values]
    wide = [np.asarray(getattr(bm, name)(part.astype(np.float64), axis=axis)) for part in parts]
    reference = np.empty(wide[0].shape, expected.dtype)
    reference.real = wide[0]
    if dtype.kind == "c":
        reference.imag = wide[1]
    same(ours, reference)


@pytest.mark.skipif(SANITIZED, reason="ASan holds freed memory in quarantine")
def test_broadcast_operands_are_read_where_they_lie():
    # x*y + x over (4000, 1) and (1, 4000): the result's 122 MiB is all the
    # call may add; materialising the broadcast operands would double it.
    result = run_python(
        """
        import resource, numpy as np, brindlemox as bm
        x, y = np.random.rand(4000, 1), np.random.rand(1, 4000).astype(np.float32)
        for text in ("(x > 0.5) & (y < 0.2)", "x*y + x"):
            before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            out = bm.evaluate(text)
            grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
            print(out.dtype, grown * 1024 <= out.nbytes + (16 << 20))
            del out
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["bool", "True", "float64", "True"]


@pytest.mark.parametrize("text", [
    "sum(a*b)", "a - mean(a)", "a - sum(a, axis=0)", "sum(a > 4)", "a / max(b)", "prod(a % 3 + 1)", "prod(a > 0)",
    "min(a > 4)", "max(a >= 1, axis=1)", "sum(b < a) + 1", "mean(a < 3)", "a * sum(a != b, axis=0)", "sum(3) + a",
])  # fmt: skip
@pytest.mark.parametrize("dtype", ["int32", "uint8", "bool", "float32", "int64", "float64"])
def test_reductions_in_the_text_compute_in_the_datas_types(text, dtype):
    a = (np.arange(24).reshape(4, 6) % 7).astype(dtype)
    names = {"a": a, "b": a[::-1].copy()}
    spelled = text.replace("sum", "np.sum").replace("mean", "np.mean").replace("max", "np.max").replace("min(", "np.min(")
    expected, error = numpy_answer(spelled.replace("prod", "np.prod"), {**names, "np": np})
    if error is not None:
        with pytest.raises(type(error)):
            bm.evaluate(text, names)
        return
    ours, expected = bm.evaluate(text, names), np.asarray(expected)
    assert ours.dtype == expected.dtype
    assert np.allclose(ours, expected, rtol=1e-6) if expected.dtype.kind == "f" else np.array_equal(ours, expected)


# Numbers written into a kernel keep their kind: Python's are weak, NumPy's
# scalars strong, as in the same line of NumPy and as a name bound in text.
LITERALS = [2, -3, 2.5, True, 2**40, float("inf"), np.float32(1.5), np.int8(3), np.uint64(5), np.float64(2),
            np.bool_(True), np.float16(0.5)]  # fmt: skip
LITERAL_TEXTS = ["a * lit", "lit - a", "a > lit", "lit <= a", "a == lit", "where(a != 0, a, lit)", "a & lit",
                 "~(a | lit) ^ a", "-a + lit"]  # fmt: skip


@pytest.mark.parametrize("literal", LITERALS, ids=repr)
@pytest.mark.parametrize("dtype", DTYPES, ids=str)
def test_kernel_literals_keep_their_kind(dtype, literal):
    a = sample(dtype, 40, 11)
    ulps = 4 if dtype.kind == "c" else 0
    for text in LITERAL_TEXTS:
        with np.errstate(all="ignore"):
            try:
                # With the builtins, which NumPy's OverflowError needs.
                expected, error = eval(text, {**NUMPY, "a": a, "lit": literal}), None  # noqa: S307
            except Exception as raised:
                expected, error = None, raised
        function = eval(f"lambda a: {functional(text)}", {"__builtins__": {}, **TEXT_FUNCTIONS, "lit": literal})  # noqa: S307
        if error is not None:
            with pytest.raises(type(error)):
                bm.kernel(function)(a)
            continue
        ours = bm.kernel(function)(a)
        same(ours, np.asarray(expected), ulps)
        # In text a Python number is written in (a name bound to one is typed once for every value).
        written = type(literal) in (int, bool) or type(literal) is float and np.isfinite(literal)
        same(ours, bm.evaluate(text.replace("lit", f"({literal!r})") if written else text, {"a": a, "lit": literal}))


FLOAT64_KERNELS = [
    lambda x, y: x * 2 + 1,
    lambda x, y: bm.sqrt(x * x + y * y),
    lambda x, y: x**3 - y / 3,
    lambda x, y: bm.sin(x) * bm.exp(y) + bm.minimum(x, y),
    lambda x, y: bm.where(x, y, 0.5),
]


@pytest.mark.parametrize("build", FLOAT64_KERNELS)
@pytest.mark.parametrize("layout", ["C", "strided", "broadcast"])
def test_float64_kernels_keep_the_float64_kernels_bits(build, layout):
    from brindlemox._kernel import float64_kernel

    x, y = sample(np.dtype(np.float64), 10_000, 12), sample(np.dtype(np.float64), 10_000, 13)
    x, y = {"C": (x, y), "strided": (x[::2], y[1::2]), "broadcast": (x.reshape(100, 100), y[:100])}[layout]
    typed = bm.kernel(build)
    plain = float64_kernel(build(*bm.args("x", "y")), ("x", "y"))
    assert typed.typed and not plain.typed
    same(typed(x, y), plain(x, y))


@pytest.mark.parametrize("n", [1, 2, 3, 15, 17, 33, 511, 513, 1500])
@pytest.mark.parametrize("step", [1, 3], ids=["contiguous", "strided"])
def test_blocks_of_mixed_element_sizes_hold_their_values_at_every_length(n, step):
    # Steps of 1-, 4-, 8- and 16-byte values, each in a block of its own,
    # constants spread, strided inputs gathered: a short piece's blocks are
    # as long as it is, and each must stay aligned for its element type.
    k = np.arange(n * step)[::step]
    names = {
        "b": k % 3 == 0,
        "i": (k % 100).astype(np.int8),
        "f": np.linspace(-2, 2, n * step, dtype=np.float32)[::step],
        "z": (np.linspace(0, 1, n * step) * (1 + 2j))[::step],
    }
    check("where(b, z * 2 + f, z - i) + (i < 3) * 1.5", names)
