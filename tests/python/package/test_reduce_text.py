# Reductions inside expression text: the bits of the same reduction of the
# inner expression's array, computed once, first, and read as a number.
import functools
import operator

import numpy as np
import pytest

import brindlemox as bm
from brindlemox import _compiled, _fused
from conftest import bits, peak_bytes

pytestmark = pytest.mark.numpy

_RNG = np.random.default_rng(7)
A = _RNG.standard_normal(1001)
B = _RNG.standard_normal(1001)
A[[3, 500]] = [-0.0, 0.0]
M = _RNG.standard_normal((13, 7))
NAMES = {"a": A, "b": B, "m": M}


def unfused(name, inner):
    """The reduction as two calls: the inner expression's array, then its reduction."""
    return getattr(bm, name)(bm.evaluate(inner, NAMES))


def minmax(a):
    return (a - bm.min(a)) / (bm.max(a) - bm.min(a))


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("sum(a*b)", lambda: unfused("sum", "a*b")),
        ("mean(a - b)", lambda: unfused("mean", "a - b")),
        ("min(a*b)", lambda: unfused("min", "a*b")),
        ("max(a - b)", lambda: unfused("max", "a - b")),
        ("sum(m**2)", lambda: unfused("sum", "m**2")),
        ("sum(3.0)", lambda: 3.0),
        ("prod(a + 1)", lambda: unfused("prod", "a + 1")),
        ("-sum(a*b)", lambda: -unfused("sum", "a*b")),
        ("a - mean(a)", lambda: A - bm.mean(A)),
        ("a / sum(a)", lambda: A / bm.sum(A)),
        ("(a - min(a)) / (max(a) - min(a))", lambda: minmax(A)),
        ("m - max(m)", lambda: M - bm.max(M)),
        ("sum(a - mean(a))", lambda: bm.sum(A - bm.mean(A))),
        ("min(a, b)", lambda: np.minimum(A, B)),
        ("sum(m**2, axis=1)", lambda: bm.sum(M**2, axis=1)),
        ("max(m, axis=(0, 1))", lambda: bm.max(M)),
        ("prod(m, axis=None)", lambda: bm.prod(M)),
        ("m - mean(m, axis=0)", lambda: M - bm.mean(M, axis=0, keepdims=True)),
        ("m / sum(m, axis=-1) + min(m)", lambda: M / bm.sum(M, axis=-1, keepdims=True) + bm.min(M)),
        ("sum(m - mean(m, axis=1), axis=1)", lambda: bm.sum(M - bm.mean(M, axis=1, keepdims=True), axis=1)),
    ],
)
def test_reductions_in_text_have_the_bits_of_the_reduction_of_the_inner_array(text, expected):
    result = bm.evaluate(text, NAMES)
    want = np.asarray(expected(), dtype=np.float64)
    assert type(result) is np.ndarray and result.dtype == np.float64 and result.shape == want.shape
    assert bits(result) == bits(want)


def test_each_distinct_reduction_is_computed_once_and_the_kernel_is_kept_across_values():
    compiled = _compiled.compile_text("(a - min(a)) / (max(a) - min( a ))")
    assert compiled._names == ("a",)
    assert len(compiled._steps) == 2
    first = bm.evaluate("(a - min(a)) / (max(a) - min( a ))", {"a": np.array([1.0, 3.0])})
    second = bm.evaluate("(a - min(a)) / (max(a) - min( a ))", {"a": np.array([2.0, 6.0, 4.0])})
    assert first.tolist() == [0.0, 1.0] and second.tolist() == [0.0, 1.0, 0.5]


def test_the_reductions_are_read_before_out_is_written_so_out_may_be_an_input():
    a = A.copy()
    expected = A - bm.mean(A)
    assert bm.evaluate("a - mean(a)", {"a": a}, out=a) is a
    assert bits(a) == bits(expected)


def test_a_top_level_reduction_is_a_0d_array_and_writes_out_as_numexpr_does():
    out = np.full((), 9.0)
    assert bm.evaluate("sum(a)", NAMES, out=out) is out
    assert bits(out) == bits(np.float64(bm.sum(A)))
    assert bm.re_evaluate({"a": np.array([1.0, 2.0])}).tolist() == 3.0


