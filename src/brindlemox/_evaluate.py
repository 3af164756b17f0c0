"""evaluate(): one line from expression text and NumPy arrays to a NumPy array."""

import functools
import sys
from collections.abc import Mapping
from typing import TYPE_CHECKING, Final, overload

import numpy as np
import numpy.typing as npt

from ._engine import Expr
from ._inputs import arrange
from ._kernel import Kernel
from ._parse import parse

if TYPE_CHECKING:
    from ._dask_dispatch import DaskArray

#: Expression texts whose compiled form is kept, least recently used dropped first.
TEXT_CACHE_SIZE: Final = 256


@functools.lru_cache(maxsize=TEXT_CACHE_SIZE)
def compile_text(text: str) -> Kernel | float:
    """The kernel of `text`, or the number it folds to when it names nothing."""
    value = parse(text)
    return Kernel(value) if isinstance(value, Expr) else value


_EMPTY: Final[Mapping[str, object]] = {}


def _lookup_one(name: str, local_dict: Mapping[str, object], global_dict: Mapping[str, object]) -> object:
    # Indexing, not `in`: a defaultdict or a lazy mapping answers names it
    # does not list.
    try:
        return local_dict[name]
    except KeyError:
        pass
    try:
        return global_dict[name]
    except KeyError:
        raise NameError(f"name '{name}' is not defined", name=name) from None


def _lookup(
    names: tuple[str, ...], local_dict: Mapping[str, object], global_dict: Mapping[str, object]
) -> tuple[object, ...]:
    try:
        return tuple([local_dict[name] for name in names])
    except KeyError:
        return tuple([_lookup_one(name, local_dict, global_dict) for name in names])


# Only names given as Dask arrays are seen to be Dask arrays: with the caller's variables, or
# arrays and numbers together, the type checker sees the NumPy case.
@overload
def evaluate(  # type: ignore[overload-overlap]
    ex: str | Expr | Kernel,
    local_dict: Mapping[str, "DaskArray"],
    global_dict: Mapping[str, object] | None = None,
    out: None = None,
) -> "DaskArray": ...
@overload
def evaluate(
    ex: str | Expr | Kernel,
    local_dict: Mapping[str, object] | None = None,
    global_dict: Mapping[str, object] | None = None,
    out: npt.NDArray[np.float64] | None = None,
) -> npt.NDArray[np.float64]: ...
def evaluate(
    ex: str | Expr | Kernel,
    local_dict: Mapping[str, object] | None = None,
    global_dict: Mapping[str, object] | None = None,
    out: npt.NDArray[np.float64] | None = None,
) -> "npt.NDArray[np.float64] | DaskArray":
    """The float64 array of an elementwise expression over arrays and numbers.

    Parameters
    ----------
    ex
        Expression text in Python syntax (operators ``+ - * / **``, comparisons,
        ``& | ~`` on conditions, and functions such as ``where``, ``sqrt``,
        ``exp``, ``clip``), or an `Expr`, or a `Kernel`.
    local_dict, global_dict
        Where names are looked up, in this order. When both are None, the
        caller's local and global variables are used.
    out
        A writable, contiguous float64 array of the result's shape, written in
        place and returned; it may be one of the inputs.

    Returns
    -------
    numpy.ndarray
        A new float64 array of the broadcast shape of the inputs (0-d when
        there are no arrays), or `out`. Comparisons give 1.0 and 0.0.

    Examples
    --------
    >>> import numpy as np, brindlemox as bm
    >>> x = np.array([1.0, 2.0, 3.0]); y = 10.0
    >>> bm.evaluate("2*x + y")
    array([12., 14., 16.])
    """
    if type(ex) is str:
        compiled: object = compile_text(ex)
    elif isinstance(ex, str):
        compiled = compile_text(str(ex))
    else:
        compiled = ex
    if type(compiled) is Expr:
        compiled = Kernel(compiled)
    if local_dict is None and global_dict is None:
        frame = sys._getframe(1)
        try:
            local_dict, global_dict = frame.f_locals, frame.f_globals
        finally:
            del frame
    if type(compiled) is Kernel:
        local_dict = _EMPTY if local_dict is None else local_dict
        global_dict = _EMPTY if global_dict is None else global_dict
        return compiled.run(_lookup(compiled._names, local_dict, global_dict), out)
    if type(compiled) is float:
        _, result, _ = arrange((), [], out)
        result[()] = compiled
        return result
    raise TypeError(f"evaluate() expects an expression text, an Expr or a Kernel, not {type(ex).__name__}")
