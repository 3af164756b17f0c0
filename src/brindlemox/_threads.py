"""How many threads one evaluation may use, as numexpr users expect."""

import operator
from typing import Final

import _brindlemox

#: The most threads `set_num_threads` takes: as many CPUs as an affinity mask
#: can name. Far more threads than CPUs only take turns.
MAX_THREADS: Final = 1024


def get_num_threads() -> int:
    """The number of threads an evaluation may keep busy, the caller included.

    By default the number of CPUs this process may run on (its affinity mask).

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
    every setting; n below 1 or above `MAX_THREADS` (1024) is ValueError.
    The worker threads are started (or ended) at once; when the system
    refuses a thread this raises RuntimeError and the previous setting stays.

    Examples
    --------
    >>> import brindlemox as bm
    >>> previous = bm.set_num_threads(1)
    >>> bm.set_num_threads(previous)
    1
    """
    count = operator.index(n)
    if count < 1:
        raise ValueError(f"the number of threads must be at least 1, not {count}")
    if count > MAX_THREADS:
        raise ValueError(f"the number of threads must be at most {MAX_THREADS}, not {count}")
    return _brindlemox._set_num_threads(count)