@pytest.mark.parametrize(
    ("text", "error", "message"),
    [
        ("sum(a, b)", TypeError, "sum() takes 1 argument (2 given)"),
        ("mean()", TypeError, "mean() takes 1 argument (0 given)"),
        ("min(a, b, a)", TypeError, "min() takes 1 or 2 arguments (3 given)"),
        ("sum(a, keepdim=1)", TypeError, "sum() got an unexpected keyword argument 'keepdim'"),
        ("sum(a, axis=1)", np.exceptions.AxisError, "axis 1 is out of bounds for array of dimension 1"),
        ("a - sum(a, axis=(0, -1))", ValueError, "duplicate value in 'axis'"),
        ("sum(a, axis=b)", TypeError, "sum() takes as axis an integer, a tuple of integers or None"),
        ("a + sum(m, axis=1)", ValueError, None),
        ("sum(a[1:])", ValueError, "unsupported construct in expression: subscript"),
        ("a + sum(z)", NameError, "name 'z' is not defined"),
        ("sum(a + m)", ValueError, None),
        ("b + mean(a + m)", ValueError, None),
    ],
)
def test_bad_reductions_raise_before_anything_is_written(text, error, message):
    out = np.full(A.shape, 5.0)
    assert isinstance(bm.validate(text, NAMES, out=out), error)
    with pytest.raises(error) as raised:
        bm.evaluate(text, NAMES, out=out)
    if message is not None:
        assert str(raised.value) == message
    assert (out == 5.0).all()


def test_an_empty_inner_array_is_the_reductions_own_error_and_out_stays():
    out = np.full((0,), 5.0)
    with pytest.raises(ValueError) as raised:
        bm.evaluate("a - max(a)", {"a": np.empty(0)}, out=out)
    assert str(raised.value) == "cannot Max empty buffer"
    # As NumPy's, the sum of no element is 0.0.
    assert bits(bm.evaluate("sum(a)", {"a": np.empty(0)})) == bits(np.sum(np.empty(0)))
    assert bm.evaluate("a - sum(a)", {"a": np.empty(0)}, out=out) is out


@pytest.mark.parametrize("text", ["a - mean(a*b)", "prod(a/4 + 1)", "m - mean(m, axis=0)", "sum(m**2, axis=1) + max(m)"])
def test_dask_arrays_reduce_lazily_with_the_local_bits(text):
    da = pytest.importorskip("dask.array")
    dask = pytest.importorskip("dask")
    local = bm.evaluate(text, NAMES)
    for chunks in (1001, 100, 7):
        lazy = bm.evaluate(text, {"a": da.from_array(A, chunks=chunks), "b": B, "m": da.from_array(M, chunks=chunks)})
        assert isinstance(lazy, da.Array)
        with dask.config.set(scheduler="sync"):
            assert bits(lazy.compute()) == bits(local)


@pytest.mark.parametrize("order", ["C", "F"])
def test_prod_multiplies_strictly_left_to_right_in_c_order_from_one(order):
    values = np.asfortranarray(M * 1.7) if order == "F" else M * 1.7
    strict = functools.reduce(operator.mul, np.ascontiguousarray(values).ravel().tolist(), 1.0)
    assert type(bm.prod(values)) is float and bits(bm.prod(values)) == bits(strict)
    assert bits(bm.prod([1e200, 1e200, 1e-200])) == bits(np.inf)
    assert bits(bm.prod([-0.0])) == bits(-0.0)
    with pytest.raises(ValueError, match="^cannot Prod empty buffer$"):
        bm.prod([])


@pytest.mark.parametrize("chunks", [1, 2, 3, (1, 0, 2, 3), 6])
def test_prod_of_a_dask_array_chains_the_strict_product_across_chunks(chunks):
    da = pytest.importorskip("dask.array")
    dask = pytest.importorskip("dask")
    values = np.array([1e200, 1e-200, 1e200, 1e200, -0.0, 0.5])
    for local in (values, values[:3], values[::-1]):
        lazy = bm.prod(da.from_array(local, chunks=chunks if local.size == 6 else 1))
        with dask.config.set(scheduler="sync"):
            assert bits(np.float64(lazy.compute())) == bits(np.float64(bm.prod(local)))


_SPECIALS = np.array([0x7FF8000000000123, 0xFFF80000DEADBEEF], dtype=np.uint64).view(np.float64)


@pytest.mark.parametrize("name", ["sum", "prod", "mean", "min", "max"])
@pytest.mark.parametrize("piece", [1, 5, 7, 64, 1 << 16])
@pytest.mark.parametrize("case", ["flat", "broadcast", "wide", "zeros", "nan"])
def test_fused_reductions_have_the_unfused_bits_for_every_piece_size(monkeypatch, name, piece, case):
    rng = np.random.default_rng(piece)
    cube = rng.standard_normal((4, 3, 11)) + 0.5
    names = {
        "flat": {"x": rng.standard_normal(103), "y": 1.5},
        "broadcast": {"x": cube, "y": rng.standard_normal((3, 1))},
        "wide": {"x": rng.standard_normal((2, 3, 40)), "y": rng.standard_normal(40)},
        "zeros": {"x": np.array([0.0, -0.0, 0.0, -0.0, 1.0, -0.0, 0.0] * 3), "y": -1.0},
        "nan": {"x": np.concatenate([cube.ravel()[:50], _SPECIALS[::-1], cube.ravel()[50:]]), "y": 2.0},
    }[case]
    unfused = getattr(bm, name)(bm.evaluate("x * y", names))
    monkeypatch.setattr(_fused, "PIECE", piece)
    assert bits(bm.evaluate(f"{name}(x * y)", names)) == bits(np.float64(unfused))


