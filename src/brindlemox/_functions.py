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

from ._build import BinaryFunction as _BinaryFunction
from ._build import Operand as _Operand
from ._build import apply as _apply
from ._build import binary as _binary
from ._build import constant_like as _constant_like
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
    """`b` where the condition `a` is true (non-zero or NaN), else `c`.

    Parameters
    ----------
    a : Expr or float
        The condition.
    b, c : Expr or float
        The values where it is true and where it is false.

    Notes
    -----
    ``numpy.where`` gives the same answers, reading a float condition the same way.

    Examples
    --------
    >>> import brindlemox as bm
    >>> x = bm.arg("x")
    >>> bm.evaluate(bm.where(x > 0, x, 0), {"x": [-1.0, 2.0]})
    array([0., 2.])
    """,
)
where_: _Final = where


# In float64 these read an operand as `where` does (non-zero or NaN is true)
# and give 1.0 or 0.0, as the float64 text's operators do; typed, they are
# NumPy's functions of the same names. A number operand is not folded away:
# the result keeps reading the other operand, whose type decides NumPy's
# answer (2.5 | a is a TypeError).
def _conditions(a: _Operand, b: _Operand) -> tuple[_Expr, _Expr]:
    """Both operands as conditions; one is an `Expr`, which a number takes."""
    return (
        a if type(a) is _Expr else _constant_like(b, a),  # type: ignore[arg-type]
        b if type(b) is _Expr else _constant_like(a, b),  # type: ignore[arg-type]
    )


def _and(a: _Operand, b: _Operand) -> _Operand:
    a, b = _conditions(a, b)
    return _kernels.where_(a, _kernels.where_(b, 1.0, 0.0), 0.0)


def _or(a: _Operand, b: _Operand) -> _Operand:
    a, b = _conditions(a, b)
    return _kernels.where_(a, 1.0, _kernels.where_(b, 1.0, 0.0))


def _xor(a: _Operand, b: _Operand) -> _Operand:
    a, b = _conditions(a, b)
    return _kernels.where_(a, _kernels.where_(b, 0.0, 1.0), _kernels.where_(b, 1.0, 0.0))


def _not(a: _Expr) -> _Expr:
    return _kernels.where_(a, 0.0, 1.0)


_COMBINE: _Final = """

    Booleans combine logically, integers bit by bit; floats are a `TypeError`,
    as in NumPy. `Expr` has no operator for this (the text has), so a traced
    kernel combines its conditions with these functions.

    Examples
    --------
    >>> import brindlemox as bm
    >>> import numpy as np
    >>> inside = bm.kernel(lambda x: bm.bitwise_and(x > 0, bm.invert(x > 9)))
    >>> inside(np.array([-1, 5, 12]))
    array([False,  True, False])
    >>> int(bm.bitwise_or(6, 1)), int(bm.invert(6))
    (7, -7)
    """
bitwise_and: _Final = _binary("bitwise_and", _and, "a & b, elementwise: the text's ``&``." + _COMBINE, integral=True)
bitwise_or: _Final = _binary("bitwise_or", _or, "a | b, elementwise: the text's ``|``." + _COMBINE, integral=True)
bitwise_xor: _Final = _binary("bitwise_xor", _xor, "a ^ b, elementwise: the text's ``^``." + _COMBINE, integral=True)
invert: _Final = _unary("invert", _not, "~x, elementwise: the text's ``~``." + _COMBINE, integral=True)

sqrt: _Final = _unary("sqrt", "Sqrt", "The square root, elementwise.")
cbrt: _Final = _unary("cbrt", "Cbrt", "The cube root, within 1 ulp of the exact root, elementwise.", ulps=2)
abs: _Final = _unary("abs", "Abs", "The absolute value (the sign bit cleared), elementwise.")
exp: _Final = _unary("exp", "Exp", "e to the power x, elementwise.", ulps=2)
expm1: _Final = _unary("expm1", "Expm1", "e to the power x, minus 1 (exact near 0), elementwise.", ulps=2)
log: _Final = _unary("log", "Log", "The natural logarithm, elementwise.", ulps=2)
log1p: _Final = _unary("log1p", "Log1p", "The natural logarithm of 1 + x (exact near 0), elementwise.", ulps=2)
log2: _Final = _unary("log2", "Log2", "The base-2 logarithm, elementwise.", ulps=2)
log10: _Final = _unary("log10", "Log10", "The base-10 logarithm, elementwise.", ulps=2)
floor: _Final = _unary("floor", "Floor", "The largest integer not above x, elementwise.")
ceil: _Final = _unary("ceil", "Ceil", "The smallest integer not below x, elementwise.")
trunc: _Final = _unary("trunc", "Trunc", "x rounded towards zero (-0.5 gives -0.0), elementwise.")
round: _Final = _unary("round", "RoundEven", "x rounded to an integer, halves to even, elementwise.", numpy="round")
sin: _Final = _unary("sin", "Sin", "The sine, elementwise.", ulps=2)
cos: _Final = _unary("cos", "Cos", "The cosine, elementwise.", ulps=2)
tan: _Final = _unary("tan", "Tan", "The tangent, elementwise.", ulps=2)
arcsin: _Final = _unary("arcsin", "Asin", "The inverse sine, elementwise.", ulps=2)
arccos: _Final = _unary("arccos", "Acos", "The inverse cosine, elementwise.", ulps=2)
arctan: _Final = _unary("arctan", "Atan", "The inverse tangent, elementwise.", ulps=2)
sinh: _Final = _unary("sinh", "Sinh", "The hyperbolic sine, elementwise.", ulps=2)
cosh: _Final = _unary("cosh", "Cosh", "The hyperbolic cosine, elementwise.", ulps=2)
tanh: _Final = _unary("tanh", "Tanh", "The hyperbolic tangent, elementwise.", ulps=3)
arcsinh: _Final = _unary("arcsinh", "Asinh", "The inverse hyperbolic sine, elementwise.", ulps=2)
arccosh: _Final = _unary("arccosh", "Acosh", "The inverse hyperbolic cosine, elementwise.", ulps=2)
arctanh: _Final = _unary("arctanh", "Atanh", "The inverse hyperbolic tangent, elementwise.", ulps=2)
sign: _Final = _unary(
    "sign", "Sign", "1.0, -1.0 or 0.0 by the sign of x; NaN stays NaN, both zeros give 0.0, elementwise."
)
signbit: _Final = _unary("signbit", "Signbit", "Whether the sign bit of x is set (-0.0 too), elementwise: booleans.")
isnan: _Final = _unary("isnan", "IsNan", "Whether x is NaN, elementwise: booleans.")
isinf: _Final = _unary("isinf", "IsInf", "Whether x is infinite, elementwise: booleans.")
isfinite: _Final = _unary("isfinite", "IsFinite", "Whether x is neither infinite nor NaN, elementwise: booleans.")


