"""The thread setting: its workers follow it, and a refused thread is an ordinary error."""

import os

import pytest

from conftest import run_python

pytestmark = pytest.mark.numpy

# Counts this process's threads, waiting (up to 30 s) for the count to
# become `expected`, since ended threads leave the census a moment later.
THREAD_CENSUS = """
import os, time

def threads_settling_at(expected):
    deadline = time.monotonic() + 30
    while len(os.listdir("/proc/self/task")) != expected and time.monotonic() < deadline:
        time.sleep(0.01)
    return len(os.listdir("/proc/self/task"))
"""


def test_a_sweep_of_settings_keeps_at_most_the_largest_count_of_workers():
    result = run_python(
        THREAD_CENSUS
        + """
import numpy as np
import brindlemox as bm

base = len(os.listdir("/proc/self/task"))
x = np.arange(100000.0)
for n in range(1, 51):
    bm.set_num_threads(n)
    assert (bm.evaluate("x * 3 + 1", {"x": x}) == x * 3 + 1).all()
print(threads_settling_at(base + 49) - base)
bm.set_num_threads(1)
print(threads_settling_at(base) - base)
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["49", "0"]


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer's runtime maps memory beyond an address space cap"
)
def test_a_thread_the_system_refuses_keeps_the_previous_setting():
    # A capped address space has no room for 199 thread stacks (root is not
    # exempt from this limit, unlike the one on processes).
    result = run_python(
        THREAD_CENSUS
        + """
import resource
import numpy as np
import brindlemox as bm

base = len(os.listdir("/proc/self/task"))
bm.set_num_threads(3)
with open("/proc/self/statm") as statm:
    in_use = int(statm.read().split()[0]) * resource.getpagesize()
uncapped = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (in_use + (64 << 20), uncapped[1]))
try:
    bm.set_num_threads(200)
except Exception as error:
    print(f"{type(error).__name__}: {error}")
# What follows only checks the outcome, and needs memory of its own.
resource.setrlimit(resource.RLIMIT_AS, uncapped)
print(bm.get_num_threads(), threads_settling_at(base + 2) - base)
x = np.arange(100000.0)
print((bm.evaluate("x * 3 + 1", {"x": x}) == x * 3 + 1).all())
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "RuntimeError: cannot start a work pool thread: Resource temporarily unavailable",
        "3 2",
        "True",
    ]
