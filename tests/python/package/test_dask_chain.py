"""Exact sum states across chunks, as the Dask integration combines them: each
chunk adds into a state of its own, states merge in any grouping, and the
merged state rounds to the bits of one sum over the whole array."""

import numpy as np
import pytest

import _brindlemox
import brindlemox as bm
from conftest import bits, misaligned

FLOAT64 = _brindlemox._SUM_FORMATS.index("float64")


def state_of(values):
    state = np.zeros(_brindlemox._EXACT_SUM_WORDS, np.int64)
    _brindlemox._exact_sum_add(state, values)
    return state


def chain(values, cuts, mean=False):
    """The chunks' states merged from the last to the first, rounded once."""
    merged = np.zeros(_brindlemox._EXACT_SUM_WORDS, np.int64)
    for chunk in reversed(np.split(values, cuts)):
        _brindlemox._exact_sum_merge(merged, state_of(chunk))
    total, count = _brindlemox._exact_sum_round(merged, FLOAT64)
    return total / count if mean else total


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


@pytest.mark.parametrize(
    "values, expected", [([-0.0, -0.0], -0.0), ([0.0, -0.0], 0.0), ([-0.0], -0.0), ([1e16, 1.0, -1e16], 1.0)]
)
def test_signed_zeros_and_rounding_are_the_exact_sums(values, expected):
    values = np.array(values)
    for cut in range(len(values) + 1):
        assert bits(chain(values, [cut])) == bits(bm.sum(values)) == bits(expected)


def test_a_state_of_no_element_counts_none_and_is_plus_zero():
    assert _brindlemox._exact_sum_round(state_of(np.empty(0)), FLOAT64) == (0.0, 0)
    with pytest.warns(RuntimeWarning, match="^Mean of empty slice$"):
        assert np.isnan(bm.mean(np.empty(0)))


REFUSED = "object cannot be converted to 'aligned, contiguous float64 or float32 ndarray'"
STATE = np.zeros(_brindlemox._EXACT_SUM_WORDS, np.int64)


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((STATE, np.ones(2, dtype=np.float16)), TypeError, f"argument 'values': 'ndarray' {REFUSED}"),
        ((STATE, [1.0]), TypeError, f"argument 'values': 'list' {REFUSED}"),
        ((STATE, memoryview(np.ones(2))), TypeError, f"argument 'values': 'memoryview' {REFUSED}"),
        ((STATE, np.ones(2, dtype=">f8")), TypeError, f"argument 'values': 'ndarray' {REFUSED}"),
        ((STATE, np.ones(4)[::2]), TypeError, f"argument 'values': 'ndarray' {REFUSED}"),
        (
            (STATE[:-1], np.ones(2)),
            TypeError,
            "argument 'state': 'ndarray' object cannot be converted to 'writable exact sum state'",
        ),
        (
            (STATE.astype(np.float64), np.ones(2)),
            TypeError,
            "argument 'state': 'ndarray' object cannot be converted to 'writable exact sum state'",
        ),
    ],
)
def test_bad_arguments_are_refused(args, error, message):
    with pytest.raises(error) as raised:
        _brindlemox._exact_sum_add(*args)
    assert str(raised.value) == message


def test_bad_formats_and_read_only_states_are_refused():
    with pytest.raises(ValueError, match="^unknown sum format$"):
        _brindlemox._exact_sum_round(STATE, 3)
    read_only = STATE.copy()
    read_only.flags.writeable = False
    with pytest.raises(TypeError, match="'writable exact sum state'"):
        _brindlemox._exact_sum_merge(read_only, STATE)
    assert _brindlemox._exact_sum_round(read_only, FLOAT64) == (0.0, 0)


def test_native_byte_order_spelled_out_and_float32_are_accepted():
    values = np.frombuffer(np.array([1e16, 1.0, -1e16]).tobytes(), dtype="<f8")
    assert _brindlemox._exact_sum_round(state_of(values), FLOAT64) == (1.0, 3)
    floats = np.array([2.0**40, 1.0, -(2.0**40), 2.0**-30], np.float32)
    assert _brindlemox._exact_sum_round(state_of(floats), FLOAT64) == (1.0 + 2.0**-30, 4)


def test_misaligned_values_are_refused_by_the_state_and_copied_by_the_dask_step():
    values = misaligned([1e16, 1.0, -1e16, 3.0])
    with pytest.raises(TypeError) as raised:
        _brindlemox._exact_sum_add(STATE.copy(), values)
    assert str(raised.value) == f"argument 'values': 'ndarray' {REFUSED}"
    pytest.importorskip("dask")
    from brindlemox import _dask_trees

    state = _dask_trees._state_of(values, 0, True)
    assert _brindlemox._exact_sum_round(state, FLOAT64) == (4.0, 4)
    assert bits(bm.sum(values.copy())) == bits(4.0)
