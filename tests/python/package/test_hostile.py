# Inputs built to break the in-place path: ndarray subclasses, arrays changed
# while the call converts its other arguments, masked arrays.
import warnings

import numpy as np
import pytest

import brindlemox as bm
from _brindlemox import _get_num_threads, _reduce, _set_num_threads
from conftest import bits, peak_bytes

pytestmark = pytest.mark.numpy


class TinyBuffer(np.ndarray):
    """An array whose buffer export is 8 bytes, whatever its shape."""

    def __buffer__(self, flags):
        return memoryview(np.zeros(1)).cast("B").cast("d")


def test_a_subclass_exporting_another_buffer_is_read_as_its_array_data():
    # Would read (and as out, write) 4096 doubles through an 8-byte export.
    x = np.arange(4096.0)
    assert bits(bm.evaluate("x + 1", {"x": x.view(TinyBuffer)})) == bits(x + 1)
    out = np.zeros(4096).view(TinyBuffer)
    assert bm.evaluate("x + 1", {"x": x}, out=out) is out
    assert bits(out) == bits(x + 1)
    assert bm.sum(x.view(TinyBuffer)) == 4096 * 4095 / 2
    with pytest.raises(TypeError) as raised:
        _reduce(x.view(TinyBuffer), 0)
    assert str(raised.value) == (
        "argument 'array': 'TinyBuffer' object cannot be converted to 'aligned, contiguous float64 ndarray'"
    )


@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
def test_matrix_operands_and_out_are_read_and_written_as_plain_arrays():
    m = np.matrix([[1.0, 2.0], [3.0, 4.0]])
    result = bm.evaluate("m * m", {"m": m})
    assert type(result) is np.ndarray and result.tolist() == [[1.0, 4.0], [9.0, 16.0]]
    out = np.matrix(np.zeros((2, 2)))
    assert bm.evaluate("m + 1", {"m": np.asarray(m)}, out=out) is out
    assert out.tolist() == [[2.0, 3.0], [4.0, 5.0]]


def test_the_reduction_code_is_read_before_the_array_is_checked():
    # The code's __index__ reinterprets the array's 8 bytes as two float32s:
    # a check before it would let the sum read 16 bytes.
    a = np.full(1, 1.5)

    class Code:
        def __index__(self):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                a.dtype = np.float32
            return 0

    with pytest.raises(TypeError) as raised:
        _reduce(a, Code())
    assert str(raised.value) == (
        "argument 'array': 'ndarray' object cannot be converted to 'aligned, contiguous float64 ndarray'"
    )


MASKED_MESSAGE = "argument '{}' is a masked array; pass its data with the masked elements filled in"


@pytest.mark.parametrize(("call", "name"), [
    (lambda m: bm.evaluate("x + 1", {"x": m}), "x"),
    (lambda m: bm.kernel(lambda x: x + 1)(m), "x"),
    (lambda m: bm.sum(m), "a"),
    (lambda m: bm.max(m), "a"),
])
def test_masked_arrays_are_refused(call, name):
    masked = np.ma.array([1.0, 2.0, 3.0], mask=[True, False, False])
    with pytest.raises(TypeError) as raised:
        call(masked)
    assert str(raised.value) == MASKED_MESSAGE.format(name)


def test_a_masked_out_is_refused():
    with pytest.raises(TypeError) as raised:
        bm.evaluate("x + 1", {"x": np.ones(3)}, out=np.ma.zeros(3))
    assert str(raised.value) == "out must be a NumPy array, not MaskedArray"


def test_the_private_thread_setting_refuses_more_than_1024():
    # 100000 threads on a small machine made the next evaluation hang.
    before = _get_num_threads()
    with pytest.raises(ValueError) as raised:
        _set_num_threads(1025)
    assert str(raised.value) == "the number of threads must be at most 1024, not 1025"
    assert _get_num_threads() == before
    assert _set_num_threads(1024) == before
    assert bm.set_num_threads(before) == 1024


@pytest.mark.parametrize("reduce", [bm.sum, bm.mean, bm.min, bm.max])
def test_a_memory_map_is_reduced_where_it_lies(reduce, tmp_path):
    n = 1 << 20
    mapped = np.memmap(tmp_path / "values.bin", dtype=np.float64, mode="w+", shape=(n,))
    mapped[:] = np.linspace(-1.0, 1.0, n)
    expected = reduce(np.asarray(mapped).copy())
    peak, result = peak_bytes(lambda: reduce(mapped))
    assert bits(result) == bits(expected)
    assert peak < n  # no copy of the n * 8 bytes
