# evaluate(), kernel(...) and the array reductions give exactly the bits of the
# low-level go() path, whatever the shape, memory order, size or output.
import math
from fractions import Fraction

import numpy as np
import pytest

import brindlemox as bm
from brindlemox import _isa
from _brindlemox import _REDUCTIONS, _reduce
from brindlemox._reduce import reduce_array
from conftest import bits, go_values

pytestmark = pytest.mark.numpy

SPECIAL = np.array([np.nan, -np.nan, 0.0, -0.0, np.inf, -np.inf, 1.0, -1.0, 5e-324, 1.7976931348623157e308])

EXPRESSIONS = [
    ("2*x + y", lambda k, x, y: 2 * x + y),
    ("sqrt(x*x + y*y)", lambda k, x, y: k.sqrt(x * x + y * y)),
    ("where(x > 0, x, 0)", lambda k, x, y: k.where_(x > 0, x, 0)),
    ("sin(x)*exp(-x)", lambda k, x, y: k.sin(x) * k.exp(-x)),
    ("x / y - max(x, y) ** 2", lambda k, x, y: x / y - k.max(x, y) * k.max(x, y)),
]


def sample(n, seed):
    """Normal values with NaNs, signed zeros and infinities mixed in."""
    rng = np.random.default_rng(seed)
    values = rng.standard_normal(n) * 4
    picks = rng.random(n) < 0.2
    values[picks] = rng.choice(SPECIAL, picks.sum())
    return values


def shaped(values, shape, order):
    return np.array(values.reshape(shape), order=order)


@pytest.mark.parametrize(("text", "build"), EXPRESSIONS)
@pytest.mark.parametrize(
    ("shape", "order"), [((1024,), "C"), ((4096,), "C"), ((4099,), "C"), ((64, 64), "C"), ((64, 64), "F"), ((8, 16, 32), "F")]
)
def test_evaluate_and_kernel_match_go(text, build, shape, order):
    n = int(np.prod(shape))
    x, y = shaped(sample(n, 1), shape, order), shaped(sample(n, 2), shape, order)
    reference = bits(go_values(build, x=x, y=y))
    result = bm.evaluate(text, {"x": x, "y": y})
    assert result.shape == shape and result.dtype == np.float64
    assert result.flags.writeable and result.flags.owndata
    assert result.flags.f_contiguous if order == "F" else result.flags.c_contiguous
    assert bits(result) == reference
    kernel = bm.kernel(build(bm, *bm.args("x", "y")))
    assert bits(kernel(**{name: {"x": x, "y": y}[name] for name in kernel.names})) == reference


# Two arithmetic operators in a row, and a square root after them, run as
# one loop; each operator alone, one after the other into arrays named for
# the next, gives the unchained bits (the last one's value).
CHAINS = [
    ("a*b + c", [("t", "a*b"), ("t", "t + c")]),
    ("c - a/b", [("t", "a/b"), ("t", "c - t")]),
    ("2*a - c", [("t", "2*a"), ("t", "t - c")]),
    ("c / (a + 0.5)", [("t", "a + 0.5"), ("t", "c / t")]),
    ("(a - b) * 3", [("t", "a - b"), ("t", "t * 3")]),
    ("a*a + b*b", [("u", "a*a"), ("v", "b*b"), ("t", "u + v")]),
    ("sqrt(a*a + b*b)", [("u", "a*a"), ("v", "b*b"), ("t", "u + v"), ("t", "sqrt(t)")]),
    ("sqrt(a*b - c)", [("t", "a*b"), ("t", "t - c"), ("t", "sqrt(t)")]),
    ("a*b - c*a", [("u", "a*b"), ("v", "c*a"), ("t", "u - v")]),
    ("sqrt(a*c + b*b)", [("u", "a*c"), ("v", "b*b"), ("t", "u + v"), ("t", "sqrt(t)")]),
    ("sqrt(a*a + 2*b)", [("u", "a*a"), ("v", "2*b"), ("t", "u + v"), ("t", "sqrt(t)")]),
]


def unchained_bits(steps, names):
    values = dict(names)
    for name, step in steps:
        values[name] = bm.evaluate(step, values)
    return bits(values["t"])


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("n", [1, 7, 511, 513, 4096 + 5, 3 * 65536 + 11])
@pytest.mark.parametrize(("text", "steps"), CHAINS)
def test_chained_operators_have_the_unchained_bits_at_every_level(text, steps, n, threads):
    names = {"a": sample(n, 8), "b": sample(n, 9), "c": sample(n, 10)}
    with np.errstate(all="ignore"), bm.num_threads(threads):
        unchained = unchained_bits(steps, names)
        for level in _isa.LEVELS:
            with _isa.forced(level):
                assert bits(bm.evaluate(text, names)) == unchained, level
                out = names["c"].copy()
                assert bits(bm.evaluate(text, {**names, "c": out}, out=out)) == unchained, (level, "in place")


