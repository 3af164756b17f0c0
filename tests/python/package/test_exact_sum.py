"""Sums and means are exact sums rounded once: one differential matrix against
an exact oracle (fractions), over adversarial and random data, every dtype,
axis, layout and thread count, in expression text and over Dask chunks."""

import math
from fractions import Fraction

import numpy as np
import pytest

import brindlemox as bm
from brindlemox import _isa
from conftest import bits

#: (precision, exponent of the least subnormal, greatest exponent) per real dtype.
FORMATS = {np.float16: (11, -24, 15), np.float32: (24, -149, 127), np.float64: (53, -1074, 1023)}
REAL = {np.float16: np.float16, np.float32: np.float32, np.float64: np.float64, np.complex64: np.float32,
        np.complex128: np.float64}


def exact(values):
    """The exact sum of finite floats: their 53-bit integer significands,
    summed per binary exponent in 26-bit halves (no int64 total overflows
    below 2^36 values), then added once as integers in units of 2^-1126."""
    significands, exponents = np.frexp(np.asarray(values, np.float64).ravel())
    if exponents.size == 0:
        return Fraction(0)
    order = np.argsort(exponents, kind="stable")
    whole, exponents = np.ldexp(significands[order], 53).astype(np.int64), exponents[order]
    starts = np.flatnonzero(np.diff(exponents, prepend=exponents[0] - 1))
    high, low = np.add.reduceat(whole >> 26, starts), np.add.reduceat(whole & (2**26 - 1), starts)
    total = sum(((int(h) << 26) + int(l)) << int(e - 53 + 1126) for h, l, e in zip(high, low, exponents[starts]))
    return Fraction(total, 1 << 1126)


@pytest.mark.parametrize("seed", range(4))
def test_the_oracle_is_the_sum_of_the_values_as_fractions(seed):
    rng = np.random.default_rng(seed)
    values = np.ldexp(rng.random(3000), rng.integers(-1100, 1024, 3000)) * rng.choice([-1.0, 1.0], 3000)
    values[rng.integers(0, 3000, 300)] = rng.choice([0.0, -0.0, 5e-324, -5e-324, np.finfo(float).max], 300)
    assert exact(values) == sum(map(Fraction, values.tolist()), Fraction(0))
    assert exact(values[:0]) == 0


def rounded(value, dtype):
    """`value` (a Fraction) rounded once, to nearest with ties to even, to `dtype`."""
    precision, lowest, top = FORMATS[dtype]
    if value == 0:
        return 0.0
    magnitude = abs(value)
    exponent = magnitude.numerator.bit_length() - magnitude.denominator.bit_length()
    if Fraction(2) ** exponent > magnitude:
        exponent -= 1
    ulp = max(exponent - precision + 1, lowest)
    kept = round(magnitude / Fraction(2) ** ulp)  # ties to even
    result = math.inf if kept * Fraction(2) ** ulp >= Fraction(2) ** (top + 1) else math.ldexp(kept, ulp)
    return -result if value < 0 else result


def oracle_sum(values, dtype):
    """The sum of the real `values` as it must be, in `dtype`."""
    values = np.asarray(values, np.float64)
    if np.isnan(values).any() or (np.isposinf(values).any() and np.isneginf(values).any()):
        return np.nan
    if np.isinf(values).any():
        return values[np.isinf(values)][0]
    total = exact(values)
    if total == 0:
        return -0.0 if values.size and np.signbit(values).all() else 0.0
    return rounded(total, dtype)


def oracle(name, values, dtype):
    """NumPy's result dtype's value of bm.<name> over `values` of `dtype`."""
    values = np.asarray(values)
    parts = (values.real, values.imag) if np.iscomplexobj(values) else (values,)
    if name == "sum":
        answers = [oracle_sum(part, REAL[dtype]) for part in parts]
    else:
        answers = [oracle_sum(part, np.float64) / values.size for part in parts]
    result = np.empty((), dtype)
    if len(answers) == 2:
        result.real, result.imag = answers
    else:
        result[()] = answers[0]
    return result


