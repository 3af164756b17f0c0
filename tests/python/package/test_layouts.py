# Arrays of every layout (strided, reversed, transposed, Fortran, broadcast,
# rows with gaps between them) give the bits their contiguous copies give,
# through text and kernels, for every element size, at sizes about the
# engine's blocks (512 elements) and its pieces for the pool (16384).
import numpy as np
import pytest

import brindlemox as bm

pytestmark = pytest.mark.numpy

DTYPES = ["float64", "float32", "float16", "int64", "int32", "int8", "uint16", "complex128", "bool"]
#: (rows, columns): one row, a block and a bit, and more than two pieces.
SHAPES = [(1, 511), (1, 513), (3, 171), (129, 257)]
LAYOUTS = ["strided", "reversed", "transposed", "fortran", "broadcast", "gapped rows", "mixed"]


def values(dtype, shape, seed):
    """A C-contiguous array of `shape` of small values of `dtype`, mostly nonzero."""
    drawn = np.random.default_rng(seed).integers(-9, 10, shape)
    if dtype == "bool":
        return drawn > 0
    if np.dtype(dtype).kind == "c":
        return (drawn + 0.25j * drawn[..., ::-1]).astype(dtype)
    if np.dtype(dtype).kind in "iu":
        return np.abs(drawn).astype(dtype) if np.dtype(dtype).kind == "u" else drawn.astype(dtype)
    return (drawn / 4).astype(dtype)


def laid_out(array, layout, which):
    """`array`'s elements in `layout`: a view into other memory, of `array`'s
    shape (or, broadcast, of shapes that broadcast to it)."""
    rows, columns = array.shape
    if layout == "strided":
        backing = np.zeros((rows, 2 * columns), array.dtype)
        backing[:, ::2] = array
        return backing[:, ::2]
    if layout == "reversed":
        return np.ascontiguousarray(array[::-1, ::-1])[::-1, ::-1]
    if layout == "transposed":
        return np.ascontiguousarray(array.T).T
    if layout == "fortran":
        return np.asfortranarray(array)
    if layout == "broadcast":
        # The first operand a column, the second a row: their product is the table.
        return array[:, :1] if which == 0 else array[:1, :]
    if layout == "gapped rows":
        backing = np.zeros((rows, columns + 3), array.dtype)
        backing[:, 1:-2] = array
        return backing[:, 1:-2]
    return laid_out(array, "transposed" if which == 0 else "strided", which)


def contiguous_operands(dtype, shape, layout):
    a, b = values(dtype, shape, 0), values(dtype, shape, 1)
    if layout == "broadcast":
        a, b = np.broadcast_to(a[:, :1], shape).copy(), np.broadcast_to(b[:1, :], shape).copy()
    return a, b


def bits(array):
    return array.dtype, array.shape, array.tobytes(order="C")


PRODUCT = bm.kernel(lambda a, b: a * b + 1)


@pytest.mark.parametrize("route", ["text", "kernel"])
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("shape", SHAPES, ids=str)
@pytest.mark.parametrize("dtype", DTYPES)
def test_every_layout_gives_the_contiguous_bits(dtype, shape, layout, route):
    a, b = contiguous_operands(dtype, shape, layout)
    a_laid, b_laid = laid_out(a, layout, 0), laid_out(b, layout, 1)
    run = (lambda x, y: bm.evaluate("a*b + 1", {"a": x, "b": y})) if route == "text" else PRODUCT
    expected = run(a, b)
    assert bits(expected) == bits(a * b + 1)
    with bm.num_threads(2):
        assert bits(run(a_laid, b_laid)) == bits(expected)


def strided_out(dtype, shape, kind):
    """An output of `shape` whose elements lie apart, and the zeroed memory around them."""
    rows, columns = shape
    if kind == "every second":
        backing = np.zeros((rows, 2 * columns), dtype)
        return backing[:, ::2], backing
    if kind == "reversed":
        backing = np.zeros((rows + 1, columns), dtype)
        return backing[:0:-1, ::-1], backing
    backing = np.zeros((columns + 2, rows), dtype)
    return backing[1:-1].T, backing


@pytest.mark.parametrize("out_kind", ["every second", "reversed", "transposed"])
@pytest.mark.parametrize("layout", ["strided", "reversed", "transposed", "broadcast"])
@pytest.mark.parametrize("dtype", ["float64", "int16", "complex128", "bool"])
def test_every_layout_is_written_where_a_strided_out_lies(dtype, layout, out_kind):
    a, b = contiguous_operands(dtype, (129, 257), layout)
    expected = a * b + 1
    out, backing = strided_out(expected.dtype, expected.shape, out_kind)
    untouched = backing.copy()
    with bm.num_threads(2):
        result = bm.evaluate("a*b + 1", {"a": laid_out(a, layout, 0), "b": laid_out(b, layout, 1)}, out=out)
    assert result is out and bits(out) == bits(expected)
    out[...] = 0
    assert bits(backing) == bits(untouched)


def test_an_out_that_repeats_an_element_is_written_as_numpy_writes_it():
    x = np.arange(6.0)
    ours, numpys = (np.lib.stride_tricks.as_strided(np.zeros(1), (6,), (0,)) for _ in range(2))
    bm.evaluate("x + 1", {"x": x}, out=ours)
    np.add(x, 1, out=numpys)
    assert bits(ours) == bits(numpys)


@pytest.mark.parametrize("layout", ["contiguous", "gapped rows", "strided"])
def test_a_value_written_over_itself_stays_itself(layout):
    backing = values("int32", (129, 2 * 260), 0)
    x = {"contiguous": backing, "gapped rows": backing[:, 1:-2], "strided": backing[:, ::2]}[layout]
    expected = x.copy()
    assert bm.evaluate("x", {"x": x}, out=x) is x
    assert bits(x) == bits(expected)
