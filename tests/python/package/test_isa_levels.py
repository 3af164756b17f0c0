# Every instruction level of the engine's loops gives the bits of the
# baseline level, for every dtype, loop tail, stride and thread count; and
# NumPy's values where NumPy is the reference.
import numpy as np
import pytest

import _brindlemox as ext
import brindlemox as bm
from brindlemox import _isa

pytestmark = pytest.mark.numpy

# Lengths around every vector width's tail, and one that the pool splits.
LENGTHS = (1, 3, 7, 17, 4096 + 5, 3 * 65536 + 11)
NUMPY = {
    "where": np.where, "sqrt": np.sqrt, "abs": np.abs, "minimum": np.minimum, "maximum": np.maximum,
    "fmin": np.fmin, "fmax": np.fmax, "floor_divide": np.floor_divide,
}  # fmt: skip
REAL = (
    "2*a + 3*b", "sqrt(a*a + b*b)", "where(a > b, a, b)", "a/b - a*b", "abs(a) + (a <= b)",
    "minimum(a, b) - fmax(a, b)", "(a != b) + (a == b)", "a // b + a % b", "sqrt(a)", "-a",
    "where(a > b, 2*a - b, sqrt(b) / a) + (a < 0)",
    # Two arithmetic operators in a row run as one chain loop, in every shape.
    "a*b - 2", "2 - a/b", "(a - b)*(a + b)", "3/a - b*0.5", "a - b*a/b + a",
    # One loop from the operands into the output takes a piece's whole range.
    "2*a + b", "where(a > 0, a, 0)", "where(a <= 0.5, 0.5, a)",
)  # fmt: skip
INTEGER = (
    "a*3 + b", "a // 7", "a % 5", "a // b", "a << 3", "a >> 2", "(a & b) | (a ^ 7)", "a - b*b",
    "where(a > b, a, b)", "abs(a) + (a <= b)", "a + 1.5", "sqrt(a)", "maximum(a, b)",
)  # fmt: skip
# Divisions by one number take a reciprocal: every kind of divisor, and
# divisors too large for the narrow types' reciprocals to be exact by chance.
DIVISIONS = ("a // 1", "a % 1", "a // 3", "a % 3", "a // -3", "a % -7", "a // 64", "a % 1000003")
LONG_DIVISIONS = ("a // 9223372036854775807", "a % 4611686018427387904", "a // 4611686018427387905", "a // (b*0 + 6)")
COMPLEX = ("a*b + a", "a / b", "a**2 - b", "where(a == b, a, b)", "abs(a)")
CASES = [
    *((np.float64, text) for text in REAL),
    *((np.float32, text) for text in REAL),
    *((np.int64, text) for text in INTEGER),
    *((np.int64, text) for text in DIVISIONS + LONG_DIVISIONS),
    *((np.int32, text) for text in INTEGER[:4] + DIVISIONS),
    *((np.int8, text) for text in DIVISIONS[:6]),
    *((np.uint8, text) for text in INTEGER[:3]),
    *((np.complex128, text) for text in COMPLEX),
    *((np.complex64, text) for text in COMPLEX[:3]),
]
REDUCTIONS = ("sum(a)", "prod(a)", "min(a)", "max(a)", "sum(m, axis=0)", "min(m, axis=1)", "max(m, axis=0)")


@pytest.fixture(autouse=True)
def restored_level():
    level = _isa.active()
    yield
    ext._isa(level)


