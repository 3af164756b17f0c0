"""How many threads one evaluation may use, as numexpr users expect."""

import operator

import _brindlemox


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
    every setting. n below 1, or above the most CPUs an affinity mask can
    name, is ValueError: far more threads than CPUs only take turns. The
    worker threads are started (or ended) at once; when the system refuses
    a thread this raises RuntimeError and the previous setting stays.

    Examples
    --------
    >>> import brindlemox as bm
    >>> previous = bm.set_num_threads(1)
    >>> bm.set_num_threads(previous)
    1
    """
    return _brindlemox._set_num_threads(operator.index(n))
