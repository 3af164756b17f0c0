# Constant powers, floored division and remainder, and operators of Python
# ints, against NumPy's own `x ** c`, `//` and `%` bit for bit (NaN payloads
# included), through text and kernels, in both math modes, at every level.
import ctypes
import ctypes.util
import functools
import math
import operator

import numpy as np
import pytest

import brindlemox as bm
from brindlemox import _isa
from conftest import SANITIZED

pytestmark = pytest.mark.numpy

MATHS = ["libm", pytest.param("fast", marks=pytest.mark.skipif("fast" not in bm.math_modes(), reason="no SLEEF"))]
UINT = {2: np.uint16, 4: np.uint32, 8: np.uint64}
#: A signalling NaN of each float width, whose payload NumPy's forms keep or settle.
SIGNALLING = {2: 0x7C01, 4: 0x7F800001, 8: 0x7FF0000000000001}


def edges(dtype, n=4099, seed=0):
    """NaN of both signs, a signalling NaN, infinities, zeros, subnormals,
    extremes and negatives, then values of every magnitude."""
    real = np.dtype(dtype).type(0).real.dtype
    info = np.finfo(real)
    rng = np.random.default_rng(seed)
    fixed = [np.nan, -np.nan, np.inf, -np.inf, 0.0, -0.0, info.smallest_subnormal, -info.smallest_subnormal,
             info.tiny, info.max, -info.max, -1.5, 1.0, -1.0, 0.1, 3.0]  # fmt: skip
    with np.errstate(all="ignore"):
        spread = rng.standard_normal(n) * np.exp2(rng.integers(-30, 30, n))
        values = np.concatenate([np.array(fixed), spread]).astype(real)
    values[1] = -abs(values[1])
    values[2 + n // 2] = np.array([SIGNALLING[real.itemsize]], UINT[real.itemsize]).view(real)[0]
    if np.dtype(dtype).kind == "c":
        with np.errstate(all="ignore"):
            return values + 1j * np.roll(values, 7).astype(real)
    return values


def bits(array):
    array = np.asarray(array)
    part = array.real.dtype if array.dtype.kind == "c" else array.dtype
    return array.dtype, array.view(UINT[part.itemsize])


def assert_same_bits(ours, numpy):
    (ours_type, ours_bits), (numpy_type, numpy_bits) = bits(ours), bits(numpy)
    assert ours_type == numpy_type
    differ = np.flatnonzero(ours_bits.ravel() != numpy_bits.ravel())
    assert differ.size == 0, [(hex(ours_bits.ravel()[k]), hex(numpy_bits.ravel()[k])) for k in differ[:5]]


def computed(text, build, names, math, route):
    if route == "text":
        return bm.evaluate(text, names, math=math)
    return bm.kernel(build(*bm.args(*names)), math=math)(*names.values())


# NumPy's forms of an array to a Python number's power: x*x, 1/x and
# sqrt(x) for every float type (float16 takes 1/x for the int -1 alone), x
# itself and 1 for float32 and float64 (float16 takes pow).
POWERS = [
    *((dtype, c) for dtype in (np.float16, np.float32, np.float64) for c in (2, 2.0, -1, 0.5)),
    *((dtype, c) for dtype in (np.float32, np.float64) for c in (-1.0, 1, 1.0, 0, 0.0)),
]


@pytest.mark.parametrize("level", _isa.LEVELS)
@pytest.mark.parametrize("math", MATHS)
@pytest.mark.parametrize("route", ["text", "kernel"])
@pytest.mark.parametrize(("dtype", "exponent"), POWERS)
def test_constant_powers_take_numpys_forms(dtype, exponent, route, math, level):
    x = edges(dtype)
    with np.errstate(all="ignore"), _isa.forced(level):
        expected = x**exponent
        ours = computed(f"x ** {exponent!r}", lambda x: x**exponent, {"x": x}, math, route)
    assert_same_bits(ours, expected)


#: The platform's libm, whose pow and powf NumPy's scalar power loops call.
LIBM = ctypes.CDLL(ctypes.util.find_library("m"))
LIBM.pow.restype, LIBM.pow.argtypes = ctypes.c_double, [ctypes.c_double, ctypes.c_double]
LIBM.powf.restype, LIBM.powf.argtypes = ctypes.c_float, [ctypes.c_float, ctypes.c_float]


def platform_power(x, exponent):
    """NumPy's scalar loop of `x ** exponent`: the platform's pow for
    float64, its powf for float32 and for float16 widened (then rounded)."""
    wide = np.dtype(np.float64 if x.dtype == np.float64 else np.float32)
    function = LIBM.pow if wide == np.float64 else LIBM.powf
    c = wide.type(x.dtype.type(exponent))
    return np.frompyfunc(lambda value: function(value, c), 1, 1)(x.astype(wide)).astype(wide).astype(x.dtype)


def assert_within(ours, reference, steps):
    """Both NaN, or of one sign and at most `steps` steps of the type apart."""
    signed = {2: np.int16, 4: np.int32, 8: np.int64}[ours.dtype.itemsize]
    both_nan = np.isnan(ours) & np.isnan(reference)
    apart = np.abs(ours.view(signed).astype(np.int64) - reference.view(signed).astype(np.int64))
    far = np.flatnonzero(~both_nan & ((np.signbit(ours) != np.signbit(reference)) | (apart > steps)))
    assert far.size == 0, [(ours[k], reference[k]) for k in far[:5]]


# Every other constant power is pow, which the libm mode takes from the
# platform's libm: bit for bit NumPy's scalar loops (powf for float32, as
# NumPy's float32 loop calls it, not pow rounded). NumPy's AVX-512 loops are
# a pow of its own, a last place from libm's in a few elements in a hundred;
# fast math's is SLEEF's, within 1 ulp of the exact power.
@pytest.mark.parametrize("level", _isa.LEVELS)
@pytest.mark.parametrize("math", MATHS)
@pytest.mark.parametrize("route", ["text", "kernel"])
@pytest.mark.parametrize("exponent", [3, 3.0, -2, 4, 7, -0.5, 2.5, 1.5, 1 / 3])
@pytest.mark.parametrize("dtype", [np.float16, np.float32, np.float64])
def test_other_constant_powers_are_the_platforms_pow(dtype, exponent, route, math, level):
    x = edges(dtype)
    with np.errstate(all="ignore"), _isa.forced(level):
        ours = computed(f"x ** {exponent!r}", lambda x: x**exponent, {"x": x}, math, route)
        numpy, platform = x**exponent, platform_power(x, exponent)
    if math == "libm":
        assert_same_bits(ours, platform)
        assert_within(ours, numpy, 1)
    else:
        assert_within(ours, platform, 2)
        assert_within(ours, numpy, 2)


@pytest.mark.parametrize("exponent", [2, 0.5])
@pytest.mark.parametrize("dtype", [np.complex64, np.complex128])
def test_complex_powers_take_numpys_forms_within_its_fused_rounding(dtype, exponent):
    # NumPy's complex product fuses its multiply-adds where the processor has
    # them, and its square root is its own: a part that cancels keeps a
    # rounding of the whole, so the forms agree to a few units of the larger part.
    x = edges(dtype)[16:]
    with np.errstate(all="ignore"):
        ours, expected = bm.evaluate(f"x ** {exponent}", {"x": x}), x**exponent
    eps = np.finfo(dtype).eps
    assert ours.dtype == expected.dtype
    np.testing.assert_allclose(ours, expected, rtol=16 * eps, atol=0)


def test_ones_like_and_numbers_beside_a_signalling_nan_are_numbers():
    x = edges(np.float64)
    kernel = bm.kernel(bm.ones_like(bm.arg("x")))
    assert_same_bits(bm.evaluate("ones_like(x)", {"x": x}), np.ones_like(x))
    assert_same_bits(kernel(x), np.ones_like(x))
    assert_same_bits(bm.evaluate("copysign(2.5, x)", {"x": x}), np.copysign(2.5, x))


def test_a_power_folded_from_numbers_takes_its_form_too():
    x = edges(np.float64)
    with np.errstate(all="ignore"):
        assert_same_bits(bm.evaluate("x ** (1 / 2) + x ** (3 - 1)", {"x": x}), np.sqrt(x) + x * x)


DIVISIONS = [
    (np.float32, np.float32), (np.float16, np.float16), (np.float64, np.float64),
    (np.int16, np.float32), (np.float32, np.int16), (np.int8, np.float16), (np.float32, float), (np.float64, float),
]  # fmt: skip


@pytest.mark.parametrize("level", _isa.LEVELS)
@pytest.mark.parametrize("route", ["text", "kernel"])
@pytest.mark.parametrize("symbol", ["//", "%"])
@pytest.mark.parametrize(("left", "right"), DIVISIONS)
def test_floored_division_and_remainder_are_numpys(left, right, symbol, route, level):
    rng = np.random.default_rng(1)

    def operand(dtype, seed):
        if np.dtype(dtype).kind == "i":
            info = np.iinfo(dtype)
            return rng.integers(info.min, info.max, 4115, dtype=dtype, endpoint=True)
        # Quotients far beyond 2**24, where float32 rounds in its own steps.
        return edges(dtype, seed=seed)

    apply, build = {"//": (operator.floordiv, bm.floor_divide), "%": (operator.mod, bm.remainder)}[symbol]
    a = operand(left, 2)
    with np.errstate(all="ignore"), _isa.forced(level):
        if right is float:
            expected = apply(a, 2.5)
            ours = computed(f"a {symbol} 2.5", lambda a: build(a, 2.5), {"a": a}, "libm", route)
        else:
            b = operand(right, 3)
            expected = apply(a, b)
            ours = computed(f"a {symbol} b", build, {"a": a, "b": b}, "libm", route)
    assert_same_bits(ours, expected)


def near_multiples(dtype, n=6000, seed=4):
    """Pairs whose quotient is an integer or a last place beside one, from 1
    to beyond the quotients float32 and float64 find without fmod (2**28,
    2**52; 2**49 for float64's floored division), and divisors near the range float64 finds them over (2**+-900)."""
    rng = np.random.default_rng(seed)
    info = np.finfo(dtype)
    r = (rng.standard_normal(n) * np.exp2(rng.integers(-20, 20, n))).astype(dtype)
    if dtype == np.float64:
        r[: n // 10] = np.exp2(rng.choice([-901.0, -900.0, -899.0, 899.0, 900.0, 901.0], n // 10)) * rng.choice([1, -1.5], n // 10)
    whole = np.floor(np.exp2(rng.uniform(0, 60 if dtype == np.float64 else 32, n)))
    with np.errstate(all="ignore"):
        l = (whole * r).astype(dtype)
        l = np.where(rng.random(n) < 0.5, np.nextafter(l, dtype(info.max)), np.nextafter(l, dtype(-info.max)))
        l = np.where(rng.random(n) < 0.3, l * -1, l).astype(dtype)
    return l, r


@pytest.mark.parametrize("level", _isa.LEVELS)
@pytest.mark.parametrize("symbol", ["//", "%"])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_floored_operators_beside_whole_quotients_are_numpys(dtype, symbol, level):
    apply = {"//": operator.floordiv, "%": operator.mod}[symbol]
    l, r = near_multiples(dtype)
    with np.errstate(all="ignore"), _isa.forced(level):
        assert_same_bits(bm.evaluate(f"l {symbol} r", {"l": l, "r": r}), apply(l, r))
        # A number on either side, and the result written over an operand.
        assert_same_bits(bm.evaluate(f"l {symbol} 0.1", {"l": l}), apply(l, dtype(0.1) if dtype == np.float32 else 0.1))
        assert_same_bits(bm.evaluate(f"1e10 {symbol} r", {"r": r}), apply(dtype(1e10), r))
        expected = apply(l, r)
        assert_same_bits(bm.evaluate(f"l {symbol} r", {"l": l, "r": r}, out=l), expected)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize(
    "text",
    [
        "x * ~2",
        "x + (1 << 3)",
        "x - (5 ^ 3)",
        "x * (-9 >> 1)",
        # NumPy 1 makes an object array of x and an int beyond int64; NumPy 2 and the package take its float.
        pytest.param(
            "x / ~(1 << 70)",
            marks=pytest.mark.skipif(np.lib.NumpyVersion(np.__version__) < "2.0.0", reason="NumPy 1 gives objects"),
        ),
        "(x < ~0) + ~-3 * x",
    ],
)
def test_operators_of_python_ints_inside_float_text_are_pythons(text, dtype):
    x = edges(dtype)[:64]
    with np.errstate(all="ignore"):
        expected = eval(text, {"__builtins__": {}}, {"x": x})  # noqa: S307
        assert_same_bits(bm.evaluate(text, {"x": x}), expected)


def powers_to_check(dtype, exponent, n, seed):
    """Values whose powers by `exponent` are of every magnitude: inside and
    past the range the vector loop keeps (x within 2**+-(900 / (|exponent| +
    1)) for float64, 2**+-(100 / (|exponent| + 1)) for float32), to overflow,
    underflow and subnormal powers; negatives for whole exponents; integers whose powers are
    exact, or exact midpoints between two of the type's numbers."""
    rng = np.random.default_rng(seed)
    # Powers up to 2**+-1100 (2**+-150), of inputs within the type's numbers.
    power_top, input_top = (1100, 1020) if dtype == np.float64 else (150, 125)
    top = min(power_top / abs(exponent), input_top)
    values = np.exp2(rng.uniform(-top, top, n))
    if exponent == int(exponent):
        values[rng.random(n) < 0.3] *= -1
    digits = np.finfo(dtype).nmant + 1
    whole = rng.integers(1, 2 ** (digits // 3 + 1), n // 8).astype(np.float64)
    values[: whole.size] = whole * np.exp2(rng.integers(-8, 8, whole.size))
    return values.astype(dtype)


def libm_power(x, exponent):
    """The platform's pow (powf for float32) of each element: math.pow for
    float64, which calls it; ctypes for powf, the slower, on fewer values."""
    if x.dtype == np.float32:
        return platform_power(x, exponent)

    def power(value):
        try:
            return math.pow(value, exponent)
        except OverflowError:
            return math.copysign(math.inf, value) if exponent % 2 == 1 else math.inf

    return np.frompyfunc(power, 1, 1)(x).astype(np.float64)


@functools.lru_cache(maxsize=1)
def powers_and_pow(dtype, exponent):
    """Values to raise and the platform's powers of them, computed once for
    every level (the oracle calls pow once per value). The sanitizer's run
    checks memory, not rounding, on a sixteenth of the values."""
    n = (2**20 if dtype == np.float64 else 2**17) >> (4 if SANITIZED else 0)
    x = powers_to_check(dtype, exponent, n, seed=int(4 * exponent) % 97)
    return x, libm_power(x, exponent)


# The vector loop keeps its own rounding only where the platform's pow,
# within its documented error, must round the same way: many values per
# exponent find the elements it must leave to pow (glibc's pow rounds about
# one power in a thousand the other way, powf fewer).
@pytest.mark.parametrize("level", _isa.LEVELS)
@pytest.mark.parametrize("exponent", [3, -0.5, 2.5, -3, 4, 1.5, -2.5, 50, -50, 49.5, -49.5])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_many_constant_powers_are_the_platforms_pow_bit_for_bit(dtype, exponent, level):
    x, expected = powers_and_pow(dtype, exponent)
    with np.errstate(all="ignore"), _isa.forced(level):
        assert_same_bits(bm.evaluate(f"x ** {exponent!r}", {"x": x}), expected)
        assert_same_bits(bm.kernel(lambda x: x**exponent)(x), expected)


# The vector loop lists the elements it leaves to pow eight at a time, in
# chunks of 256: inputs only pow takes (zeros, infinities, NaN, negatives of
# half powers, powers past the range) at every position of each length's
# last group, into a new array and over the input.
@pytest.mark.parametrize("level", _isa.LEVELS)
@pytest.mark.parametrize("exponent", [3, -0.5, 2.5])
def test_constant_powers_leave_special_inputs_to_pow_at_every_position(exponent, level):
    rng = np.random.default_rng(5)
    special = np.array([0.0, -0.0, np.inf, -np.inf, np.nan, -2.0, 1e300, 5e-324])
    for n in (1, 7, 9, 255, 257, 519, 1030):
        x = rng.uniform(0.5, 100.0, n)
        x[rng.random(n) < 0.2] = np.nan
        x[-8:] = np.roll(special, n)[-min(n, 8) :]
        expected = platform_power(x, exponent)
        with np.errstate(all="ignore"), _isa.forced(level):
            assert_same_bits(bm.evaluate(f"x ** {exponent!r}", {"x": x}), expected)
            assert_same_bits(bm.evaluate(f"x ** {exponent!r}", {"x": x}, out=x), expected)


# Integers and floats of other widths than the power's loop are cast to it
# first, and float16's loop is powf's, rounded.
MIXED = [(np.int16, 2.5), (np.uint8, -0.5), (np.int32, 3.0), (np.int64, -3.0), (np.float16, 3), (np.float16, -0.5)]


@pytest.mark.parametrize("math", MATHS)
@pytest.mark.parametrize(("dtype", "exponent"), MIXED)
def test_constant_powers_of_mixed_operands_are_the_platforms_pow(dtype, exponent, math):
    if np.dtype(dtype).kind == "f":
        x = edges(dtype)
    else:
        info = np.iinfo(dtype)
        x = np.random.default_rng(3).integers(info.min, info.max, 5000, dtype=dtype, endpoint=True)
    with np.errstate(all="ignore"):
        numpy = x**exponent
        ours = bm.evaluate(f"x ** {exponent!r}", {"x": x}, math=math)
        expected = platform_power(x.astype(numpy.dtype), exponent)
    if math == "libm":
        assert_same_bits(ours, expected)
    else:
        assert_within(ours, expected, 2)