def same(got, expected):
    """Bitwise equality of NumPy values of one dtype, NaN by NaN-ness (its bits are the platform's)."""
    got, expected = np.asarray(got), np.asarray(expected)
    assert got.dtype == expected.dtype and got.shape == expected.shape
    wide = lambda a: np.ravel(a).astype(np.complex128).view(np.float64) if a.dtype.kind == "c" else np.ravel(a).astype(np.float64)  # noqa: E731
    nan = np.isnan(wide(expected))
    assert (np.isnan(wide(got)) == nan).all()
    assert bits(np.where(nan, 0.0, wide(got))) == bits(np.where(nan, 0.0, wide(expected)))


TINY = 5e-324
ADVERSARIAL = {
    "cancellation": [1e16, 1.0, -1e16],
    "huge and tiny": [1e300, 1e-300, -1e300, 3e-310, 1.5],
    "subnormals": [TINY, 2 * TINY, -TINY, 2.2250738585072014e-308],
    "overflow on the way": [1e308, 1e308, -1e308],
    "beyond range": [1.7e308, 1.7e308],
    "negative zeros": [-0.0, -0.0, -0.0],
    "zeros of both signs": [-0.0, 0.0],
    "cancelling to zero": [-1.0, 1.0, -0.0],
    "nan": [1.0, np.nan, 2.0],
    "infinities": [np.inf, -np.inf],
    "one infinity": [-np.inf, 1e308, 1e308],
    "ties": [1.0, 2.0**-53, 2.0**-24, 2.0**-11, 2.0**-54],
}
SIZES = [1, 2, 7, 2047, 2048, 4095, 4096, 4097, 32769, 70001]
THREADS = [1, 2, 3, 8]


def random_values(n, seed):
    """Signs, magnitudes from 1e-20 to 1e20, and a few cancelling giants."""
    rng = np.random.default_rng(seed)
    values = rng.standard_normal(n) * 10.0 ** rng.integers(-20, 21, n)
    if n > 2:
        values[rng.integers(0, n, 3)] = [1e18, -1e18, 1e18]
    return values


def data(case, dtype):
    values = np.array(ADVERSARIAL[case]) if isinstance(case, str) else random_values(case, case)
    if np.dtype(dtype).kind == "c":
        return (values + 1j * values[::-1]).astype(dtype)
    with np.errstate(over="ignore", invalid="ignore"):
        return values.astype(dtype)


@pytest.mark.parametrize("dtype", list(REAL))
@pytest.mark.parametrize("case", [*ADVERSARIAL, *SIZES])
def test_whole_sums_and_means_are_exact_for_every_thread_count(case, dtype):
    values = data(case, dtype)
    expected = {name: oracle(name, values, dtype) for name in ("sum", "mean")}
    for threads in THREADS:
        with bm.num_threads(threads):
            for name, reduction in (("sum", bm.sum), ("mean", bm.mean)):
                same(reduction(values), expected[name])
    if dtype is np.float64 and np.isfinite(values).all() and case not in ("overflow on the way", "beyond range"):
        assert bits(bm.sum(values)) == bits(math.fsum(values) or (-0.0 if np.signbit(values).all() else 0.0))


def test_integer_means_are_the_exact_sum_of_their_float64_values():
    values = np.array([2**62, 1, -(2**62), 3, 2**53 + 1], np.int64)
    assert bits(bm.mean(values)) == bits(float(exact(values.astype(np.float64))) / 5)
    assert bm.sum(values) == 2**53 + 5 and bm.sum(values).dtype == np.int64


