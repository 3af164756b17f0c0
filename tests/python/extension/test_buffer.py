import numpy as np
import pytest

import _brindlemox as ext
from conftest import run_python

pytestmark = pytest.mark.numpy

PANIC_CONTIGUOUS = "contiguous array required: NotContiguousError"


def test_round_trip(rt):
    source = np.array([1.0, 2.0, 3.0])
    buffer = rt.asarray(source)
    assert repr(buffer) == "Buffer(dtype=float64, shape=[3], len=3)"
    assert len(buffer) == 3
    assert bool(buffer)
    out = buffer.numpy()
    assert out.dtype == np.float64 and out.shape == (3,) and out.flags.c_contiguous and out.flags.writeable
    assert out.tobytes() == source.tobytes()


def test_copies_at_the_border(rt):
    source = np.array([1.5, -0.0, np.nan])
    buffer = rt.asarray(source)
    source[0] = 99.0
    first = buffer.numpy()
    first[1] = 7.0
    second = buffer.numpy()
    assert first is not second
    assert second.tobytes() == np.array([1.5, -0.0, np.nan]).tobytes()


def test_empty_buffer(rt):
    buffer = rt.asarray(np.array([], dtype=np.float64))
    assert repr(buffer) == "Buffer(dtype=float64, shape=[0], len=0)"
    assert not buffer
    assert buffer.numpy().shape == (0,) and buffer.numpy().dtype == np.float64
    with pytest.raises(ValueError) as info:
        buffer.scalar()
    assert str(info.value) == "buffer is empty"


def test_scalar_is_the_first_element(rt):
    assert rt.asarray(np.array([2.5, 7.0])).scalar() == 2.5


def test_bit_patterns_survive(rt):
    values = np.frombuffer(
        np.array([0x7FF8000000000123, 0xFFF0000000000000, 0x8000000000000000, 1], dtype=np.uint64).tobytes(),
        dtype=np.float64,
    )
    assert rt.asarray(values).numpy().tobytes() == values.tobytes()


@pytest.mark.parametrize(
    "value, qualname",
    [
        (np.zeros(3, dtype=np.float32), "ndarray"),
        (np.zeros(3, dtype=np.int32), "ndarray"),
        (np.zeros(3, dtype=np.int64), "ndarray"),
        (np.zeros(3, dtype=bool), "ndarray"),
        (np.zeros(3, dtype=">f8"), "ndarray"),
        (np.zeros((2, 2)), "ndarray"),
        (np.array(1.0), "ndarray"),
        ([1.0, 2.0], "list"),
        (None, "NoneType"),
        (1.0, "float"),
    ],
)
def test_asarray_refuses(rt, value, qualname):
    with pytest.raises(TypeError) as info:
        rt.asarray(value)
    assert str(info.value) == f"argument 'array': '{qualname}' object cannot be converted to 'PyArray<T, D>'"
    assert isinstance(info.value.__cause__, TypeError)


def test_subclasses_and_read_only_arrays_are_accepted(rt):
    class Sub(np.ndarray):
        pass

    sub = np.arange(4.0).view(Sub)
    assert rt.asarray(sub).numpy().tolist() == [0.0, 1.0, 2.0, 3.0]
    frozen = np.arange(3.0)
    frozen.flags.writeable = False
    assert len(rt.asarray(frozen)) == 3


def test_non_contiguous_is_an_internal_failure(rt):
    array = np.arange(10.0)
    with pytest.raises(BaseException) as info:
        rt.asarray(array[::2])
    assert type(info.value).__name__ == "PanicException"
    assert type(info.value).__module__ == "vorpex_runtime"
    assert not isinstance(info.value, Exception)
    assert info.value.args == (PANIC_CONTIGUOUS,)
    assert rt.asarray(array[::2].copy()).numpy().tolist() == [0.0, 2.0, 4.0, 6.0, 8.0]


def test_panic_is_reported_on_stderr_and_not_caught_by_except_exception():
    result = run_python(
        """
        import numpy as np, _brindlemox as ext
        try:
            try:
                ext._RuntimeModule().asarray(np.arange(6.0)[::2])
            except Exception:
                print("caught by Exception")
        except BaseException as error:
            print("caught by BaseException", type(error).__mro__[1].__name__)
        """
    )
    assert result.stdout.strip() == "caught by BaseException BaseException"
    assert "contiguous array required: NotContiguousError" in result.stderr
    assert "py_runtime.cpp" in result.stderr


def test_equality_is_identity(rt):
    buffer = rt.asarray(np.zeros(1))
    assert buffer == buffer
    assert buffer != rt.asarray(np.zeros(1))


def test_numpy_is_not_imported_by_the_module():
    result = run_python("import sys, _brindlemox; print('numpy' in sys.modules)")
    assert result.stdout.strip() == "False"


def test_missing_numpy_is_an_internal_failure():
    result = run_python(
        """
        import sys
        sys.modules["numpy"] = None
        import _brindlemox as ext
        try:
            ext._RuntimeModule().asarray(1)
        except BaseException as error:
            print(type(error).__name__, error)
        """
    )
    assert result.stdout.startswith("PanicException Failed to access NumPy array API capsule: ")
