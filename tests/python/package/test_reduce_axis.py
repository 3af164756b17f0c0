# Reductions along axes: each result element has the bits of the whole-array
# reduction of its line (over several axes, in C order), for every thread
# count, with NumPy's shapes and errors.
import itertools

import numpy as np
import pytest

import _brindlemox as ext

import brindlemox as bm
from conftest import bits

pytestmark = pytest.mark.numpy

NAMES = ["sum", "prod", "mean", "min", "max"]
_RNG = np.random.default_rng(11)
# Large enough that the rows are spread over the pool.
X = _RNG.standard_normal((40, 9, 30)) * 1.3
X[1, 2, [3, 5]] = [-0.0, 0.0]
X[5, 0, 7] = np.nan
AXES = [0, 1, 2, -1, (0, 2), (2, 0), (1,), (0, 1, 2), None]


def expected(name, values, axis, keepdims):
    """Each line's whole-array reduction, placed as NumPy places the results."""
    axes = range(values.ndim) if axis is None else np.atleast_1d(axis) % values.ndim
    reduced = sorted(set(int(one) for one in axes))
    kept = [d for d in range(values.ndim) if d not in reduced]
    moved = values.transpose(kept + reduced)
    shape = moved.shape[: len(kept)]
    result = np.empty(shape)
    for index in itertools.product(*(range(n) for n in shape)):
        result[index] = getattr(bm, name)(moved[index])
    return np.expand_dims(result, tuple(reduced)) if keepdims else result


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("axis", AXES)
@pytest.mark.parametrize("keepdims", [False, True])
def test_each_line_has_the_bits_of_its_whole_reduction_for_every_thread_count(name, axis, keepdims):
    want = expected(name, X, axis, keepdims)
    numpy_shape = getattr(np, "a" + name if name in ("min", "max") else name)(X, axis=axis, keepdims=keepdims).shape
    for threads in (1, 2, 3):
        with bm.num_threads(threads):
            got = getattr(bm, name)(np.asfortranarray(X) if threads == 3 else X, axis=axis, keepdims=keepdims)
        assert np.shape(got) == numpy_shape == want.shape
        assert bits(np.asarray(got)) == bits(want)


@pytest.mark.parametrize(
    ("axis", "error", "message"),
    [
        ((0, 0), ValueError, "duplicate value in 'axis'"),
        ((0, -3), ValueError, "duplicate value in 'axis'"),
        (3, np.exceptions.AxisError, "axis 3 is out of bounds for array of dimension 3"),
        ((0, -4), np.exceptions.AxisError, "axis -4 is out of bounds for array of dimension 3"),
        (1.5, TypeError, "'float' object cannot be interpreted as an integer"),
    ],
)
@pytest.mark.parametrize("name", NAMES)
def test_bad_axes_raise_numpys_errors(name, axis, error, message):
    with pytest.raises(error) as raised:
        getattr(bm, name)(X, axis=axis)
    assert str(raised.value) == message
    with pytest.raises(error):
        getattr(np, "a" + name if name in ("min", "max") else name)(X, axis=axis)


def test_empty_lines_are_the_reductions_error_and_no_lines_an_empty_result():
    with pytest.raises(ValueError, match="^cannot Max empty buffer$"):
        bm.max(np.ones((3, 0)), axis=1)
    assert bm.sum(np.ones((3, 0)), axis=0).shape == (0,)


def test_a_whole_reduction_along_all_axes_is_a_float_and_min_max_keep_two_operands_elementwise():
    assert type(bm.sum(X, axis=(0, 1, 2))) is float and bits(bm.sum(X, axis=(0, 1, 2))) == bits(bm.sum(X))
    with pytest.raises(TypeError, match=r"^min\(\) takes axis and keepdims only with one array$"):
        bm.min(X, X, axis=0)


def test_reduce_rows_refuses_rows_that_do_not_fit_and_overlapping_out():
    values = np.arange(6.0)
    with pytest.raises(ValueError, match="^the values do not split into one row per element of out$"):
        ext._reduce_rows(values, 0, np.empty(4))
    with pytest.raises(ValueError, match="^out overlaps the values$"):
        ext._reduce_rows(values, 0, values[:2])
    out = np.empty(2)
    ext._reduce_rows(values, 0, out)
    assert out.tolist() == [3.0, 12.0]


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("chunks", [(40, 9, 30), (7, 4, 11), (1, 9, 2)])
def test_dask_arrays_along_axes_are_lazy_with_the_local_bits(name, chunks):
    da = pytest.importorskip("dask.array")
    dask = pytest.importorskip("dask")
    lazy_x = da.from_array(X, chunks=chunks)
    for axis, keepdims in [(0, False), (-1, True), ((0, 2), False), ((2, 1), True), (None, True), ((0, 1, 2), False)]:
        lazy = getattr(bm, name)(lazy_x, axis=axis, keepdims=keepdims)
        assert isinstance(lazy, da.Array)
        with dask.config.set(scheduler="sync"):
            got = lazy.compute()
        assert bits(np.asarray(got)) == bits(np.asarray(getattr(bm, name)(X, axis=axis, keepdims=keepdims)))
    with pytest.raises(np.exceptions.AxisError):
        getattr(bm, name)(lazy_x, axis=3)
