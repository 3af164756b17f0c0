"""The math transcendental functions compute with: ``"libm"``, the platform's
own functions, one element at a time (NumPy's answers, the default), or
``"fast"``, SLEEF's vectorised functions: within 1 ulp of the correctly
rounded result, and the same bits on every processor level, thread count and
block split. The mode of a call is its own ``math`` argument, else the one a
`math_mode` block of this context set, else the process's (`set_math_mode`).
"""

import contextlib
import contextvars
import functools
from collections.abc import Iterator
from typing import Final

from _brindlemox import _MATH_MODES, _math_missing

from ._build import with_sections

_DEFAULT: Final = "libm"

# What a mode lacks in this process does not change while it runs: a mode
# found ready is not checked again.
_missing = functools.cache(_math_missing)
_ready: set[str] = set()

_process_mode = _DEFAULT
_context_mode: contextvars.ContextVar[str | None] = contextvars.ContextVar("brindlemox_math", default=None)


# The docstring sections of the functions that take a mode, which `check_math` checks.
_MODE_SECTIONS: Final = {
    "mode": """mode : {"libm", "fast"}
        The platform's functions, or fast math (see `evaluate`).""",
    "raises": """Raises
    ------
    ValueError
        For another name.
    RuntimeError
        For a mode this process lacks (see `math_modes`), saying what is missing.""",
}


def check_math(mode: object) -> str:
    """`mode` when this process computes in it: ValueError for a name that is
    no mode, RuntimeError saying why for a mode the process lacks."""
    if type(mode) is not str or mode not in _MATH_MODES:
        raise ValueError(f"math must be one of {', '.join(map(repr, _MATH_MODES))} (got {mode!r})")
    missing = _missing(mode)
    if missing:
        raise RuntimeError(missing)
    _ready.add(mode)
    return mode


def resolve_math(mode: str | None) -> str:
    """The mode a call computes in: its own `mode`, checked, or the current one."""
    if mode is None:
        # `get_math_mode`, read here: a call of no mode pays no further call for it.
        mode = _context_mode.get()
        return _process_mode if mode is None else mode
    return mode if mode == _DEFAULT or (type(mode) is str and mode in _ready) else check_math(mode)


def math_modes() -> tuple[str, ...]:
    """The math modes this process can compute in.

    Returns
    -------
    tuple of str
        ``("libm", "fast")``, or ``("libm",)`` on a processor without AVX2
        and FMA or where SLEEF is not installed.

    Examples
    --------
    >>> import brindlemox as bm
    >>> "libm" in bm.math_modes()
    True
    """
    return tuple(mode for mode in _MATH_MODES if not _missing(mode))


def get_math_mode() -> str:
    """The math mode of calls without a ``math`` argument, here.

    Returns
    -------
    str
        The innermost `math_mode` block's mode in this thread or task, else the
        process's (`set_math_mode`).

    Examples
    --------
    >>> import brindlemox as bm
    >>> bm.get_math_mode()
    'libm'
    """
    mode = _context_mode.get()
    return _process_mode if mode is None else mode


@with_sections(**_MODE_SECTIONS)
def set_math_mode(mode: str) -> str:
    """Make `mode` the process's math mode, for calls without a ``math``
    argument outside any `math_mode` block.

    Parameters
    ----------
    {mode}

    Returns
    -------
    str
        The previous mode.

    {raises}

    Examples
    --------
    >>> import brindlemox as bm
    >>> previous = bm.set_math_mode("libm")
    >>> bm.set_math_mode(previous)
    'libm'
    """
    global _process_mode
    previous, _process_mode = _process_mode, check_math(mode)
    return previous


@contextlib.contextmanager
@with_sections(**_MODE_SECTIONS)
def math_mode(mode: str) -> Iterator[str]:
    """A block whose calls without a ``math`` argument compute in `mode`, in
    this thread or task only (as `numpy.errstate` works); the mode before it
    comes back on leaving.

    Parameters
    ----------
    {mode}

    Yields
    ------
    str
        `mode`.

    {raises}

    Examples
    --------
    >>> import numpy as np, brindlemox as bm
    >>> with bm.math_mode("libm"):
    ...     bm.evaluate("exp(x)", {"x": np.zeros(2)})
    array([1., 1.])
    """
    token = _context_mode.set(check_math(mode))
    try:
        yield mode
    finally:
        _context_mode.reset(token)