def test_a_fused_sum_holds_a_piece_not_the_array():
    a, b = np.ones(1_000_000), np.full(1_000_000, 0.5)
    peak, result = peak_bytes(lambda: bm.evaluate("sum(a*b)", {"a": a, "b": b}))
    assert result.tolist() == 500_000.0
    assert peak < 4 * 8 * _fused.PIECE < a.nbytes


def test_a_fused_sum_of_operands_read_in_place_holds_no_piece_in_python():
    a, b = np.ones(1_000_000), np.full(1_000_000, 0.5)
    bm.evaluate("sum(a*b) + mean(a*b)", {"a": a, "b": b})
    peak, result = peak_bytes(lambda: bm.evaluate("sum(a*b) + mean(a*b)", {"a": a, "b": b}))
    assert result.tolist() == 500_000.5
    assert peak < 8 * 1024


@pytest.mark.parametrize(
    ("text", "expected"),
    [("sum(a*b, axis=2)", lambda p: bm.sum(p, axis=2)), ("mean(a*b, axis=-1) + 0.0", lambda p: bm.mean(p, axis=-1, keepdims=True)),
     ("sum(a*b, axis=(1, 2))", lambda p: bm.sum(p, axis=(1, 2)))],
)
def test_a_fused_sum_along_the_last_axes_holds_only_its_result(text, expected):
    a, b = np.ones((100, 100, 100)), np.full((100, 100, 100), 0.5)
    bm.evaluate(text, {"a": a, "b": b})
    peak, result = peak_bytes(lambda: bm.evaluate(text, {"a": a, "b": b}))
    assert peak < a.nbytes // 8
    assert bits(result) == bits(expected(a * b))


@pytest.mark.parametrize("dtype", [np.float64, np.int32])
@pytest.mark.parametrize(
    ("text", "expected"),
    [("sum(m, axis=1)", lambda m: bm.sum(m, axis=1)), ("max(m) - min(m)", lambda m: bm.max(m) - bm.min(m))],
)
def test_a_named_array_is_reduced_where_it_lies(text, expected, dtype):
    m = np.arange(400_000, dtype=dtype).reshape(800, 500)
    peak, result = peak_bytes(lambda: bm.evaluate(text, {"m": m}))
    assert bits(result) == bits(np.asarray(expected(m)))
    assert peak < m.nbytes // 4


# Min and max together scan 2048 values at a time, in pieces of 32768 a
# thread from 2^18 values on: special values about both.
EXTREME_SIZE = 300_000
EXTREME_CASES = {
    "plain": [],
    "nan first": [(0, np.nan)],
    "nan at a chunk's end": [(2047, np.nan), (40_000, -np.inf)],
    "nan in a later piece": [(32_768, np.inf), (65_537, np.nan), (200_000, np.nan)],
    "zeros, positive first": [(5, 0.0), (2048, -0.0), (40_000, -0.0)],
    "zeros, negative first": [(32_767, -0.0), (32_768, 0.0)],
    "infinities": [(1, np.inf), (299_999, -np.inf)],
}


@pytest.mark.parametrize("size", [7, 2049, EXTREME_SIZE])
@pytest.mark.parametrize("case", EXTREME_CASES)
def test_min_and_max_found_together_have_the_bits_of_each_alone(case, size):
    x = np.abs(np.random.default_rng(size).standard_normal(EXTREME_SIZE)) + 1.0
    for at, value in EXTREME_CASES[case]:
        x[at] = value
        x[-at - 1] = -value
    x = x[:size]
    low, high = np.min(x), np.max(x)
    for threads in (1, 2, 3, 8):
        with bm.num_threads(threads), np.errstate(invalid="ignore"):
            least, greatest = bm.min(x), bm.max(x)
            assert bits(bm.evaluate("max(x) - min(x)")) == bits(np.float64(greatest - least))
            assert bits(bm.evaluate("(x - min(x)) / (max(x) - min(x))")) == bits((x - least) / (greatest - least))
            sums = bm.evaluate("min(x) * 1.0 + max(x) * 0.0 + max(x)")
            assert bits(sums) == bits(least * 1.0 + greatest * 0.0 + greatest)
    # NumPy's values; of two zeros, the first met, as bm.min and bm.max keep it.
    assert (np.isnan(least), np.isnan(greatest)) == (np.isnan(low), np.isnan(high))
    assert np.isnan(low) or (least, greatest) == (low, high)


def test_the_normalisation_finds_min_and_max_in_one_pass(monkeypatch):
    from brindlemox import _reduce

    x = np.random.default_rng(3).standard_normal(10_000)
    expected = (x - bm.min(x)) / (bm.max(x) - bm.min(x))

    def refuse(*_):
        raise AssertionError("a second pass over the data")

    monkeypatch.setattr(_reduce, "_reduce_in_place", refuse)
    assert bits(bm.evaluate("(x - min(x)) / (max(x) - min(x))")) == bits(expected)