@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.complex128])
@pytest.mark.parametrize("axis", [0, 1, 2, (0, 1), (0, 2), (1, 2), None])
@pytest.mark.parametrize("keepdims", [False, True])
def test_every_axis_and_layout_of_a_3d_array(dtype, axis, keepdims):
    array = data(210, dtype).reshape(5, 6, 7)
    layouts = [array, np.asfortranarray(array), array[::-1, :, ::-1].copy()[::-1, :, ::-1],
               np.broadcast_to(array[:, :1, :], (5, 6, 7))]
    for layout in layouts:
        moved = np.moveaxis(layout, bm_axes(axis), range(-len(bm_axes(axis)), 0))
        lines = moved.reshape(*moved.shape[: moved.ndim - len(bm_axes(axis))], -1)
        for name, reduction in (("sum", bm.sum), ("mean", bm.mean)):
            expected = np.empty(lines.shape[:-1], dtype)
            for index in np.ndindex(*lines.shape[:-1]):
                expected[index] = oracle(name, lines[index], dtype)
            if keepdims:
                expected = np.expand_dims(expected, bm_axes(axis))
            for threads in (1, 3):
                with bm.num_threads(threads):
                    same(reduction(layout, axis=axis, keepdims=keepdims), expected[()])


def bm_axes(axis):
    return tuple(range(3)) if axis is None else axis if isinstance(axis, tuple) else (axis,)


# The engine evaluates a text's sum 4096 values at a time, in pieces of at
# least 32768 a thread; sizes about both, and a kernel of each engine.
@pytest.mark.parametrize("n", [5, 4095, 4097, 32767, 32769, 65536, 100003])
@pytest.mark.parametrize(("text", "values"), [("a*b", lambda a, b: a * b),
                                               ("where(a > b, a, 2*b)", lambda a, b: np.where(a > b, a, 2 * b))])
def test_sums_in_text_are_exact_sums_of_the_expressions_values(n, text, values):
    a = random_values(n, n)
    b = random_values(n, n + 1)
    expected = values(a, b)
    fortran = {name: np.asfortranarray(np.tile(column[:, None], 3)) for name, column in (("a", a), ("b", b))}
    # The exact oracle is the slow part: once per value, not per thread count.
    total, mean = oracle("sum", expected, np.float64), oracle("mean", expected, np.float64)
    tiled, centred = oracle("sum", np.tile(expected, 3), np.float64), a - oracle("mean", a, np.float64)[()]
    for threads in THREADS:
        with bm.num_threads(threads):
            assert bits(bm.evaluate(f"sum({text})")) == bits(total)
            assert bits(bm.evaluate(f"mean({text})")) == bits(mean)
            assert bits(bm.evaluate(f"sum({text})", fortran)) == bits(tiled)
            assert bits(bm.evaluate("a - mean(a)")) == bits(centred)
    a32, b32 = (a * 1e-12).astype(np.float32), (b * 1e-12).astype(np.float32)
    same(bm.evaluate("sum(a32*b32)"), oracle("sum", a32 * b32, np.float32))


# Rows shorter and longer than the engine's runs of 4096 values, and one row alone.
@pytest.mark.parametrize("shape", [(3, 4095), (2, 4097), (5, 3, 7), (1, 70001), (9000, 5)])
@pytest.mark.parametrize("axis", [-1, (-2, -1)])
def test_sums_in_text_along_the_last_axes_are_exact_sums_of_each_line(shape, axis):
    size = math.prod(shape)
    a, b = random_values(size, size).reshape(shape), random_values(size, size + 1).reshape(shape)
    lines = (a * b).reshape(*shape[: len(shape) - len(bm_axes(axis))], -1)
    sums = np.array([oracle("sum", line, np.float64) for line in lines.reshape(-1, lines.shape[-1])])
    means = np.array([oracle("mean", line, np.float64) for line in lines.reshape(-1, lines.shape[-1])])
    for threads in THREADS:
        with bm.num_threads(threads):
            same(bm.evaluate(f"sum(a*b, axis={axis})"), sums.reshape(lines.shape[:-1]))
            # Inside a text, a reduction along axes keeps them, as keepdims=True would.
            same(bm.evaluate(f"mean(a*b, axis={axis}) * 1.0"), np.expand_dims(means.reshape(lines.shape[:-1]), axis))


