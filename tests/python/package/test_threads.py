"""The thread setting: its workers follow it, and a refused thread is an ordinary error."""

import os

import pytest

from _brindlemox import _MAX_THREADS
from conftest import SANITIZED, run_python

pytestmark = pytest.mark.numpy

# The variables the package reads its thread count from at import. An empty
# one counts as unset: children get them so, whatever this process has (Dask's
# clusters set OMP_NUM_THREADS=1 here), unless a test sets them.
ENVIRONMENT = ("BRINDLEMOX_NUM_THREADS", "NUMEXPR_NUM_THREADS", "OMP_NUM_THREADS")
NO_SETTING = dict.fromkeys(ENVIRONMENT, "")

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
""",
        env=NO_SETTING,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["49", "0"]


@pytest.mark.skipif(
    SANITIZED, reason="the sanitizer's runtime maps memory beyond an address space cap"
)
def test_a_thread_the_system_refuses_keeps_the_previous_setting():
    # A capped address space has no room for another thread stack (root is
    # not exempt from this limit, unlike the one on processes). Stacks of
    # 1 GiB against a cap 256 MiB above what is mapped leave the interpreter
    # room for the error it builds, whatever heap the process started with.
    result = run_python(
        THREAD_CENSUS
        + """
import ctypes, resource
import numpy as np
import brindlemox as bm

base = len(os.listdir("/proc/self/task"))
bm.set_num_threads(3)
libc = ctypes.CDLL(None)
attributes = ctypes.create_string_buffer(256)
assert libc.pthread_attr_init(attributes) == 0
assert libc.pthread_attr_setstacksize(attributes, ctypes.c_size_t(1 << 30)) == 0
assert libc.pthread_setattr_default_np(attributes) == 0
with open("/proc/self/statm") as statm:
    in_use = int(statm.read().split()[0]) * resource.getpagesize()
uncapped = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (in_use + (256 << 20), uncapped[1]))
try:
    bm.set_num_threads(200)
except Exception as error:
    print(f"{type(error).__name__}: {error}")
# What follows only checks the outcome, and needs memory of its own.
resource.setrlimit(resource.RLIMIT_AS, uncapped)
print(bm.get_num_threads(), threads_settling_at(base + 2) - base)
x = np.arange(100000.0)
print((bm.evaluate("x * 3 + 1", {"x": x}) == x * 3 + 1).all())
""",
        env=NO_SETTING,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "RuntimeError: cannot start a work pool thread: Resource temporarily unavailable",
        "3 2",
        "True",
    ]



@pytest.mark.skipif(
    SANITIZED, reason="the sanitizer's runtime maps memory beyond an address space cap"
)
@pytest.mark.parametrize(
    ("count", "expected"),
    [
        # One thread needs no worker, so none is started only to be ended.
        ("1", ["1", "True"]),
        (
            "200",
            [
                "{default}",
                "True",
                "RuntimeWarning: cannot use 200 threads (cannot start a work pool thread: Resource temporarily "
                "unavailable); using the default",
            ],
        ),
    ],
)
def test_threads_the_system_refuses_at_import_are_a_warning_not_a_failed_import(count, expected):
    result = run_python(
        """
import resource, warnings
import ast, contextlib, dataclasses, inspect, threading, numpy, numpy.typing, _brindlemox
with open("/proc/self/statm") as statm:
    in_use = int(statm.read().split()[0]) * resource.getpagesize()
# Room for the rest of the import, not for one thread's stack.
uncapped = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (in_use + (4 << 20), uncapped[1]))
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import brindlemox as bm
resource.setrlimit(resource.RLIMIT_AS, uncapped)
print(bm.get_num_threads())
print((bm.evaluate("x * 3", {"x": numpy.ones(100000)}) == 3).all())
for warning in caught:
    print(f"{warning.category.__name__}: {warning.message}")
""",
        env={**NO_SETTING, "BRINDLEMOX_NUM_THREADS": count},
    )
    assert result.returncode == 0, result.stderr
    default = len(os.sched_getaffinity(0))
    assert result.stdout.splitlines() == [line.format(default=default) for line in expected]

REPORT_AT_IMPORT = """
import os, warnings
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import brindlemox as bm
print(bm.get_num_threads(), bm.ncores == bm.detect_number_of_cores() == len(os.sched_getaffinity(0)))
for warning in caught:
    print(f"{warning.category.__name__}: {warning.message}")
