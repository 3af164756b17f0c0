import os
import signal
import subprocess
import sys
import textwrap
import threading
import tracemalloc

import pytest

import _brindlemox as ext

# A shell starts background jobs (`make test &`) with SIGINT ignored, and an
# interpreter that starts so leaves it ignored: the Ctrl-C tests' children
# would never see their signal. A handled signal is reset to the default in
# every child, which then installs its KeyboardInterrupt handler as usual.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


#: Whether the suite runs against the AddressSanitizer build (its runtime preloaded).
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.fixture
def k():
    return ext._KernelModule()


@pytest.fixture
def rt():
    return ext._RuntimeModule()


def run_python(code, timeout=60, env=None):
    """Runs `code` in a fresh interpreter; a crash there fails one test, not the suite."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env={**os.environ, **(env or {})},
    )


def child_exit_code(pid, timeout=60):
    """The exit code of forked child `pid`; kills it and fails the test if it hangs."""
    import time

    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.02)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    pytest.fail(f"forked child {pid} hung")


def bits(values):
    """The bit patterns of float64 values, for exact comparison (NaN payloads and signs of zero included)."""
    import numpy as np

    return np.asarray(values, dtype=np.float64).view(np.uint64).tolist()


def go_values(build, **arrays):
    """The values the low-level path computes: `build(k, **args)` over the
    arrays flattened in C order, through asarray, go and numpy(), reshaped back."""
    import numpy as np

    k, rt = ext._KernelModule(), ext._RuntimeModule()
    names = list(arrays)
    args = dict(zip(names, k.args(*names)))
    expr = build(k, **args)
    used = set(expr.get_temp_args().values())
    spec = k.elementwise(expr)
    shape = np.broadcast_shapes(*(np.shape(a) for a in arrays.values()))
    buffers = {
        name: rt.asarray(np.ascontiguousarray(np.broadcast_to(np.asarray(a, dtype=np.float64), shape)).reshape(-1))
        for name, a in arrays.items()
        if name in used
    }
    return rt.go(k.map(spec, **buffers)).result().numpy().reshape(shape)


def run_in_threads(target, count, timeout=60):
    """Runs `target` on `count` threads at once; fails the test if one is still running after `timeout` seconds."""
    threads = [threading.Thread(target=target) for _ in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=timeout)
        assert not thread.is_alive()


def peak_bytes(call):
    """Peak traced allocation while `call` runs (NumPy reports its array data), and its result."""
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        result = call()
        return tracemalloc.get_traced_memory()[1], result
    finally:
        tracemalloc.stop()


def misaligned(values):
    """A float64 array of `values` whose data starts one byte past an 8-byte boundary."""
    import numpy as np

    values = np.asarray(values, dtype=np.float64)
    raw = np.zeros(values.nbytes + 8, dtype=np.uint8)
    start = 1 if raw.ctypes.data % 8 == 0 else 9 - raw.ctypes.data % 8
    array = raw[start : start + values.nbytes].view(np.float64)
    array[...] = values
    assert not array.flags.aligned
    return array


def same_tree(decoded, original):
    """Whether `decoded` is `original` with fresh argument ids, drawn in the same order."""
    new, old = decoded.get_temp_args(), original.get_temp_args()
    if [new[i] for i in sorted(new)] != [old[i] for i in sorted(old)]:
        return False
    return repr(decoded.rewrite_args(dict(zip(sorted(new), sorted(old))))) == repr(original)


def pytest_addoption(parser):
    parser.addoption(
        "--active-level-only",
        action="store_true",
        help="run the tests parametrized by instruction level at the active level alone",
    )


def pytest_collection_modifyitems(config, items):
    """Under --active-level-only, leaves out the other levels' tests: the
    level matrix is NumPy 2's release run's to check, and another NumPy
    changes nothing in how the levels compare."""
    if not config.getoption("active_level_only"):
        return
    from brindlemox import _isa

    active = _isa.active()
    kept, left_out = [], []
    for item in items:
        params = getattr(item, "callspec", None)
        at_other_level = params is not None and params.params.get("level", active) != active
        (left_out if at_other_level else kept).append(item)
    config.hook.pytest_deselected(items=left_out)
    items[:] = kept
