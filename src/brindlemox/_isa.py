"""The instruction level of the engine's loops, which tests and benchmarks force to compare levels.

Every level gives the same bits; only the speed differs.
"""

import contextlib
from collections.abc import Iterator
from typing import Final

import _brindlemox

from . import _typed_eval

#: The levels this processor supports, lowest first.
LEVELS: Final[tuple[str, ...]] = _brindlemox._ISA_LEVELS


def active() -> str:
    """The level of programs compiled now: the best supported unless forced."""
    return _brindlemox._isa()


@contextlib.contextmanager
def forced(level: str) -> Iterator[None]:
    """Programs compiled inside run the loops of `level`; the previous level is restored on leaving.

    The level is the process's: other threads' programs compiled meanwhile take it too. The typed
    programs the package keeps are dropped on entering and on leaving, so that texts evaluated
    inside compile theirs at `level` and those after at the restored level.
    """
    previous = _brindlemox._isa(level)
    _typed_eval.typed_plan.cache_clear()
    try:
        yield
    finally:
        _brindlemox._isa(previous)
        _typed_eval.typed_plan.cache_clear()
