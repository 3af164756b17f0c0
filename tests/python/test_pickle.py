"""Pickling: a buffer travels as its values, out of band under protocol 5;
handles of one process's engine state refuse."""

import pickle

import numpy as np
import pytest

import _brindlemox
import brindlemox as bm

PROTOCOLS = list(range(2, pickle.HIGHEST_PROTOCOL + 1))
_kernels = _brindlemox._KernelModule()
_runtime = _brindlemox._RuntimeModule()


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


def sample_values(n, seed):
    values = np.random.default_rng(seed).standard_normal(n)
    values[:6] = [np.nan, -0.0, np.inf, -np.inf, 0.0, 1e-310]
    values[6] = np.array([0x7FF800000000BEEF], dtype=np.uint64).view(np.float64)[0]
    return values


@pytest.fixture(params=PROTOCOLS, ids=[f"protocol{p}" for p in PROTOCOLS])
def round_trip(request):
    return lambda value: pickle.loads(pickle.dumps(value, protocol=request.param))


def test_buffer_pickles_to_its_values(round_trip):
    values = sample_values(1000, 5)
    back = round_trip(_runtime.asarray(values))
    assert type(back) is bm.Buffer
    assert np.array_equal(bits(back.numpy()), bits(values))


def test_buffer_goes_out_of_band_under_protocol_5():
    values = sample_values(100_000, 6)
    buffer = _runtime.asarray(values)
    buffers = []
    payload = pickle.dumps(buffer, protocol=5, buffer_callback=buffers.append)
    assert len(buffers) == 1 and len(payload) < 1000
    # Lent, not copied: the out-of-band buffer is the engine's own memory.
    assert np.shares_memory(np.frombuffer(buffers[0].raw(), dtype=np.uint8), np.asarray(buffer))
    assert bytes(buffers[0].raw()) == values.tobytes()
    back = pickle.loads(payload, buffers=buffers)
    assert np.array_equal(bits(back.numpy()), bits(values))
    assert len(pickle.dumps(_runtime.asarray(values), protocol=4)) > values.nbytes


def test_empty_buffer_round_trips(round_trip):
    assert len(round_trip(_runtime.asarray(np.empty(0)))) == 0


def _engine_handles():
    channel = _runtime.chan(1)
    task = _runtime.go(_kernels.sum(_runtime.asarray(np.ones(3))))
    return {"TaskHandle": task, "Channel": channel, "RecvCase": _brindlemox.RecvCase(channel)}


_REFUSALS = {
    "TaskHandle": "cannot pickle 'TaskHandle' object: a task belongs to the process that ran it; pickle its result() instead",
    "Channel": "cannot pickle 'Channel' object: a channel connects threads of one process",
    "RecvCase": "cannot pickle 'RecvCase' object: a channel connects threads of one process",
}


@pytest.mark.parametrize("name", list(_REFUSALS))
@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_engine_handles_refuse(name, protocol):
    with pytest.raises(TypeError) as error:
        pickle.dumps(_engine_handles()[name], protocol=protocol)
    assert str(error.value) == _REFUSALS[name]


def test_cloudpickle_uses_the_same_rules():
    cloudpickle = pytest.importorskip("cloudpickle")
    values = sample_values(40, 7)
    assert np.array_equal(bits(cloudpickle.loads(cloudpickle.dumps(_runtime.asarray(values))).numpy()), bits(values))
    with pytest.raises(TypeError, match="^cannot pickle 'Channel' object"):
        cloudpickle.dumps(_runtime.chan(0))
