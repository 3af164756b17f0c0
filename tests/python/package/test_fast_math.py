"""Fast math: within 1 ulp of the correctly rounded result (against mpmath),
C99's special values as NumPy's libm gives them, the same bits at every
instruction level, thread count and block split, and the mode's API. Where
this process has no fast mode, only its refusal is tested."""

import math as libm_
import pickle
import zlib

import numpy as np
import pytest

import _brindlemox as ext
import brindlemox as bm
from brindlemox import _isa
from conftest import run_python

needs_fast = pytest.mark.skipif("fast" not in bm.math_modes(), reason=ext._math_missing("fast") or "fast math present")

TYPES = [np.float64, np.float32]
# name in the text: mpmath's function (log2 is log to base 2), how operands are drawn (see `sample`)
FUNCTIONS = {
    "exp": ("exp", "exp"),
    "expm1": ("expm1", "exp"),
    "log": ("log", "positive"),
    "log2": ("log2", "positive"),
    "log10": ("log10", "positive"),
    "log1p": ("log1p", "above_minus_one"),
    "sin": ("sin", "any"),
    "cos": ("cos", "any"),
    "tan": ("tan", "any"),
    "arcsin": ("asin", "unit"),
    "arccos": ("acos", "unit"),
    "arctan": ("atan", "any"),
    "sinh": ("sinh", "hyperbolic"),
    "cosh": ("cosh", "hyperbolic"),
    "tanh": ("tanh", "any"),
    "arcsinh": ("asinh", "any"),
    "arccosh": ("acosh", "above_one"),
    "arctanh": ("atanh", "unit"),
    "arctan2": ("atan2", "pair"),
    "hypot": ("hypot", "pair"),
    "pow": ("power", "power"),
}


def edges(dtype):
    """Binade edges, the neighbours of values where the functions' reductions
    and branches switch, and the ends of the range."""
    info = np.finfo(dtype)
    points = [2.0**k for k in range(info.minexp - info.nmant, info.maxexp, 7)]
    points += [0.5, 1.0, 2.0, np.pi / 4, np.pi / 2, np.pi, 3 * np.pi / 2, 1e5 * np.pi / 2, 2.0**-13, 2.0**-27]
    points += [2.0**-25, 2.0**-54, 88.0, 88.72, 89.41, 709.0, 709.78, 710.47, -87.3, -103.9, -708.39, -745.1]
    points += [2.0**60, 2.0**500, 1 - 2.0**-20, 1.3185493971188363e-16, 1.37095664889289e-16, 9.562471174740226e-17]
    with np.errstate(over="ignore"):
        base = np.array(points).astype(dtype)
    base = base[np.isfinite(base)]
    spread = np.concatenate([base, np.nextafter(base, dtype(0)), np.nextafter(base, dtype(np.inf))])
    return np.concatenate([spread, -spread])