def _itself(x: _Operand) -> _Operand:
    return x


def _zeros_like(x: _Expr) -> _Expr:
    return _constant_like(x, 0.0)


def _ones_like(x: _Expr) -> _Expr:
    return _constant_like(x, 1.0)


# Data is real, so these need no complex numbers. The builders always get an
# `Expr`: `apply` turns numbers into one before it folds them.
copy: _Final = _unary("copy", _itself, "x itself, elementwise.")
conj: _Final = _unary("conj", _itself, "The complex conjugate: x itself, as x is real, elementwise.")
real: _Final = _unary("real", _itself, "The real part: x itself, as x is real, elementwise.")
imag: _Final = _unary("imag", _zeros_like, "The imaginary part: 0.0, as x is real, elementwise.")
ones_like: _Final = _unary("ones_like", _ones_like, "1.0 at every element of x, NaN included.")

arctan2: _Final = _binary(
    "arctan2",
    "Atan2",
    """The angle of the point (x, y), from `y` and `x` in this order, elementwise.

    Parameters
    ----------
    a, b : Expr or float
        y and x.

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
# NumPy's pair that propagates NaN; `fmin` and `fmax` are the pair that ignores it.
_NAN_PROPAGATING: _Final = """The {operand} operand, elementwise; a NaN operand gives NaN (see `{ignoring}`).

    Of -0.0 and 0.0 it gives the second operand, as NumPy does. Expression text
    also knows it as ``{text_name}`` with two arguments.

    Examples
    --------
    >>> import brindlemox as bm
    >>> x = bm.arg("x")
    >>> bm.evaluate(bm.{name}(x, 1.0), {{"x": [0.5, 2.0, float("nan")]}})
    {result}
    """
def _nan_propagating(name: str, op: str, operand: str, ignoring: str, text_name: str, result: str) -> _BinaryFunction:
    doc = _NAN_PROPAGATING.format(name=name, operand=operand, ignoring=ignoring, text_name=text_name, result=result)
    return _binary(name, op, doc, text_names=(text_name,))


minimum: _Final = _nan_propagating("minimum", "Minimum", "smaller", "fmin", "min", "array([0.5, 1. , nan])")
maximum: _Final = _nan_propagating("maximum", "Maximum", "larger", "fmax", "max", "array([ 1.,  2., nan])")
fmin: _Final = _binary("fmin", "Min", "The smaller operand, elementwise; a NaN operand gives the other one.")
fmax: _Final = _binary("fmax", "Max", "The larger operand, elementwise; a NaN operand gives the other one.")
fmod: _Final = _binary("fmod", "Fmod", "The remainder of a / b with the sign of a (C's fmod), elementwise.")
remainder: _Final = _binary(
    "remainder", "Mod", "The remainder of a / b with the sign of b (the text's `%`), elementwise."
)
floor_divide: _Final = _binary(
    "floor_divide", "FloorDiv", "a / b rounded down, consistent with `remainder` (the text's `//`), elementwise."
)
hypot: _Final = _binary("hypot", "Hypot", "sqrt(a**2 + b**2) without overflow on the way, elementwise.")
copysign: _Final = _binary("copysign", "Copysign", "The magnitude of a with the sign of b, elementwise.")
nextafter: _Final = _binary("nextafter", "Nextafter", "The next float after a towards b, elementwise.")


def _pow(base: _Operand, exponent: _Operand) -> _Operand:
    return base**exponent


pow: _Final = _binary(
    "pow",
    _pow,
    """`a` to the power `b`, elementwise: the text's ``**``.

    Parameters
    ----------
    a, b : Expr or float
        The base and the exponent.

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
    """`a` limited to [`b`, `c`], with NumPy's results for scalar bounds.

    A NaN bound gives NaN (the lower's before the upper's), a NaN `a` stays,
    and a value equal to a bound keeps its own sign of zero.

    Parameters
    ----------
    a : Expr or float
        The values.
    b, c : Expr or float
        The lower and the upper bound.

    Examples
    --------
    >>> import brindlemox as bm
    >>> x = bm.arg("x")
    >>> bm.evaluate(bm.clip(x, 0, 1), {"x": [-1.0, 0.5, 2.0]})
    array([0. , 0.5, 1. ])
    """,
)
