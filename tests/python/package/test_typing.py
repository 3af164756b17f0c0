# After installation mypy finds the package's annotations and the extension's
# stubs, reports a type error in code that uses both, and picks the overload of
# min and max by their arguments.
import pathlib
import subprocess
import sys
import textwrap

import pytest
from conftest import SANITIZED

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


OVERLOADS_CODE = """
    import numpy as np
    import brindlemox as bm

    x = bm.arg("x")
    reveal_type(bm.min(np.ones(3)))
    reveal_type(bm.max([1.0, 2.0]))
    reveal_type(bm.min(x, 1.0))
    reveal_type(bm.max(2.0, x))
    reveal_type(bm.min(1.0, 2.0))
"""

DASK_CODE = """
    import dask.array as da
    import numpy as np
    import brindlemox as bm

    def lazy(x: da.Array) -> None:
        reveal_type(bm.sum(x))
        reveal_type(bm.mean(x))
        reveal_type(bm.min(x))
        reveal_type(bm.max(x))
        reveal_type(bm.evaluate("2*x", {"x": x}))
        reveal_type(bm.evaluate("2*x + y", {"x": np.ones(3), "y": 1.0}))
"""

# A cold mypy run reads NumPy's and Dask's annotations: tens of seconds on an
# idle machine, minutes beside other work, so these wait longer than the suite's default.
pytestmark = pytest.mark.timeout(600)

skip_under_asan = pytest.mark.skipif(
    SANITIZED, reason="mypy is slow under the sanitizer runtime"
)


ROOT = pathlib.Path(__file__).resolve().parents[3]


def mypy_strict(cwd, *arguments):
    # A cache beside the build keeps repeated runs cheap; results do not depend on it.
    cache = ROOT / "build" / "mypy-cache"
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", f"--cache-dir={cache}", *arguments],
        capture_output=True,
        text=True,
        timeout=540,
        cwd=cwd,
    )


def run_mypy(tmp_path, code, *options):
    user = tmp_path / "user.py"
    user.write_text(textwrap.dedent(code))
    return mypy_strict(tmp_path, *options, str(user))


@skip_under_asan
def test_the_package_itself_type_checks_strictly():
    result = mypy_strict(ROOT, "src/brindlemox")
    assert result.stdout == "" and result.returncode == 0


@skip_under_asan
def test_mypy_finds_both_and_reports_a_type_error(tmp_path):
    result = run_mypy(tmp_path, USER_CODE)
    user = tmp_path / "user.py"
    assert result.stdout.splitlines() == [
        f"{user.name}:13: error: Incompatible types in assignment "
        '(expression has type "float", variable has type "str")  [assignment]'
    ]
    assert result.returncode == 1


@skip_under_asan
def test_mypy_picks_the_overload_of_min_and_max_by_their_arguments(tmp_path):
    result = run_mypy(tmp_path, OVERLOADS_CODE)
    assert result.stdout.splitlines() == [
        f'user.py:{line}: note: Revealed type is "{revealed}"'
        for line, revealed in [(6, "float"), (7, "float"), (8, "_brindlemox.Expr"), (9, "_brindlemox.Expr"), (10, "float")]
    ]
    assert result.returncode == 0


@skip_under_asan
def test_mypy_types_dask_inputs_as_dask_arrays(tmp_path):
    pytest.importorskip("dask")
    result = run_mypy(tmp_path, DASK_CODE)
    lazy, local = "dask.array.core.Array", "numpy.ndarray[tuple[Any, ...], numpy.dtype[Any]]"
    assert result.stdout.splitlines() == [
        f'user.py:{line}: note: Revealed type is "{revealed}"'
        for line, revealed in [(7, lazy), (8, lazy), (9, lazy), (10, lazy), (11, lazy), (12, local)]
    ]
    assert result.returncode == 0


@skip_under_asan
def test_the_readmes_dask_example_type_checks(tmp_path):
    pytest.importorskip("distributed")
    readme = (ROOT / "README.md").read_text()
    example = readme.split("## Dask arrays and clusters", 1)[1].split("```python\n", 1)[1].split("```", 1)[0]
    # Dask's own functions are unannotated: calling them is all --strict would
    # report. Said in the file, the option leaves the cache of the other runs valid.
    result = run_mypy(tmp_path, '# mypy: disable-error-code="no-untyped-call"\n' + example)
    assert result.stdout == "" and result.returncode == 0