# A where() whose branches are read in place blends them, and with a
# comparison of values read in place as its condition runs as one loop, in
# every shape and nested in either place; NumPy's where copies the bits it
# picks.
WHERES = [
    ("where(a > 0, a, 0)", lambda a, b: np.where(a > 0, a, 0.0)),
    ("where(a, 1.5, b)", lambda a, b: np.where(a, 1.5, b)),
    ("where(a <= b, -0.0, 2)", lambda a, b: np.where(a <= b, -0.0, 2.0)),
    ("where(a != b, b, a) * b", lambda a, b: np.where(a != b, b, a) * b),
    ("where(a > 0, where(b > 0, a, b), 0)", lambda a, b: np.where(a > 0, np.where(b > 0, a, b), 0.0)),
    ("where(a > 0, a, sqrt(b))", lambda a, b: np.where(a > 0, a, np.sqrt(b))),
    ("where(a >= b, a, b)", lambda a, b: np.where(a >= b, a, b)),
    ("where(a < 0.5, 1, b)", lambda a, b: np.where(a < 0.5, 1.0, b)),
    ("where(a == b, b, -1)", lambda a, b: np.where(a == b, b, -1.0)),
    ("where(0 < a, a, b)", lambda a, b: np.where(0 < a, a, b)),
]


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("n", [1, 7, 511, 513, 4096 + 5, 3 * 65536 + 11])
@pytest.mark.parametrize(("text", "numpy_form"), WHERES)
def test_where_of_branches_read_in_place_has_numpy_s_bits_at_every_level(text, numpy_form, n, threads):
    names = {"a": sample(n, 11), "b": sample(n, 12)}
    with np.errstate(all="ignore"), bm.num_threads(threads):
        expected = bits(numpy_form(names["a"], names["b"]))
        for level in _isa.LEVELS:
            with _isa.forced(level):
                assert bits(bm.evaluate(text, names)) == expected, level


def starting_at(values, offset):
    """A copy of `values` whose first element lies `offset` elements past a cache line."""
    room = np.empty(values.size + 16)
    start = (-room.ctypes.data % 64) // 8 + offset
    copy = room[start : start + values.size]
    copy[:] = values
    return copy


# The blocks of a run start on cache lines of the output, after a first
# block that reaches one: wherever the output starts, in place or not, the
# bits are the same.
@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("offset", range(8))
@pytest.mark.parametrize(("text", "numpy_form"), [*EXPRESSIONS[:3], ("x*y - 3", lambda k, x, y: x * y - 3)])
def test_outputs_starting_anywhere_in_a_cache_line_keep_the_bits(text, numpy_form, offset, threads):
    x, y = sample(3 * 65536 + 11, 13), sample(3 * 65536 + 11, 14)
    # Compared as bytes: lists of 200,000 bit patterns took most of its time.
    expected = go_values(numpy_form, x=x, y=y).tobytes()
    with np.errstate(all="ignore"), bm.num_threads(threads):
        for level in _isa.LEVELS:
            with _isa.forced(level):
                out = starting_at(np.zeros_like(x), offset)
                assert bm.evaluate(text, {"x": x, "y": y}, out=out).tobytes() == expected, level
                own = starting_at(x, offset)
                assert bm.evaluate(text, {"x": own, "y": y}, out=own).tobytes() == expected, (level, "in place")


@pytest.mark.parametrize(("text", "build"), EXPRESSIONS[:2])
@pytest.mark.parametrize("order", ["C", "F"])
def test_out_may_be_an_input(text, build, order):
    x, y = shaped(sample(4096, 3), (64, 64), order), shaped(sample(4096, 4), (64, 64), order)
    reference = bits(go_values(build, x=x, y=y))
    result = bm.evaluate(text, {"x": x, "y": y}, out=x)
    assert result is x
    assert bits(x) == reference


def test_out_view_partly_overlapping_an_input_reads_a_copy():
    data = sample(4097, 5)
    x = data[1:]
    expected = bits(go_values(lambda k, x: 2 * x + 1, x=x.copy()))
    out = data[:-1]
    assert bm.evaluate("2*x + 1", {"x": x}, out=out) is out
    assert bits(out) == expected


def test_out_is_written_in_place_and_shares_no_input_memory():
    x, y = sample(4096, 6), sample(4096, 7)
    out = np.empty(4096)
    result = bm.evaluate("2*x + y", {"x": x, "y": y}, out=out)
    assert result is out and np.shares_memory(result, out)
    assert bits(out) == bits(go_values(lambda k, x, y: 2 * x + y, x=x, y=y))


def test_mixed_layouts_and_broadcasting_match_go():
    x = shaped(sample(4096, 8), (64, 64), "F")
    y = shaped(sample(4096, 9), (64, 64), "C")
    row = sample(64, 10)
    build = lambda k, x, y, r: (x - y) * r  # noqa: E731
    result = bm.evaluate("(x - y) * r", {"x": x, "y": y, "r": row})
    assert bits(result) == bits(go_values(build, x=x, y=y, r=row))
    assert bits(bm.evaluate("(x - y) * r", {"x": x, "y": y, "r": row[:, None]})) == bits(
        go_values(build, x=x, y=y, r=row[:, None])
    )