def test_dask_chunks_give_the_local_exact_sums():
    da = pytest.importorskip("dask.array")
    dask = pytest.importorskip("dask")
    for dtype in (np.float16, np.float32, np.float64, np.complex64, np.int32):
        values = data(4097, dtype) if dtype is not np.int32 else np.arange(-3000, 1097, dtype=np.int32)
        for chunks in (1000, 333):
            lazy = da.from_array(values, chunks=chunks)
            with dask.config.set(scheduler="sync"):
                same(bm.sum(lazy).compute(), bm.sum(values))
                same(bm.mean(lazy).compute(), bm.mean(values))
        same(bm.mean(values), oracle("mean", values, np.result_type(np.mean(values[:1]))))


# The fast front takes blocks of 1024 values in lanes of 8, and blocks of
# 8192 values of a table's columns, a lane a column, in tiles of 16 columns
# and the rest one by one; positions about their ends.
FRONT_SIZE = 8800
EDGES = [0, 1, 7, 8, 9, 1015, 1023, 1024, 1025, 2047, 2048, 8191, 8192, 8799]


def assert_front_exact(values):
    """bm.sum of `values` whole, as float32, and of its columns as tables of 4,
    5, 20 and 40 columns of both (a tile's columns alone, the rest alone, and
    both), against the oracle, bit for bit, at every instruction level on 1
    thread and at the best on 2."""
    with np.errstate(over="ignore"):
        narrow = values.astype(np.float32)
    expected = {dtype: oracle("sum", part, dtype) for dtype, part in ((np.float64, values), (np.float32, narrow))}
    tables = [(part.reshape(-1, columns), dtype) for columns in (4, 5, 20, 40)
              for dtype, part in ((np.float64, values), (np.float32, narrow))]
    columns_expected = [np.array([oracle_sum(table[:, column], dtype) for column in range(table.shape[1])], dtype)
                        for table, dtype in tables]
    for level, threads in [*((level, 1) for level in _isa.LEVELS), (_isa.LEVELS[-1], 2)]:
        with _isa.forced(level), bm.num_threads(threads):
            same(bm.sum(values), expected[np.float64])
            same(bm.sum(narrow), expected[np.float32])
            for (table, _), want in zip(tables, columns_expected):
                same(bm.sum(table, axis=0), want)


