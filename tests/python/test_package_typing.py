# After installation mypy finds the package's annotations and the extension's
# stubs, and reports a type error in code that uses both.
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

USER_CODE = """
    import numpy as np
    import _brindlemox
    import brindlemox as bm

    x, y = bm.args("x", "y")
    hypot = bm.kernel(bm.sqrt(x * x + y * y))
    values: np.ndarray = bm.evaluate("2*x + y", {"x": np.ones(3), "y": 1.0})
    total: float = bm.sum(values) + bm.max(values)
    buffer: _brindlemox.Buffer = bm.asarray(values)
    spec: _brindlemox.MapSpec = hypot.map(x=buffer, y=2.0)
    handle: _brindlemox.TaskHandle = _brindlemox._RuntimeModule().go(spec)
    wrong: str = bm.mean(values)
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="mypy is slow under the sanitizer runtime")
def test_mypy_finds_both_and_reports_a_type_error(tmp_path):
    user = tmp_path / "user.py"
    user.write_text(textwrap.dedent(USER_CODE))
    # A cache beside the build keeps repeated runs cheap; results do not depend on it.
    cache = pathlib.Path(__file__).resolve().parents[2] / "build" / "mypy-cache"
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", f"--cache-dir={cache}", str(user)],
        capture_output=True,
        text=True,
        timeout=300,
        cwd=tmp_path,
    )
    assert result.stdout.splitlines() == [
        f"{user.name}:13: error: Incompatible types in assignment "
        '(expression has type "float", variable has type "str")  [assignment]'
    ]
    assert result.returncode == 1
