"""Repeated calls of every operation keep the process's memory flat: a leaked
reference or engine object per call would show as steady growth."""

import gc

import numpy as np
import pytest

import _brindlemox as ext
from conftest import SANITIZED

pytestmark = [pytest.mark.numpy, pytest.mark.timeout(120)]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def growth(operation, rounds=4, calls=3000):
    """Resident growth between the second and the last of several rounds."""
    samples = []
    for _ in range(rounds):
        for _ in range(calls):
            operation()
        gc.collect()
        samples.append(resident_bytes())
    return samples[-1] - samples[1]


k = ext._KernelModule()
rt = ext._RuntimeModule()
x, y = k.args("x", "y")
data = np.arange(256.0)
buf = rt.asarray(data)
spec = k.elementwise(k.where_(x > 0, x * y, -y))
channel = rt.chan(4)
case = ext.RecvCase(channel)


def deliver_and_receive():
    rt.go(k.sum(buf), out=channel).result()
    ext.py_select(case)


def failing_calls():
    for call in (
        lambda: k.sqrt(1.0),
        lambda: x + "a",
        lambda: rt.go(k.map(spec, x=buf)).result(),
        lambda: ext._unary("Nope", x),
        lambda: ext._binary("Min", x, 1.0),
    ):
        try:
            call()
        except (TypeError, ValueError):
            pass


OPERATIONS = {
    "asarray and numpy": lambda: rt.asarray(data).numpy(),
    "expressions": lambda: repr(k.where_(x > 1, k.sin(x) + 2 * y, 0).rewrite_args({0: 1}).get_temp_args()),
    "operators by name": lambda: ext._binary("Atan2", ext._unary("Log", x), y),
    "kernels and maps": lambda: k.map(k.elementwise(x * y + 1), x=buf, y=2.0),
    "go and result": lambda: rt.go(k.map(spec, x=buf, y=buf)).result().numpy(),
    "reductions": lambda: rt.go(k.mean(buf)).result().scalar(),
    "send and recv": lambda: (channel.send(buf), channel.recv()),
    "delivery and select": deliver_and_receive,
    "errors": failing_calls,
}


@pytest.mark.skipif(SANITIZED, reason="ASan holds freed memory in quarantine")
@pytest.mark.parametrize("name", sorted(OPERATIONS))
def test_memory_stays_flat(name):
    assert growth(OPERATIONS[name]) < 2 * 2**20


def test_argument_reference_counts_stay_put():
    import sys

    watched = [buf, spec, channel, case, x, y, data]
    for operation in OPERATIONS.values():
        operation()
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(200):
        for operation in OPERATIONS.values():
            operation()
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == before
