"""How many threads one evaluation may use, as numexpr users expect."""

import contextlib
import operator
import os
import warnings
from collections.abc import Iterator, Mapping
from typing import Final

import _brindlemox

#: The most threads `set_num_threads` takes.
MAX_THREADS: Final[int] = _brindlemox._MAX_THREADS

#: Where the thread count is read from at import, the first one set deciding.
ENVIRONMENT: Final = ("BRINDLEMOX_NUM_THREADS", "NUMEXPR_NUM_THREADS", "OMP_NUM_THREADS")


def get_num_threads() -> int:
    """The number of threads an evaluation may keep busy, the caller included.

    By default the number of CPUs this process may run on (its affinity mask).

    Returns
    -------
    int
        The thread count, from 1 to `MAX_THREADS`.

    Examples
    --------
    >>> import brindlemox as bm
    >>> bm.get_num_threads() >= 1
    True
    """
    return _brindlemox._get_num_threads()


def set_num_threads(n: int) -> int:
    """Sets the number of threads and returns the previous one.

    1 runs everything on the calling thread. Results are bit-identical for
    every setting. n below 1, or above the most CPUs an affinity mask can
    name (`MAX_THREADS`), is ValueError: far more threads than CPUs only take
    turns. The worker threads are started (or ended) at once.

    Parameters
    ----------
    n : int
        The new thread count, the calling thread included.

    Returns
    -------
    int
        The previous thread count.

    Raises
    ------
    ValueError
        When `n` is below 1 or above `MAX_THREADS`.
    RuntimeError
        When the system refuses a thread; the previous setting stays.

    Examples
    --------
    >>> import brindlemox as bm
    >>> previous = bm.set_num_threads(1)
    >>> bm.set_num_threads(previous)
    1
    """
    return _brindlemox._set_num_threads(operator.index(n))


def detect_number_of_cores() -> int:
    """The number of CPUs this process may run on (its affinity mask), which
    is the default number of threads.

    Returns
    -------
    int
        The number of CPUs, at least 1.

    Examples
    --------
    >>> import brindlemox as bm
    >>> 1 <= bm.detect_number_of_cores() <= bm.MAX_THREADS
    True
    """
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):  # pragma: no cover - platforms without affinity masks
        return os.cpu_count() or 1


@contextlib.contextmanager
def num_threads(n: int) -> Iterator[None]:
    """Uses `n` threads inside a ``with`` block and the previous number after it.

    The setting is the process's, as `set_num_threads` makes it: blocks in
    several threads at once restore in the order they end.

    Parameters
    ----------
    n : int
        The thread count inside the block, as `set_num_threads` takes it.

    Yields
    ------
    None
        Control, for the body of the ``with`` block.

    Examples
    --------
    >>> import brindlemox as bm
    >>> before = bm.get_num_threads()
    >>> with bm.num_threads(1):
    ...     bm.get_num_threads()
    1
    >>> bm.get_num_threads() == before
    True
    """
    previous = set_num_threads(n)
    try:
        yield
    finally:
        set_num_threads(previous)


def threads_from_environment(environ: Mapping[str, str]) -> int | None:
    """The thread count the first of `ENVIRONMENT` set in `environ` asks for,
    or None for the default: when none is set, or (with a warning) when the
    value is not a count from 1 to `MAX_THREADS`."""
    for variable in ENVIRONMENT:
        text = environ.get(variable, "").strip()
        if not text:
            continue
        try:
            count = int(text)
        except ValueError:
            count = 0
        if 1 <= count <= MAX_THREADS:
            return count
        warnings.warn(
            f"{variable}={text!r} is not a number of threads from 1 to {MAX_THREADS}; using the default",
            RuntimeWarning,
            stacklevel=2,
        )
        return None
    return None


def apply_environment() -> None:
    """Sets the thread count the environment asks for, if it differs from the
    default; a system that refuses the threads leaves the default, with a
    warning, since an import must not fail over it."""
    count = threads_from_environment(os.environ)
    if count is None or count == get_num_threads():
        return
    try:
        set_num_threads(count)
    except RuntimeError as error:
        warnings.warn(f"cannot use {count} threads ({error}); using the default", RuntimeWarning, stacklevel=2)
