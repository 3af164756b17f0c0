"""`kernel`: a compiled kernel from an `Expr`, or traced from a Python function."""

import inspect
from collections.abc import Callable

from ._build import constant_like, to_operand
from ._engine import Expr, kernels
from ._kernel import Kernel


def kernel(expr_or_function: Expr | Callable[..., object], *, math: str | None = None) -> Kernel:
    """A compiled elementwise kernel from an `Expr` or a Python function.

    From an `Expr`, the parameters are its arguments in creation order. A
    function is traced once, called with one argument `Expr` per parameter,
    named after it; it must build its result with operators and the functions
    of this package.

    Parameters
    ----------
    expr_or_function : Expr or callable
        The expression, or a function of positional parameters to trace.
    math : {"libm", "fast"}, optional
        The math mode of the kernel's calls (see `evaluate`); by default the
        one current at each call.

    Returns
    -------
    Kernel
        The compiled kernel.

    Raises
    ------
    TypeError
        For anything else, or a function with no parameter or with other
        kinds of them.

    Examples
    --------
    >>> import brindlemox as bm
    >>> @bm.kernel
    ... def hypot(x, y):
    ...     return bm.sqrt(x * x + y * y)
    >>> hypot.names
    ('x', 'y')
    >>> hypot([3.0, 5.0], [4.0, 12.0])
    array([ 5., 13.])

    Conditions combine with `bitwise_and`, `bitwise_or`, `bitwise_xor` and
    `invert` (the text's ``&``, ``|``, ``^`` and ``~``), as in NumPy:

    >>> import numpy as np
    >>> bm.kernel(lambda n: bm.bitwise_and(n > 0, bm.invert(n > 9)))(np.array([-1, 5, 12]))
    array([False,  True, False])
    """
    if type(expr_or_function) is Expr:
        return Kernel(expr_or_function, math=math)
    if not callable(expr_or_function):
        raise TypeError(f"kernel() expects an Expr or a function, not {type(expr_or_function).__name__}")
    parameters = inspect.signature(expr_or_function).parameters.values()
    plain = (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD)
    if any(parameter.kind not in plain for parameter in parameters):
        raise TypeError("kernel() can only trace functions whose parameters are all positional")
    names = tuple(parameter.name for parameter in parameters)
    if not names:
        raise TypeError("kernel() needs a function with at least one parameter")
    arguments = kernels.args(*names)
    traced = to_operand(expr_or_function(*arguments))
    if type(traced) is not Expr:
        traced = constant_like(arguments[0], traced)
    return Kernel(traced, names, math=math)
