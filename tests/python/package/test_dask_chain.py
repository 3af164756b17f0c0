"""The strict sum chained across chunks, as the Dask integration runs it: the
carry each chunk leaves gives the next one's start, and the chain ends with
the bits of one sum over the whole array."""

import numpy as np
import pytest

import _brindlemox
import brindlemox as bm
from conftest import bits, misaligned


def chain(values, cuts, mean=False):
    carry = (-0.0, 0)
    for chunk in np.split(values, cuts):
        carry = _brindlemox._continue_sum(*carry, chunk)
    return _brindlemox._finish_sum(*carry, mean)


def cancelling_values(n, seed):
    """Magnitudes that swallow small terms, so that other groupings round differently."""
    return np.random.default_rng(seed).choice([1e16, -1e16, 1.0, 3.0, -0.0, 0.5], size=n)


@pytest.mark.parametrize("seed", range(6))
def test_any_chunking_gives_the_whole_sum(seed):
    rng = np.random.default_rng(seed)
    values = cancelling_values(200, seed)
    if seed % 2:
        values[rng.choice(200, 3, replace=False)] = [np.inf, -np.inf, np.nan]
    cuts = np.sort(rng.integers(0, 201, size=rng.integers(0, 12)))  # repeated cuts make empty chunks
    assert bits(chain(values, cuts)) == bits(bm.sum(values))
    assert bits(chain(values, cuts, mean=True)) == bits(bm.mean(values))


@pytest.mark.parametrize("values", [[-0.0, -0.0], [0.0, -0.0], [-0.0], [1e16, 1.0, -1e16]])
def test_signed_zeros_and_rounding_follow_the_strict_order(values):
    values = np.array(values)
    for cut in range(len(values) + 1):
        assert bits(chain(values, [cut])) == bits(bm.sum(values))


@pytest.mark.parametrize("mean, message", [(False, "cannot Sum empty buffer"), (True, "cannot Mean empty buffer")])
def test_a_chain_over_no_element_is_the_local_error(mean, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        chain(np.empty(0), [0, 0], mean)


REFUSED = "object cannot be converted to 'aligned, contiguous float64 ndarray'"


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((1, 0, np.ones(2)), TypeError, "argument 'total': 'int' object cannot be converted to 'float'"),
        ((1.0, 0, np.ones(2, dtype=np.float32)), TypeError, f"argument 'values': 'ndarray' {REFUSED}"),
        ((1.0, 0, [1.0]), TypeError, f"argument 'values': 'list' {REFUSED}"),
        ((1.0, 0, memoryview(np.ones(2))), TypeError, f"argument 'values': 'memoryview' {REFUSED}"),
        ((1.0, 0, np.ones(2, dtype=">f8")), TypeError, f"argument 'values': 'ndarray' {REFUSED}"),
        ((1.0, 0, np.ones(4)[::2]), TypeError, f"argument 'values': 'ndarray' {REFUSED}"),
        ((1.0, -1, np.ones(2)), OverflowError, "can't convert negative int to unsigned"),
    ],
)
def test_bad_arguments_are_refused(args, error, message):
    with pytest.raises(error) as raised:
        _brindlemox._continue_sum(*args)
    assert str(raised.value) == message


def test_native_byte_order_spelled_out_is_accepted():
    values = np.frombuffer(np.array([1e16, 1.0, -1e16]).tobytes(), dtype="<f8")
    assert bits(_brindlemox._finish_sum(*_brindlemox._continue_sum(-0.0, 0, values), False)) == bits(0.0)


def test_misaligned_values_are_refused_by_the_chain_and_copied_by_the_dask_step():
    values = misaligned([1e16, 1.0, -1e16, 3.0])
    with pytest.raises(TypeError) as raised:
        _brindlemox._continue_sum(-0.0, 0, values)
    assert str(raised.value) == f"argument 'values': 'ndarray' {REFUSED}"
    pytest.importorskip("dask")
    from brindlemox import dask as bm_dask

    carry = bm_dask._continue_sum((-0.0, 0), values)
    assert bits(carry[0]) == bits(bm.sum(values.copy())) and carry[1] == 4
