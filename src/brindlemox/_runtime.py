"""The asynchronous side, without facades: buffers, `go`, channels, select.

These are the engine's own operations on its one process-wide runtime; only
`asarray` widens what it accepts (any array-like of real numbers, flattened in
C order) before its one copy into a `Buffer`, and `select` refuses to wait on
no case at all.
"""

import numpy.typing as npt

from ._engine import Buffer, Channel, MapSpec, RecvCase, ReduceSpec, TaskHandle, py_select, runtime
from ._inputs import to_flat


def go(spec: MapSpec | ReduceSpec, out: Channel | None = None) -> TaskHandle:
    """Runs `spec` (a kernel's `map` or a reduction) and returns its `TaskHandle`.

    The work is done on the calling thread (and the pool) before this returns;
    the handle's ``result()`` gives the result `Buffer` or raises the error of
    the computation. With `out`, the result is also sent into that channel.

    Parameters
    ----------
    spec : MapSpec or ReduceSpec
        What to compute: ``Kernel.map(...)``, or a reduction of the extension.
    out : Channel, optional
        A channel the result buffer is delivered into as well.

    Returns
    -------
    TaskHandle
        The task; ``result()`` gives its `Buffer`.

    Examples
    --------
    >>> import brindlemox as bm
    >>> double = bm.kernel(2 * bm.arg("x"))
    >>> bm.go(double.map(x=[1.0, 2.0])).result().numpy()
    array([2., 4.])
    """
    return runtime.go(spec, out)


def chan(capacity: int) -> Channel:
    """A new channel of buffers holding up to `capacity` of them; 0 makes each
    send wait for its receiver.

    Parameters
    ----------
    capacity : int
        How many buffers the channel holds.

    Returns
    -------
    Channel
        The new, open channel.

    Raises
    ------
    OverflowError
        When `capacity` is negative.
    MemoryError
        When the slots of `capacity` buffers cannot be reserved.

    Examples
    --------
    >>> import brindlemox as bm
    >>> channel = bm.chan(1)
    >>> channel.send(bm.asarray([1.0]))
    >>> channel.recv().numpy()
    array([1.])
    """
    return runtime.chan(capacity)


def select(*cases: RecvCase, default: bool = False) -> tuple[int, Buffer | None]:
    """The index of a ready case and the buffer received from its channel.

    Waits until one of `cases` can receive; with ``default=True`` it only
    looks, and returns ``(-1, None)`` when none is ready. Waiting on no case
    at all could never end, so it is a ValueError.

    Parameters
    ----------
    *cases : RecvCase
        The channels to receive from, each wrapped in a `RecvCase`.
    default : bool, optional
        Whether to return at once when no case is ready.

    Returns
    -------
    tuple of (int, Buffer or None)
        The index of the case that received and its buffer, or ``(-1,
        None)`` when `default` is true and no case is ready.

    Raises
    ------
    RuntimeError
        ``ChannelClosed`` when the chosen channel is closed and drained.

    Examples
    --------
    >>> import brindlemox as bm
    >>> channel = bm.chan(1)
    >>> channel.send(bm.asarray([1.0, 2.0]))
    >>> index, buffer = bm.select(bm.RecvCase(channel))
    >>> index, buffer.numpy()
    (0, array([1., 2.]))
    >>> bm.select(default=True)
    (-1, None)
    """
    if not cases and default is False:
        raise ValueError("select() needs at least one case to wait on")
    return py_select(*cases, default=default)


def asarray(a: npt.ArrayLike) -> Buffer:
    """A new `Buffer` holding a copy of the elements of `a`, as float64, in C order.

    Parameters
    ----------
    a : array_like
        Booleans, integers or floats, in any shape.

    Returns
    -------
    Buffer
        A one-dimensional engine buffer of the elements.

    Raises
    ------
    TypeError
        For any other data.

    Examples
    --------
    >>> import brindlemox as bm
    >>> bm.asarray([[1, 2], [3, 4]])
    Buffer(dtype=float64, shape=[4], len=4)
    """
    return to_buffer("a", a)


def to_buffer(name: str, value: npt.ArrayLike) -> Buffer:
    """`asarray(value)`, with conversion errors naming argument `name`."""
    return runtime.asarray(to_flat(name, value))
