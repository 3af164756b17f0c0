# A Buffer exports its storage through the buffer protocol: read-only, one
# dimension of "d" elements, no copy, alive while a view exists.
import gc
import inspect
import sys

import numpy as np
import pytest

pytestmark = pytest.mark.numpy


def test_memoryview_sees_doubles_read_only(rt):
    buffer = rt.asarray(np.array([1.5, -0.0, np.inf]))
    view = memoryview(buffer)
    assert (view.format, view.itemsize, view.ndim, view.shape, view.strides) == ("d", 8, 1, (3,), (8,))
    assert view.readonly and view.c_contiguous
    assert view.tolist() == [1.5, -0.0, np.inf]


def test_numpy_views_share_the_engine_memory_and_numpy_copies(rt):
    buffer = rt.asarray(np.arange(4096.0))
    first, second = np.asarray(buffer), np.asarray(buffer)
    assert first.dtype == np.float64 and first.shape == (4096,) and not first.flags.writeable
    assert np.shares_memory(first, second)
    assert not np.shares_memory(first, buffer.numpy())
    with pytest.raises(ValueError):
        first[0] = 1.0


def test_writable_request_is_buffer_error(rt):
    buffer = rt.asarray(np.zeros(2))
    with pytest.raises(BufferError) as raised:
        buffer.__buffer__(inspect.BufferFlags.WRITABLE)
    assert str(raised.value) == "Buffer is read-only"
    with pytest.raises(BufferError):
        buffer.__buffer__(inspect.BufferFlags.FULL)


def test_plain_byte_request_and_empty_buffer(rt):
    buffer = rt.asarray(np.array([1.0, 2.0]))
    assert bytes(buffer) == np.array([1.0, 2.0]).tobytes()
    empty = rt.asarray(np.zeros(0))
    assert np.asarray(empty).shape == (0,) and memoryview(empty).tobytes() == b""


def test_buffer_lives_while_a_view_exists(rt):
    buffer = rt.asarray(np.arange(3.0))
    base_count = sys.getrefcount(buffer)
    view = np.asarray(buffer)
    assert sys.getrefcount(buffer) > base_count
    del buffer
    gc.collect()
    assert view.tolist() == [0.0, 1.0, 2.0]
    assert bytes(view.base) == np.arange(3.0).tobytes()


def test_result_of_go_exports_without_copy(k, rt):
    spec = k.elementwise(k.arg("x") * 2)
    result = rt.go(k.map(spec, x=rt.asarray(np.arange(5.0)))).result()
    assert np.asarray(result).tolist() == [0.0, 2.0, 4.0, 6.0, 8.0]
    assert np.shares_memory(np.asarray(result), memoryview(result))
