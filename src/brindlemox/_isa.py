"""The instruction level of the engine's loops, which tests and benchmarks force to compare levels.

Every level gives the same bits; only the speed differs.
"""

import contextlib
from collections.abc import Iterator
from typing import Final

import _brindlemox

#: The levels this processor supports, lowest first.
LEVELS: Final[tuple[str, ...]] = _brindlemox._ISA_LEVELS


# Read on every call seen before: kept here, and changed only by `forced`.
_active = _brindlemox._isa()


def active() -> str:
    """The level of programs compiled now: the best supported unless forced."""
    return _active


@contextlib.contextmanager
def forced(level: str) -> Iterator[None]:
    """Programs compiled inside run the loops of `level`; the previous level is restored on leaving.

    The level is the process's: other threads' programs compiled meanwhile take it too.
    """
    global _active
    previous = _brindlemox._isa(level)
    _active = level
    try:
        yield
    finally:
        _brindlemox._isa(previous)
        _active = previous