@pytest.mark.parametrize("special", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("at", EDGES)
def test_a_special_value_anywhere_in_a_block_sends_it_the_exact_way(special, at):
    values = random_values(FRONT_SIZE, at)
    values[at] = special
    assert_front_exact(values)


def test_infinities_of_both_signs_in_different_blocks_are_nan():
    values = random_values(FRONT_SIZE, 3)
    values[[5, 5000]] = [np.inf, -np.inf]
    assert_front_exact(values)


@pytest.mark.parametrize("stride", [1, 4, 8, 20])
@pytest.mark.parametrize("at", [0, 1000, 1020, 8150])
def test_an_overflow_inside_a_block_loses_nothing(at, stride):
    # Stride 8 puts the giants in one lane of a run, 4 and 20 in one column of a table.
    values = np.ones(FRONT_SIZE)
    values[at : at + 6 * stride : stride] = [1e308] * 3 + [-1e308] * 3
    assert_front_exact(values)
    values[at + 5 * stride] = 1e308
    assert_front_exact(values)


@pytest.mark.parametrize("seed", [1, 2])
def test_values_from_the_least_subnormal_to_2_to_the_1000_spill_from_the_lanes(seed):
    rng = np.random.default_rng(seed)
    values = np.ldexp(1.0 + rng.random(FRONT_SIZE), rng.integers(-1074, 1001, FRONT_SIZE))
    assert_front_exact(values * rng.choice([-1.0, 1.0], FRONT_SIZE))


def test_subnormals_alone():
    rng = np.random.default_rng(4)
    assert_front_exact(rng.integers(-(2**52), 2**52, FRONT_SIZE) * TINY)


@pytest.mark.parametrize("span", [22, 23, 24, 31])
def test_floats_whose_exponents_span_about_what_a_double_holds_sum_exactly(span):
    # A run of floats is summed in doubles when their exponents span so little
    # that every partial sum is exact; a wider span is summed another way.
    # The values from 1 to 2^span cancel, in the whole and in every column, so
    # the sums are the tail's: a bit lost from a partial sum would show.
    rng = np.random.default_rng(span)
    floats = np.ldexp(rng.integers(2**23, 2**24, FRONT_SIZE) * rng.choice([-1.0, 1.0], FRONT_SIZE),
                      rng.integers(-23, span - 22, FRONT_SIZE))
    half = (FRONT_SIZE // 2 - 40) // 40 * 40  # whole rows of every table's columns
    tail = np.ldexp(rng.integers(2**23, 2**24, FRONT_SIZE - 2 * half), -23)
    assert_front_exact(np.concatenate([floats[:half], -floats[:half], tail]))


@pytest.mark.parametrize("at", [None, *EDGES])
def test_negative_zeros_sum_to_negative_zero_unless_a_positive_zero_is_among_them(at):
    values = np.full(FRONT_SIZE, -0.0)
    if at is not None:
        values[at] = 0.0
    assert_front_exact(values)


def test_negative_zeros_and_values_that_cancel_sum_to_positive_zero():
    values = np.full(FRONT_SIZE, -0.0)
    values[4096:4098] = [1.0, -1.0]
    assert_front_exact(values)
    values[100] = np.nan
    assert_front_exact(values)


# Tables about the column sums' blocks: tiles of 16 columns, blocks of 1024
# columns, of 16 rows of a wide table, and pieces of whole rows on the pool.
TABLES = [(1, 1025), (17, 1023), (3, 2049), (33, 16), (512, 15), (4000, 17), (200, 1040), (70, 2048)]


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("shape", TABLES)
def test_column_sums_have_the_bits_of_each_columns_own_sum(shape, dtype):
    rng = np.random.default_rng(shape[1])
    calm = rng.standard_normal(shape)
    wild = random_values(calm.size, shape[0]).reshape(shape)
    wild[rng.integers(0, shape[0]), rng.integers(0, shape[1], 3)] = [np.nan, np.inf, -1e308]
    wild[:, -1] = -0.0
    for values in (calm, wild):
        with np.errstate(over="ignore"):
            table = values.astype(dtype)
        want = np.array([bm.sum(np.ascontiguousarray(table[:, column])) for column in range(shape[1])], dtype)
        for threads in THREADS:
            with bm.num_threads(threads):
                same(bm.sum(table, axis=0), want)


@pytest.mark.parametrize("columns", [1, 16, 17])
def test_float32_column_sums_round_once_from_the_exact_sum(columns):
    # Each column's exact sum is just off a float32 tie that its nearest
    # double lies on: rounding through the double would go the wrong way.
    cases = [([1.0, 2.0**-24, 2.0**-60], 1.0 + 2.0**-23), ([1.0 + 2.0**-23, 2.0**-24, -(2.0**-60)], 1.0 + 2.0**-23),
             ([-1.0, -(2.0**-24), -(2.0**-60)], -1.0 - 2.0**-23)]
    for terms, want in cases:
        table = np.tile(np.array(terms, np.float32)[:, None], (1, columns))
        for threads in (1, 2):
            with bm.num_threads(threads):
                same(bm.sum(table, axis=0), np.full(columns, want, np.float32))


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize(("shape", "axis"), [((0,), None), ((0, 3), 0), ((3, 0), 1), ((0, 3), None), ((2, 0, 3), 1)])
def test_the_sum_of_no_element_is_zero_and_the_mean_nan_with_numpys_warning(dtype, shape, axis):
    empty = np.empty(shape, dtype)
    same(bm.sum(empty, axis=axis), np.sum(empty, axis=axis))
    with pytest.warns(RuntimeWarning) as caught:
        mean = bm.mean(empty, axis=axis)
    assert str(caught[0].message) == "Mean of empty slice" and caught[0].filename == __file__
    with pytest.warns(RuntimeWarning):
        same(mean, np.mean(empty, axis=axis))