def sample(kind, dtype, rng, count=160):
    info = np.finfo(dtype)
    wide = float(info.maxexp - 2)
    magnitudes = np.exp2(rng.uniform(info.minexp - info.nmant, info.maxexp - 1, count))
    signed = magnitudes * rng.choice([-1.0, 1.0], count)
    limit = {np.float64: 709.7, np.float32: 88.7}[dtype]
    draws = {
        "exp": np.concatenate([rng.uniform(-limit - 36, limit, count), signed[: count // 4] * 2.0**-wide]),
        "positive": magnitudes,
        "above_minus_one": np.concatenate([magnitudes, -rng.uniform(0, 1, count // 2)]),
        "any": signed,
        "unit": rng.uniform(-1, 1, count),
        "hyperbolic": np.concatenate([rng.uniform(-limit - 0.7, limit + 0.7, count), signed * 2.0**-wide]),
        "above_one": 1 + magnitudes,
        "pair": signed,
        "power": np.exp2(rng.uniform(-30, 30, count)),
    }[kind]
    return np.concatenate([draws, edges(dtype)]).astype(dtype)


def ulp_errors(mpmath, got, exact, dtype):
    """|got - exact| in ulps of the exact value's binade; results beyond the
    type's range are checked by the special values instead."""
    info = np.finfo(dtype)
    errors = []
    for value, truth in zip(got.tolist(), exact):
        if mpmath.isfinite(truth) and abs(truth) > info.max:  # overflows: the largest value or infinity
            errors.append(0.0 if abs(value) >= info.max and (value > 0) == (truth > 0) else np.inf)
            continue
        if not mpmath.isfinite(truth) or not np.isfinite(value):
            errors.append(0.0 if value == truth or (value != value and truth != truth) else np.inf)
            continue
        exponent = max(int(mpmath.floor(mpmath.log(abs(truth), 2))) if truth else 0, info.minexp)
        errors.append(float(abs(mpmath.mpf(value) - truth) / mpmath.mpf(2) ** (exponent - info.nmant)))
    return np.array(errors)


@needs_fast
@pytest.mark.parametrize("dtype", TYPES, ids=lambda t: t.__name__)
@pytest.mark.parametrize("name", FUNCTIONS)
def test_fast_math_is_within_one_ulp_of_the_exact_result(name, dtype):
    mpmath = pytest.importorskip("mpmath")
    spelling, kind = FUNCTIONS[name]
    function = (lambda x: mpmath.log(x, 2)) if spelling == "log2" else getattr(mpmath, spelling)
    rng = np.random.default_rng(zlib.crc32(f"{name} {dtype.__name__}".encode()))
    operands = [sample(kind, dtype, rng)]
    if kind in ("pair", "power"):
        second = sample(kind, dtype, rng) if kind == "pair" else rng.uniform(-30, 30, operands[0].size)
        operands.append(np.resize(second, operands[0].size).astype(dtype))
    # mpmath has no signed zeros: zeros are among the special values.
    nonzero = np.logical_and.reduce([a != 0 for a in operands])
    operands = [a[nonzero] for a in operands]
    assert_within_one_ulp(mpmath, name, function, operands, dtype)


def assert_within_one_ulp(mpmath, name, function, operands, dtype):
    """`name` of `operands` in fast math against mpmath's `function`."""
    text = f"{name}({', '.join('ab'[: len(operands)])})"
    with np.errstate(all="ignore"):
        got = bm.evaluate(text, dict(zip("ab", operands)), math="fast")
    assert got.dtype == dtype
    mpmath.mp.prec = 160
    exact = []
    for values in zip(*(a.tolist() for a in operands)):
        try:
            value = function(*(mpmath.mpf(v) for v in values))
            exact.append(value if isinstance(value, mpmath.mpf) else mpmath.nan)  # complex: outside the domain
        except (ValueError, ZeroDivisionError):
            exact.append(mpmath.nan)
    errors = ulp_errors(mpmath, got, exact, dtype)
    worst = int(np.argmax(errors))
    assert errors[worst] <= 1.0, f"{name}{tuple(float(a[worst]) for a in operands)}: {errors[worst]} ulp"


def top_of_the_range(dtype, count=200):
    """The largest values of `dtype`, the last thousands of ulps below the
    largest one among them, spread over the binades below it."""
    info = np.finfo(dtype)
    last = info.max - np.arange(4000, dtype=dtype) * (info.max - np.nextafter(info.max, dtype(0)))
    spread = (float(info.max) * np.exp2(-np.linspace(0, 30, count))).astype(dtype)
    return np.concatenate([last[::40], last[:5], spread])


def test_the_table_above_names_every_fast_loop():
    """A function given a SLEEF kernel is tested here once the table lists it."""
    numpy_name = {"pow": "power"}
    expected = {
        (ext._TYPED_OPS[numpy_name.get(name, name)], ext._DTYPES.index(dtype.__name__))
        for name in FUNCTIONS
        for dtype in TYPES
    }
    assert ext._FAST_MATH_LOOPS == expected


@needs_fast
@pytest.mark.parametrize("dtype", TYPES, ids=lambda t: t.__name__)
@pytest.mark.parametrize(("name", "exponents"), [("log1p", None), ("pow", (1.0, 2.0, 1.5, -1.0, 3.0))])
def test_the_top_of_the_range_is_within_one_ulp(name, exponents, dtype):
    mpmath = pytest.importorskip("mpmath")
    x = top_of_the_range(dtype)
    if exponents is None:
        assert_within_one_ulp(mpmath, name, mpmath.log1p, [x], dtype)
        return
    # Bases whose powers are the largest results, and beyond them.
    for y in exponents:
        with np.errstate(all="ignore"):
            bases = (x.astype(np.float64) ** (1 / y)).astype(dtype)
        for sign in (1, -1) if y == int(y) else (1,):
            assert_within_one_ulp(mpmath, name, mpmath.power, [sign * bases, np.full(x.shape, y, dtype)], dtype)


SPECIAL = [0.0, -0.0, np.inf, -np.inf, np.nan, 1.0, -1.0, 2.0, -2.0, 0.5, 1e300, -1e300, 5e-324, 3.0, -3.0, 1e-30]


@needs_fast
@pytest.mark.parametrize("dtype", TYPES, ids=lambda t: t.__name__)
@pytest.mark.parametrize("name", FUNCTIONS)
def test_special_values_are_c99s(name, dtype):
    # NumPy's libm follows C99's Annex F: signed zeros, infinities and NaNs,
    # domain errors, overflow to infinity and exact cases (exp(0), pow(x, 0)).
    with np.errstate(all="ignore"):
        special = np.array(SPECIAL, dtype=dtype)
        if FUNCTIONS[name][1] in ("pair", "power"):
            a, b = (np.repeat(special, special.size), np.tile(special, special.size))
            expected = getattr(np, {"pow": "power"}.get(name, name))(a, b)
            got = bm.evaluate(f"{name}(a, b)", {"a": a, "b": b}, math="fast")
        else:
            a = np.concatenate([special, np.array([710.0, 711.0, -746.0, 89.0, 90.0, -104.0], dtype)])
            expected = getattr(np, name)(a)
            got = bm.evaluate(f"{name}(a)", {"a": a}, math="fast")
    exact = ~np.isfinite(expected) | (expected == 0) | np.isin(np.abs(expected), [1.0, 0.5, 2.0, 8.0, 9.0])
    exact |= np.isin(a, [0.0, 1.0]) & np.isin(name, ["pow", "hypot"])
    same = (got == expected) & (np.signbit(got) == np.signbit(expected)) | np.isnan(got) & np.isnan(expected)
    assert same[exact].all(), list(zip(a[exact][~same[exact]], got[exact][~same[exact]], expected[exact][~same[exact]]))


def at_level(level, text, values, threads):
    if level not in _isa.LEVELS:
        pytest.skip(f"this processor has no {level}")
    with _isa.forced(level), bm.num_threads(threads):
        return bm.evaluate(text, values, math="fast")


@needs_fast
@pytest.mark.parametrize("dtype", TYPES, ids=lambda t: t.__name__)
def test_every_level_thread_count_and_split_gives_the_same_bits(dtype):
    # 40,013 elements: pieces for the pool, and tails after every vector width.
    rng = np.random.default_rng(7)
    a = (rng.standard_normal(40_013) * 30).astype(dtype)
    b = (rng.standard_normal(40_013) * 3).astype(dtype)
    text = "+".join(f"{name}(a)" for name in FUNCTIONS if FUNCTIONS[name][1] not in ("pair", "power"))
    text = f"where(isfinite({text}), {text}, 0) + arctan2(a, b) + hypot(a, b) + abs(a)**b"
    with np.errstate(all="ignore"):
        reference = at_level("baseline", text, {"a": a, "b": b}, 1)
        for level in ("avx2", "avx512"):
            for threads in (1, 2, 3):
                got = at_level(level, text, {"a": a, "b": b}, threads)
                assert got.tobytes() == reference.tobytes(), (level, threads)
        for start in (0, 1, 5, 13):
            piece = at_level("avx512", text, {"a": a[start:start + 37], "b": b[start:start + 37]}, 1)
            assert piece.tobytes() == reference[start:start + 37].tobytes()


@needs_fast
@pytest.mark.parametrize("name", ["sinh", "cosh", "arcsinh", "arccosh", "tanh", "tan", "log1p"])
def test_a_result_written_over_its_operand_is_the_same(name):
    # The mended elements (near overflow, huge, tiny) read the operand after
    # the library has written its result.
    x = np.array([709.5, 710.2, -710.3, 1e200, 1e-17, -3e-310, 1.5, 2.0] * 70)
    expected = bm.evaluate(f"{name}(x)", {"x": x}, math="fast")
    bm.evaluate(f"{name}(x)", {"x": x}, out=x, math="fast")
    assert x.tobytes() == expected.tobytes()


@needs_fast
@pytest.mark.parametrize("written", ["x", "y"])
def test_a_power_written_over_an_operand_is_the_same(written):
    # The mended elements (the largest results) read both operands after the
    # library has written its result.
    top = np.finfo(np.float64).max
    names = {"x": np.array([top, -top, 2.0, top**0.5, 0.0] * 130), "y": np.array([1.0, 1.0, 0.5, 2.0, -1.0] * 130)}
    with np.errstate(divide="ignore"):
        expected = bm.evaluate("x ** y", names, math="fast")
        bm.evaluate("x ** y", names, out=names[written], math="fast")
    assert names[written].tobytes() == expected.tobytes()
    assert not np.isinf(expected[:4]).any()


@needs_fast
def test_fast_math_is_asked_for_per_call_block_process_and_kernel():
    x = np.linspace(-30, 30, 10_001)
    libm = bm.evaluate("sin(x) * exp(-x)")
    fast = bm.evaluate("sin(x) * exp(-x)", math="fast")
    # The two modes' programs are kept apart: the second call is not the first's.
    platform = np.array([libm_.sin(v) * libm_.exp(-v) for v in x.tolist()])
    assert libm.tobytes() == platform.tobytes() and fast.tobytes() != libm.tobytes()
    with bm.math_mode("fast"):
        assert bm.get_math_mode() == "fast"
        assert bm.evaluate("sin(x) * exp(-x)").tobytes() == fast.tobytes()
        assert bm.evaluate("sin(x) * exp(-x)", math="libm").tobytes() == libm.tobytes()
    assert bm.get_math_mode() == "libm" and bm.set_math_mode("fast") == "libm"
    try:
        assert bm.evaluate("sin(x) * exp(-x)").tobytes() == fast.tobytes()
        bm.re_evaluate()
    finally:
        assert bm.set_math_mode("libm") == "fast"
    kernel = bm.kernel(lambda x: bm.sin(x) * bm.exp(-x), math="fast")
    assert kernel.math == "fast" and pickle.loads(pickle.dumps(kernel)).math == "fast"
    plain = bm.kernel(lambda x: bm.sin(x) * bm.exp(-x))
    assert plain.math is None and plain(x).tobytes() == libm.tobytes()
    # A kernel's own mode, the call's mode and the block's mode reach its typed program.
    assert kernel(x).tobytes() == fast.tobytes()
    assert bm.evaluate(plain._expr, {"x": x}, math="fast").tobytes() == fast.tobytes()
    assert bm.go(kernel, x).result(timeout=60).tobytes() == fast.tobytes()
    with bm.math_mode("fast"):
        assert plain(x).tobytes() == fast.tobytes()
    dask = pytest.importorskip("brindlemox.dask")
    da = pytest.importorskip("dask.array")
    assert dask.apply_kernel(kernel, [da.from_array(x, chunks=999)]).compute().tobytes() == fast.tobytes()


def test_an_unknown_mode_is_refused():
    message = "math must be one of 'libm', 'fast' (got 'quick')"
    for call in (lambda: bm.set_math_mode("quick"), lambda: bm.math_mode("quick").__enter__(),
                 lambda: bm.evaluate("x", {"x": 1.0}, math="quick"), lambda: bm.kernel(bm.arg("x"), math="quick")):
        with pytest.raises(ValueError) as raised:
            call()
        assert str(raised.value) == message
    assert bm.get_math_mode() == "libm" and bm.math_modes()[0] == "libm"


def test_without_the_library_import_works_and_fast_math_says_why():
    result = run_python(
        """
        import numpy as np, brindlemox as bm
        print(bm.math_modes())
        for call in (lambda: bm.set_math_mode("fast"), lambda: bm.evaluate("exp(x)", {"x": np.ones(3)}, math="fast")):
            try:
                call()
            except RuntimeError as error:
                print(error)
        print(bm.evaluate("exp(x)", {"x": np.zeros(2)}))
        """,
        env={"BMX_SLEEF_LIBRARY": "libsleef-not-here.so.3"},
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    if ext._math_missing("fast").startswith("fast math needs a processor"):
        why = ext._math_missing("fast")
    else:
        why = ("fast math needs SLEEF, and libsleef-not-here.so.3 was not found; install SLEEF 3 (Debian and Ubuntu: "
               "apt-get install libsleef3; elsewhere build SLEEF 3.5 or later from https://sleef.org and put "
               "libsleef.so.3 on the library path)")
    assert lines == ["('libm',)", why, why, "[1. 1.]"]


@needs_fast
def test_dask_chunks_compute_in_the_calls_mode():
    da = pytest.importorskip("dask.array")
    x = np.linspace(-30, 30, 10_001)
    lazy = bm.evaluate("sin(x) * exp(-x)", {"x": da.from_array(x, chunks=1000)}, math="fast")
    assert lazy.compute().tobytes() == bm.evaluate("sin(x) * exp(-x)", math="fast").tobytes()
    with pytest.raises(TypeError) as raised:
        bm.evaluate("sum(x)", {"x": da.from_array(x, chunks=1000)}, math="fast")
    assert str(raised.value) == (
        "reductions inside the text of Dask arrays are supported for float64 data in libm math only: "
        "reduce with bm.sum, ..."
    )


@needs_fast
def test_go_computes_text_in_the_current_mode():
    x = np.linspace(-30, 30, 10_001)
    with bm.math_mode("fast"):
        got = bm.go("sin(x) * exp(-x)", local_dict={"x": x}).result(timeout=60)
    assert got.tobytes() == bm.evaluate("sin(x) * exp(-x)", math="fast").tobytes()
    with bm.math_mode("fast"), pytest.raises(TypeError) as raised:
        bm.go("sin(x)", local_dict={"x": x}, out=bm.chan(1))
    assert str(raised.value) == "go() sends into a channel only results computed with libm; this one is in fast math"


@needs_fast
def test_only_texts_with_a_function_leave_the_float64_kernels():
    from brindlemox._typed_eval import level_plan

    f64 = (("a", np.dtype(np.float64)),)
    assert level_plan("2*a + sqrt(a*a)", f64, "fast").only_float64
    found = level_plan("2*a + sin(a)", f64, "fast")
    assert found.fast and not found.only_float64
    assert not level_plan("2*a + sin(a)", f64, "libm").fast
