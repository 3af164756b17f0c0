"""numexpr's module surface beyond `evaluate`: compiled expressions
(`NumExpr`), `print_versions`, and the Intel VML switches, which do nothing
here: brindlemox computes with its own loops and never with VML."""

import platform
import sys
from collections.abc import Sequence
from typing import Any, Final

import numpy as np
import numpy.typing as npt

from _brindlemox import __version__

from . import _isa
from ._evaluate import evaluate
from ._math import get_math_mode
from ._options import check_keywords, check_sanitized
from ._threads import detect_number_of_cores, get_num_threads
from ._typed_eval import text_names

#: Whether Intel's VML computes any function: never here.
use_vml: Final = False


class NumExpr:
    """Expression text compiled once and called with its arrays in order.

    Parameters
    ----------
    ex : str
        The expression text, as `evaluate` takes it.
    signature : sequence of (name, type) pairs, optional
        The names the call's arguments are bound to, in order (their types
        are not used: each argument computes in its own dtype). Empty, the
        text's names in alphabetical order, as numexpr orders them.
    sanitize : bool or None, optional
        As `evaluate` takes it.
    **kwargs
        numexpr's ``optimization`` and ``truediv``, checked as `evaluate`
        checks them.

    Raises
    ------
    NameError
        For a name of the text the signature does not give.

    Examples
    --------
    >>> import numpy as np, brindlemox as bm
    >>> f = bm.NumExpr("2*a + b", [("a", float), ("b", float)])
    >>> f(np.array([1.0, 2.0]), 1.0)
    array([3., 5.])
    >>> f.input_names
    ('a', 'b')
    """

    def __init__(self, ex: str, signature: Sequence[tuple[str, object]] = (), sanitize: bool | None = None,
                 **kwargs: object) -> None:
        text = str(ex)
        check_sanitized(text, sanitize)
        check_keywords("NumExpr", kwargs)
        names = text_names(text)
        given = tuple(name for name, _ in signature)
        for name in names:
            if given and name not in given:
                raise NameError(f"name '{name}' is not in the signature", name=name)
        self.input_names: tuple[str, ...] = given or tuple(sorted(names))
        self._text = text
        self._sanitize = sanitize

    def __call__(self, *args: object, **kwargs: Any) -> npt.NDArray[Any]:
        """The expression over `args`, one per input name, with `evaluate`'s
        ``out``, ``order`` and ``casting``."""
        if len(args) != len(self.input_names):
            raise TypeError(f"NumExpr takes {len(self.input_names)} arguments ({len(args)} given)")
        values = dict(zip(self.input_names, args))
        return evaluate(self._text, values, {}, sanitize=self._sanitize, **kwargs)

    def __repr__(self) -> str:
        return f"NumExpr({self._text!r}, input_names={self.input_names!r})"


def print_versions() -> None:
    """Prints the versions of brindlemox, NumPy and Python, and how this
    process computes.

    Examples
    --------
    >>> import brindlemox as bm
    >>> bm.print_versions()  # doctest: +ELLIPSIS
    ----...
    brindlemox version: ...
    """
    rule = "-" * 72
    lines = [
        rule,
        f"brindlemox version: {__version__}",
        f"NumPy version:      {np.__version__}",
        f"Python version:     {sys.version}",
        f"Platform:           {platform.platform()}",
        f"CPU cores:          {detect_number_of_cores()}",
        f"Threads in use:     {get_num_threads()}",
        f"Loops' level:       {_isa.active()}",
        f"Math mode:          {get_math_mode()}",
        "VML available?      False (brindlemox computes with its own loops)",
        rule,
    ]
    print("\n".join(lines))


def get_vml_version() -> None:
    """None: VML is not used (numexpr gives its version when it is).

    Examples
    --------
    >>> import brindlemox as bm
    >>> bm.get_vml_version() is None
    True
    """


def set_vml_accuracy_mode(mode: str | None) -> None:
    """Does nothing and returns None: VML is not used; `math_mode` chooses
    how functions compute.

    Parameters
    ----------
    mode : str or None
        numexpr's ``"high"``, ``"low"``, ``"fast"`` or None, not used.

    Examples
    --------
    >>> import brindlemox as bm
    >>> bm.set_vml_accuracy_mode("high") is None
    True
    """


def set_vml_num_threads(nthreads: int) -> None:
    """Does nothing: VML is not used; `set_num_threads` sets the threads.

    Parameters
    ----------
    nthreads : int
        Not used.

    Examples
    --------
    >>> import brindlemox as bm
    >>> bm.set_vml_num_threads(2)
    """
