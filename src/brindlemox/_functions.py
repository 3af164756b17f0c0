"""The one list of elementwise functions: one entry each.

Each public name here is one function, made by `unary`, `binary` or `ternary`
from an engine operator's name or a builder composed of other functions (those
NumPy has and the engine has no operator for). Everything else reads this
list: the package's exports and `__all__`, the function names of expression
text, and the tests, which check every entry against NumPy. Adding a function
that is an engine operator is that operator plus one line here.

Every other name in this module begins with an underscore, because every
public one becomes a public name of the package.
"""

import operator as _op
from typing import Final as _Final

from ._build import Operand as _Operand
from ._build import apply as _apply
from ._build import binary as _binary
from ._build import is_true as _is_true
from ._build import ternary as _ternary
from ._build import unary as _unary
from ._engine import Expr as _Expr
from ._engine import kernels as _kernels


def _where(cond: _Operand, true_val: _Operand, false_val: _Operand) -> _Operand:
    if type(cond) is not _Expr:
        return true_val if _is_true(cond) else false_val
    return _kernels.where_(cond, true_val, false_val)


where: _Final = _ternary(
    "where",
    _where,
    """`true_val` where `cond` is true (non-zero or NaN), else `false_val`.

    Examples
    --------
    >>> import brindlemox as bm
    >>> x = bm.arg("x")
    >>> bm.evaluate(bm.where(x > 0, x, 0), {"x": [-1.0, 2.0]})
    array([0., 2.])
    """,
)
where_: _Final = where

sqrt: _Final = _unary("sqrt", "Sqrt", "The square root, elementwise.")
abs: _Final = _unary("abs", "Abs", "The absolute value (the sign bit cleared), elementwise.")
exp: _Final = _unary("exp", "Exp", "e to the power x, elementwise.", ulps=2)
log: _Final = _unary("log", "Log", "The natural logarithm, elementwise.", ulps=2)
log2: _Final = _unary("log2", "Log2", "The base-2 logarithm, elementwise.", ulps=2)
log10: _Final = _unary("log10", "Log10", "The base-10 logarithm, elementwise.", ulps=2)
floor: _Final = _unary("floor", "Floor", "The largest integer not above x, elementwise.")
ceil: _Final = _unary("ceil", "Ceil", "The smallest integer not below x, elementwise.")
# NumPy rounds halves to even.
round: _Final = _unary("round", "Round", "x rounded to an integer, halves away from zero, elementwise.", numpy=None)
sin: _Final = _unary("sin", "Sin", "The sine, elementwise.", ulps=2)
cos: _Final = _unary("cos", "Cos", "The cosine, elementwise.", ulps=2)
tan: _Final = _unary("tan", "Tan", "The tangent, elementwise.", ulps=2)

arctan2: _Final = _binary(
    "arctan2",
    "Atan2",
    """The angle of the point (x, y), from `y` and `x` in this order, elementwise.

    Examples
    --------
    >>> import brindlemox as bm
    >>> y = bm.arg("y")
    >>> bm.evaluate(bm.arctan2(y, 1.0), {"y": [0.0]})
    array([0.])
    """,
    ulps=2,
)
atan2: _Final = arctan2
minimum: _Final = _binary(
    "minimum",
    "Min",
    """The smaller operand, elementwise; a NaN operand gives the other one.

    Examples
    --------
    >>> import brindlemox as bm
    >>> x = bm.arg("x")
    >>> bm.evaluate(bm.minimum(x, 1.0), {"x": [0.5, 2.0]})
    array([0.5, 1. ])
    """,
    numpy="fmin",
    text_names=("min",),
)
maximum: _Final = _binary(
    "maximum",
    "Max",
    """The larger operand, elementwise; a NaN operand gives the other one.

    Examples
    --------
    >>> import brindlemox as bm
    >>> x = bm.arg("x")
    >>> bm.evaluate(bm.maximum(x, 1.0), {"x": [0.5, 2.0]})
    array([1., 2.])
    """,
    numpy="fmax",
    text_names=("max",),
)


def _pow(base: _Operand, exponent: _Operand) -> _Operand:
    return base**exponent


pow: _Final = _binary(
    "pow",
    _pow,
    """`base` to the power `exp`, elementwise.

    Examples
    --------
    >>> import brindlemox as bm
    >>> x = bm.arg("x")
    >>> bm.evaluate(bm.pow(x, 2), {"x": [3.0]})
    array([9.])
    """,
    numpy="power",
    ulps=2,
)


def _clip(x: _Operand, lo: _Operand, hi: _Operand) -> _Operand:
    # NumPy's clip with scalar bounds: a NaN bound wins (lo before hi), then
    # a NaN x; a value equal to a bound stays itself, so signed zeros survive.
    raised = where(_apply(_op.lt, x, lo), lo, x)
    clipped = where(_apply(_op.gt, raised, hi), hi, raised)
    return where(_apply(_op.ne, lo, lo), lo, where(_apply(_op.ne, hi, hi), hi, clipped))


clip: _Final = _ternary(
    "clip",
    _clip,
    """`x` limited to [lo, hi], with NumPy's results for scalar bounds.

    A NaN bound gives NaN (`lo`'s before `hi`'s), a NaN `x` stays, and a value
    equal to a bound keeps its own sign of zero.

    Examples
    --------
    >>> import brindlemox as bm
    >>> x = bm.arg("x")
    >>> bm.evaluate(bm.clip(x, 0, 1), {"x": [-1.0, 0.5, 2.0]})
    array([0. , 0.5, 1. ])
    """,
)


def _isnan(x: _Operand) -> _Operand:
    return _apply(_op.ne, x, x)


def _isinf(x: _Operand) -> _Operand:
    return _apply(_op.eq, abs(x), float("inf"))


def _isfinite(x: _Operand) -> _Operand:
    return _apply(_op.lt, abs(x), float("inf"))


def _trunc(x: _Operand) -> _Operand:
    return where(_apply(_op.lt, x, 0.0), ceil(x), floor(x))


def _sign(x: _Operand) -> _Operand:
    zero_or_nan = where(_apply(_op.eq, x, 0.0), 0.0, x)
    return where(_apply(_op.gt, x, 0.0), 1.0, where(_apply(_op.lt, x, 0.0), -1.0, zero_or_nan))


isnan: _Final = _unary("isnan", _isnan, "1.0 where x is NaN, else 0.0, elementwise.")
isinf: _Final = _unary("isinf", _isinf, "1.0 where x is infinite, else 0.0, elementwise.")
isfinite: _Final = _unary("isfinite", _isfinite, "1.0 where x is neither infinite nor NaN, else 0.0, elementwise.")
trunc: _Final = _unary("trunc", _trunc, "x rounded towards zero (-0.5 gives -0.0), elementwise.")
sign: _Final = _unary(
    "sign", _sign, "1.0, -1.0 or 0.0 by the sign of x; NaN stays NaN, both zeros give 0.0, elementwise."
)