"""


@pytest.mark.parametrize(
    ("variables", "expected"),
    [
        ({}, ["{default} True"]),
        ({"BRINDLEMOX_NUM_THREADS": "3", "NUMEXPR_NUM_THREADS": "4", "OMP_NUM_THREADS": "5"}, ["3 True"]),
        ({"NUMEXPR_NUM_THREADS": " 4 ", "OMP_NUM_THREADS": "5"}, ["4 True"]),
        ({"OMP_NUM_THREADS": "1"}, ["1 True"]),
        (
            {"BRINDLEMOX_NUM_THREADS": "many", "NUMEXPR_NUM_THREADS": "2"},
            [
                "{default} True",
                "RuntimeWarning: BRINDLEMOX_NUM_THREADS='many' is not a number of threads from 1 to {most}; using the default",
            ],
        ),
        (
            {"NUMEXPR_NUM_THREADS": "0"},
            [
                "{default} True",
                "RuntimeWarning: NUMEXPR_NUM_THREADS='0' is not a number of threads from 1 to {most}; using the default",
            ],
        ),
        (
            {"OMP_NUM_THREADS": "99999"},
            [
                "{default} True",
                "RuntimeWarning: OMP_NUM_THREADS='99999' is not a number of threads from 1 to {most}; using the default",
            ],
        ),
    ],
)
def test_the_thread_count_is_read_from_the_environment_at_import(variables, expected):
    result = run_python(REPORT_AT_IMPORT, env={**NO_SETTING, **variables})
    assert result.returncode == 0, result.stderr
    known = {"default": len(os.sched_getaffinity(0)), "most": _MAX_THREADS}
    assert result.stdout.splitlines() == [line.format(**known) for line in expected]


def test_num_threads_sets_the_count_for_a_block_and_restores_it():
    import brindlemox as bm

    assert bm.MAX_THREADS == _MAX_THREADS
    with pytest.raises(ValueError, match=f"^the number of threads must be at most {bm.MAX_THREADS}, not"):
        bm.set_num_threads(bm.MAX_THREADS + 1)
    before = bm.get_num_threads()
    with pytest.raises(KeyError):
        with bm.num_threads(before + 1):
            assert bm.get_num_threads() == before + 1
            with bm.num_threads(1):
                assert bm.get_num_threads() == 1
            assert bm.get_num_threads() == before + 1
            raise KeyError("leaves the block")
    assert bm.get_num_threads() == before
    with pytest.raises(ValueError):
        with bm.num_threads(0):
            pass
    assert bm.get_num_threads() == before


# Lengths around where costly elements now go to the pool and are cut into
# pieces (a few hundred elements for `sin(x)*exp(-x)`, a few for the costly
# select, a few thousand in the typed runner), and beyond.
COSTLY_LENGTHS = [2, 3, 112, 113, 114, 226, 227, 228, 454, 455, 456, 1000, 3640, 3641, 9000]


@pytest.mark.parametrize(
    ("text", "dtype", "math"),
    [
        ("sin(x)*exp(-x)", "float64", "libm"),
        ("sin(x)*exp(-x)", "float64", "fast"),
        ("sin(x)*exp(-x)", "float32", "libm"),
        ("where(x > y, arctan2(x, y), cbrt(y))", "float64", "libm"),
        ("x**y + log1p(abs(y))", "float64", "libm"),
    ],
)
def test_costly_expressions_give_the_same_bits_at_every_split_and_thread_count(text, dtype, math):
    import numpy as np

    import brindlemox as bm

    if math not in bm.math_modes():
        pytest.skip(f"{math} math is missing here")
    rng = np.random.default_rng(29)
    x, y = (rng.standard_normal(max(COSTLY_LENGTHS)).astype(dtype) for _ in range(2))
    x[::11] = np.nan
    before = bm.get_num_threads()
    try:
        for n in COSTLY_LENGTHS:
            names = {"x": x[:n], "y": y[:n]}
            bm.set_num_threads(1)
            expected = bm.evaluate(text, names, math=math).view(np.uint8)
            for threads in (2, 3):
                bm.set_num_threads(threads)
                assert (bm.evaluate(text, names, math=math).view(np.uint8) == expected).all(), (n, threads)
    finally:
        bm.set_num_threads(before)
