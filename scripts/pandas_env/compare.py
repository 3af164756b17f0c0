"""Runs one set of tests twice, with the real numexpr and with brindlemox in
its place, and prints both totals and the tests that fail only with
brindlemox. Usage: compare.py PYTHON SHIM_DIR REAL_NUMEXPR_DIR LABEL -- PYTEST_ARGS..."""

import os
import re
import subprocess
import sys
import tempfile

_OUTCOME = re.compile(r"^(FAILED|ERROR) (\S+)", re.MULTILINE)
# pytest's closing line, with its "=" rule or without (-q).
_TOTALS = re.compile(r"^=* ?(\d+ (?:passed|failed|error)[^\n]*?) in [0-9.]+s", re.MULTILINE)


def run(python: str, args: list[str], env: dict[str, str]) -> tuple[str, set[str]]:
    with tempfile.TemporaryDirectory() as where:
        done = subprocess.run(
            [python, "-m", "pytest", "-q", "-rfE", "-p", "no:cacheprovider", "--timeout=600", *args],
            cwd=where, env=env, capture_output=True, text=True, timeout=4 * 3600,
        )
    output = done.stdout + done.stderr
    totals = _TOTALS.findall(output)
    return (totals[-1] if totals else output[-2000:]), {match[1] for match in _OUTCOME.findall(output)}


def main() -> None:
    python, shim, real, label = sys.argv[1:5]
    args = sys.argv[sys.argv.index("--") + 1:]
    env = dict(os.environ, PYTHONHASHSEED="0")
    with_numexpr, failing = run(python, args, env)
    env_bm = dict(env, PYTHONPATH=shim, BMX_REAL_NUMEXPR=real)
    with_brindlemox, failing_bm = run(python, args, env_bm)
    print(f"{label}, numexpr:    {with_numexpr}")
    print(f"{label}, brindlemox: {with_brindlemox}")
    only = sorted(failing_bm - failing)
    print(f"{label}: {len(only)} failing only with brindlemox")
    for test in only:
        print(f"  {test}")


if __name__ == "__main__":
    main()
