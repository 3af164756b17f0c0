import os
import signal
import subprocess
import sys
import textwrap

import pytest

import _brindlemox as bm

# A shell starts background jobs (`make test &`) with SIGINT ignored, and an
# interpreter that starts so leaves it ignored: the Ctrl-C tests' children
# would never see their signal. A handled signal is reset to the default in
# every child, which then installs its KeyboardInterrupt handler as usual.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


@pytest.fixture
def k():
    return bm._KernelModule()


@pytest.fixture
def rt():
    return bm._RuntimeModule()


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

    k, rt = bm._KernelModule(), bm._RuntimeModule()
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
