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


def bits(value):
    import struct

    return struct.pack("<d", value)
