"""The instruction level of the engine's loops, which tests and benchmarks force to compare levels.

Every level gives the same bits; only the speed differs.
"""

import contextlib
from collections.abc import Iterator
from typing import Final

import _brindlemox

#: The levels this processor supports, lowest first.
LEVELS: Final[tuple[str, ...]] = _brindlemox._ISA_LEVELS


def active() -> str:
    """The level of programs compiled now: the best supported unless forced."""
    return _brindlemox._isa()


@contextlib.contextmanager
def forced(level: str) -> Iterator[None]:
    """Programs compiled inside run the loops of `level`; the previous level is restored on leaving.

    The level is the process's: other threads' programs compiled meanwhile take it too.
    """
    previous = _brindlemox._isa(level)
    try:
        yield
    finally:
        _brindlemox._isa(previous)
