import os
import subprocess
import sys
import textwrap

import pytest

import _brindlemox as bm


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