def test_scalars_and_one_element_arrays_broadcast():
    x = sample(1024, 11)
    expected = bits(go_values(lambda k, x: x * 2.5 - 1, x=x))
    for s in (2.5, np.float64(2.5), np.float32(2.5), np.array(2.5), np.array([2.5]), [[2.5]]):
        result = bm.evaluate("x * s - 1", {"x": x, "s": s})
        assert bits(result.reshape(-1)) == expected
    assert bm.evaluate("x * s", {"x": x, "s": [[2.0]]}).shape == (1, 1024)
    assert bm.evaluate("a * s", {"a": 2, "s": 1.5}).shape == ()
    assert bm.evaluate("a * s", {"a": np.ones((3, 0)), "s": 1.5}).shape == (3, 0)


_x, _y = bm.args("x", "y")
NUMBERS_ONLY = {
    "text": lambda out: bm.evaluate("x / y - 2", {"x": 1.5, "y": 0.1}, out=out),
    "constant text": lambda out: bm.evaluate("1.5 / 0.1 - 2", {}, out=out),
    "Expr": lambda out: bm.evaluate(_x / _y - 2, {"x": 1.5, "y": 0.1}, out=out),
    "Kernel": lambda out: bm.kernel(_x / _y - 2)(1.5, np.float64(0.1), out=out),
    "0-d arrays": lambda out: bm.kernel(_x / _y - 2)(np.array(1.5), np.array(0.1), out=out),
}


@pytest.mark.parametrize("path", list(NUMBERS_ONLY))
@pytest.mark.parametrize("give_out", [False, True])
def test_numbers_alone_compute_a_0d_result_on_every_path(path, give_out):
    expected = np.float64(1.5) / 0.1 - 2
    out = np.full((), 1234.5) if give_out else None
    np.full((), 1234.5)  # freed memory a new 0-d result may be given
    result = NUMBERS_ONLY[path](out)
    assert result.shape == () and bits(result) == bits(expected)
    assert (result is out) == give_out


def test_other_real_dtypes_are_converted():
    values = np.array([0, 1, -3, 7], dtype=np.int32)
    for data in (values, values.astype(np.int8), values.astype(np.uint64) % 5, values.astype(np.float32), values > 0,
                 values.astype(">f8"), values.astype(np.float16), values.tolist()):
        assert bm.evaluate("2 * d", {"d": data}).tolist() == (2 * np.asarray(data, dtype=np.float64)).tolist()


@pytest.mark.parametrize("shape", [(1024,), (32, 128)])
@pytest.mark.parametrize("order", ["C", "F"])
def test_reductions_match_go(k, rt, shape, order):
    values = shaped(sample(int(np.prod(shape)), 12), shape, order)
    flat = rt.asarray(np.ascontiguousarray(values).reshape(-1))
    factories = {"sum": k.sum, "mean": k.mean, "min": k.min_reduce, "max": k.max_reduce}
    assert _REDUCTIONS == (*factories, "prod")
    # The package's sum and mean are exact: with infinities of both signs, NaN.
    assert np.isposinf(values).any() and np.isneginf(values).any()
    for name, factory in factories.items():
        expected = bits(math.nan) if name in ("sum", "mean") else bits(rt.go(factory(flat)).result().scalar())
        for got in (getattr(bm, name)(values), reduce_array(name, values)):
            assert type(got) is float
            assert bits(got) == expected
    with pytest.raises(ValueError, match="^unknown reduction$"):
        _reduce(np.ascontiguousarray(values), len(_REDUCTIONS))
    finite = np.nan_to_num(values, nan=0.5, posinf=2.0, neginf=-2.0)
    exact = sum(map(Fraction, finite.ravel().tolist()))
    # The correctly rounded quotient of two integers, or beyond the range, an infinity.
    try:
        total = float(exact)
    except OverflowError:
        total = math.inf if exact > 0 else -math.inf
    assert bits(bm.sum(finite)) == bits(total)
    assert bits(bm.mean(finite)) == bits(total / finite.size)


def test_reductions_read_in_c_order_and_keep_the_engine_errors():
    # Exact sums: the order they are read in does not change them.
    assert bm.sum([[1e16, 1.0], [-1e16, 0.0]]) == 1.0
    assert bm.sum(np.array([[1e16, -1e16], [1.0, 0.0]], order="F")) == 1.0
    assert bits(bm.sum([-0.0, -0.0])) == bits(-0.0)
    assert bm.mean(np.arange(4)) == 1.5
    with pytest.warns(RuntimeWarning, match="^Mean of empty slice$"):
        assert math.isnan(bm.mean(np.zeros((3, 0))))