def operands(dtype, n, strided, seed):
    """Two arrays of n elements with the values that tell loops apart:
    signed zeros, NaN, infinities and extremes; every other element of a
    twice longer array when `strided`."""
    rng = np.random.default_rng(seed)
    kind = np.dtype(dtype).kind
    arrays = []
    for _ in range(2):
        size = 2 * n if strided else n
        if kind == "f":
            values = rng.standard_normal(size) * 1e3
            values[rng.integers(0, size, size // 5 + 1)] = rng.choice([0.0, -0.0, np.nan, np.inf, -np.inf, 1e-310])
        elif kind == "c":
            values = rng.standard_normal(size) + 1j * rng.standard_normal(size)
            values[rng.integers(0, size, size // 5 + 1)] = rng.choice([0.0, -0.0, np.nan, np.inf])
        else:
            info = np.iinfo(dtype)
            values = rng.integers(info.min, info.max, size, dtype=dtype, endpoint=True)
            values[rng.integers(0, size, size // 5 + 1)] = rng.choice([0, -1 if info.min else 1, info.min, info.max])
        values = values.astype(dtype)
        arrays.append(values[::2] if strided else values)
    return {"a": arrays[0], "b": arrays[1]}


def at_every_level(text, names):
    """The result of `text` at each supported level, by level name."""
    results = {}
    for level in _isa.LEVELS:
        with _isa.forced(level):
            assert _isa.active() == level
            results[level] = np.asarray(bm.evaluate(text, names))
    return results


def assert_same_bits(results):
    baseline = results["baseline"]
    for level, result in results.items():
        assert result.dtype == baseline.dtype and result.shape == baseline.shape, level
        assert result.tobytes() == baseline.tobytes(), level


def test_the_levels_are_the_processor_s_from_baseline_up():
    assert _isa.LEVELS[0] == "baseline" and set(_isa.LEVELS) <= {"baseline", "avx2", "avx512"}
    assert _isa.active() == _isa.LEVELS[-1]
    assert ext._isa(_isa.LEVELS[0]) == _isa.LEVELS[-1]
    assert ext._isa() == "baseline"
    with pytest.raises(ValueError, match=r"^unknown instruction level 'sse9'$"):
        ext._isa("sse9")
    with pytest.raises(TypeError, match=r"^_isa\(\) argument 'level' must be str or None, not int$"):
        ext._isa(2)
    assert ext._isa() == "baseline"


@pytest.mark.parametrize("level", sorted({"avx2", "avx512"} - set(_isa.LEVELS)))
def test_a_level_the_processor_lacks_is_refused_and_the_level_kept(level):
    with pytest.raises(ValueError) as info:
        ext._isa(level)
    assert str(info.value) == f"this processor does not support the instruction level '{level}'"
    assert _isa.active() == _isa.LEVELS[-1]


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("strided", [False, True])
@pytest.mark.parametrize("n", LENGTHS)
@pytest.mark.parametrize(("dtype", "text"), CASES)
def test_every_level_gives_the_baseline_bits_and_numpy_s_values(dtype, text, n, strided, threads):
    if n > 65536 and (threads == 1 or strided or dtype not in (np.float64, np.int64)):
        pytest.skip("the long length is for the pool's splits")
    names = operands(dtype, n, strided, seed=n)
    with np.errstate(all="ignore"), bm.num_threads(threads):
        results = at_every_level(text, names)
        expected = eval(text, {"__builtins__": {}, **NUMPY}, names)
    assert_same_bits(results)
    if np.dtype(dtype).kind == "c":
        # NumPy's own complex product fuses its multiply-adds on processors
        # that have them: a part that cancels keeps a rounding of the whole.
        eps = np.finfo(dtype).eps
        assert results["baseline"].dtype == expected.dtype
        np.testing.assert_allclose(results["baseline"], expected, rtol=16 * eps, atol=16 * eps)
    else:
        np.testing.assert_array_equal(results["baseline"], expected, strict=True)


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("n", [1, 7, 33, 103, 4096 + 5, 3 * 65536 + 11])
@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64, np.int16, np.uint32, np.bool_])
@pytest.mark.parametrize("text", REDUCTIONS)
def test_every_level_reduces_to_the_baseline_bits(text, dtype, n, threads):
    rng = np.random.default_rng(n)
    if np.dtype(dtype).kind == "f":
        a = rng.uniform(0.0, 2.0, n).astype(dtype)
        # Zeros of both signs decide Min, the first one met; in the long
        # array a NaN past the first scan chunk of a piece decides everything.
        a[rng.integers(0, n, n // 7 + 1)] = -0.0
        a[rng.integers(0, n, n // 7 + 1)] = 0.0
        if n > 65536:
            a[n // 2 + 2000] = np.nan
    else:
        a = rng.integers(0, 2 if dtype is np.bool_ else 50, n).astype(dtype)
    m = a[: n // 3 * 3].reshape(-1, 3) if n >= 3 else a.reshape(1, -1)
    names = {"a": a, "m": m}
    with np.errstate(all="ignore"), bm.num_threads(threads):
        results = at_every_level(text, names)
    assert_same_bits(results)
    if np.dtype(dtype).kind != "f" or "min" in text or "max" in text:
        with np.errstate(all="ignore"):
            expected = eval(text, {"__builtins__": {}, "sum": np.sum, "prod": np.prod, "min": np.min, "max": np.max}, names)
        np.testing.assert_array_equal(results["baseline"], expected)
