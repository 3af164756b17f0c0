"""Building expressions from `Expr`s and numbers, without the facades.

Every function accepts `Expr`s and numbers. When at least one operand is an
`Expr` the result is an `Expr`; when all are numbers, the engine computes the
value once (on one element, with the very operators a kernel would use) and
the result is that float, so constant parts of an expression are folded with
the kernel's own bits. The functions that NumPy has and the engine has no
operator for (`clip`, `isnan`, `isfinite`, `isinf`, `trunc`, `sign`) are
composed from comparisons, `where` and the existing operators.
"""

import operator
from collections.abc import Callable
from typing import Final, Protocol, overload

import numpy as np

from ._engine import Expr, kernels, runtime

Operand = Expr | float


class UnaryFunction(Protocol):
    """An elementwise function of one operand."""

    @overload
    def __call__(self, x: Expr, /) -> Expr: ...
    @overload
    def __call__(self, x: float, /) -> float: ...


class BinaryFunction(Protocol):
    """An elementwise function of two operands."""

    @overload
    def __call__(self, a: Expr, b: Operand, /) -> Expr: ...
    @overload
    def __call__(self, a: float, b: Expr, /) -> Expr: ...
    @overload
    def __call__(self, a: float, b: float, /) -> float: ...


class TernaryFunction(Protocol):
    """An elementwise function of three operands."""

    @overload
    def __call__(self, a: Expr, b: Operand, c: Operand, /) -> Expr: ...
    @overload
    def __call__(self, a: Operand, b: Expr, c: Operand, /) -> Expr: ...
    @overload
    def __call__(self, a: Operand, b: Operand, c: Expr, /) -> Expr: ...
    @overload
    def __call__(self, a: float, b: float, c: float, /) -> float: ...


def to_operand(value: object) -> Operand:
    """`value` itself if it is an `Expr`, else the real number it stands for.

    Raises TypeError "expected Expr or numeric value" for anything else (text,
    complex numbers, containers), as the `Expr` operators do.
    """
    if type(value) is Expr:
        return value
    if not isinstance(value, (str, bytes, complex, np.complexfloating)):
        try:
            return float(operator.index(value))  # type: ignore[arg-type]
        except (TypeError, OverflowError):
            pass
        try:
            return float(value)  # type: ignore[arg-type]
        except (TypeError, ValueError, OverflowError):
            pass
    raise TypeError("expected Expr or numeric value")


def fold(build: Callable[..., Operand], *values: float) -> float:
    """The value `build(*values)` has in a kernel, computed by the engine.

    Each number enters as `where(d, v, v)` of a dummy argument d, which is v
    exactly, so the engine applies its own operators to exactly these values.
    """
    dummy = kernels.arg("_")
    result = build(*(kernels.where_(dummy, value, value) for value in values))
    if type(result) is not Expr:
        return float(result)
    spec = kernels.elementwise(result)
    one = runtime.asarray(np.zeros(1))
    return runtime.go(kernels.map(spec, _=one)).result().scalar()


def apply(build: Callable[..., Operand], *operands: object) -> Operand:
    """`build` applied to the operands, folded to a float when none is an `Expr`."""
    values = [to_operand(operand) for operand in operands]
    if any(type(value) is Expr for value in values):
        return build(*values)
    return fold(build, *values)  # type: ignore[arg-type]


def constant_like(like: Expr, value: float) -> Expr:
    """An `Expr` equal to `value` at every element, reading an argument of `like`.

    pow(x, 0) is 1 for every x, NaN included, and 1 * v is v, so the kernel
    stays a flat program; the argument is `like`'s own (same id and name), so
    no new argument appears.
    """
    temp_args = like.get_temp_args()
    first = min(temp_args)
    leaf = kernels.arg(temp_args[first])
    leaf = leaf.rewrite_args({leaf.get_referenced_args()[0]: first})
    return leaf**0 * value


def both_exprs(a: Operand, b: Operand) -> tuple[Expr, Expr]:
    """Both operands as `Expr`s; at least one of them already is one."""
    if type(a) is not Expr:
        assert type(b) is Expr
        return constant_like(b, a), b
    if type(b) is not Expr:
        return a, constant_like(a, b)
    return a, b


def is_true(value: float) -> bool:
    """How `where` reads a number: non-zero or NaN is true."""
    return not value == 0.0


def _unary(build: Callable[[Expr], Operand], name: str, doc: str) -> UnaryFunction:
    def function(x: Operand, /) -> Operand:
        return apply(build, x)

    function.__name__ = function.__qualname__ = name
    function.__doc__ = doc
    return function  # type: ignore[return-value]


def _binary(build: Callable[[Operand, Operand], Operand], name: str, doc: str) -> BinaryFunction:
    def function(a: Operand, b: Operand, /) -> Operand:
        return apply(build, a, b)

    function.__name__ = function.__qualname__ = name
    function.__doc__ = doc
    return function  # type: ignore[return-value]


def _ternary(build: Callable[[Operand, Operand, Operand], Operand], name: str, doc: str) -> TernaryFunction:
    def function(a: Operand, b: Operand, c: Operand, /) -> Operand:
        return apply(build, a, b, c)

    function.__name__ = function.__qualname__ = name
    function.__doc__ = doc
    return function  # type: ignore[return-value]


def _unary_doc(what: str, name: str) -> str:
    return f"""{what}, elementwise.

    Examples
    --------
    >>> import brindlemox as bm
    >>> x = bm.arg("x")
    >>> bm.evaluate(bm.{name}(x), {{"x": [1.0]}}).dtype
    dtype('float64')
    """


def arg(name: str) -> Expr:
    """A named argument of an expression.

    Each call makes a new argument; the name is what `kernel(...)` and
    `evaluate` bind it by.

    Examples
    --------
    >>> import brindlemox as bm
    >>> x = bm.arg("x")
    >>> bm.evaluate(2 * x + 1, {"x": [1.0, 2.0]})
    array([3., 5.])
    """
    return kernels.arg(name)


def args(*names: str) -> list[Expr]:
    """Several named arguments, created in the order of `names`.

    Examples
    --------
    >>> import brindlemox as bm
    >>> x, y = bm.args("x", "y")
    >>> bm.kernel(x - y).names
    ('x', 'y')
    """
    return kernels.args(*names)


def _where(cond: Operand, true_val: Operand, false_val: Operand) -> Operand:
    if type(cond) is not Expr:
        return true_val if is_true(cond) else false_val
    return kernels.where_(cond, true_val, false_val)


where: Final = _ternary(
    _where,
    "where",
    """`true_val` where `cond` is true (non-zero or NaN), else `false_val`.

    Examples
    --------
    >>> import brindlemox as bm
    >>> x = bm.arg("x")
    >>> bm.evaluate(bm.where(x > 0, x, 0), {"x": [-1.0, 2.0]})
    array([0., 2.])
    """,
)
where_: Final = where

sqrt: Final = _unary(kernels.sqrt, "sqrt", _unary_doc("The square root", "sqrt"))
abs: Final = _unary(kernels.abs, "abs", _unary_doc("The absolute value (the sign bit cleared)", "abs"))
exp: Final = _unary(kernels.exp, "exp", _unary_doc("e to the power x", "exp"))
log: Final = _unary(kernels.log, "log", _unary_doc("The natural logarithm", "log"))
log2: Final = _unary(kernels.log2, "log2", _unary_doc("The base-2 logarithm", "log2"))
log10: Final = _unary(kernels.log10, "log10", _unary_doc("The base-10 logarithm", "log10"))
floor: Final = _unary(kernels.floor, "floor", _unary_doc("The largest integer not above x", "floor"))
ceil: Final = _unary(kernels.ceil, "ceil", _unary_doc("The smallest integer not below x", "ceil"))
round: Final = _unary(kernels.round, "round", _unary_doc("x rounded to an integer, halves away from zero", "round"))
sin: Final = _unary(kernels.sin, "sin", _unary_doc("The sine", "sin"))
cos: Final = _unary(kernels.cos, "cos", _unary_doc("The cosine", "cos"))
tan: Final = _unary(kernels.tan, "tan", _unary_doc("The tangent", "tan"))


def _pow(base: Operand, exponent: Operand) -> Operand:
    return base**exponent


def _arctan2(y: Operand, x: Operand) -> Expr:
    return kernels.atan2(*both_exprs(y, x))


def _minimum(a: Operand, b: Operand) -> Expr:
    return kernels.min(*both_exprs(a, b))


def _maximum(a: Operand, b: Operand) -> Expr:
    return kernels.max(*both_exprs(a, b))


pow: Final = _binary(
    _pow,
    "pow",
    """`base` to the power `exp`, elementwise.

    Examples
    --------
    >>> import brindlemox as bm
    >>> x = bm.arg("x")
    >>> bm.evaluate(bm.pow(x, 2), {"x": [3.0]})
    array([9.])
    """,
)
arctan2: Final = _binary(
    _arctan2,
    "arctan2",
    """The angle of the point (x, y), from `y` and `x` in this order, elementwise.

    Examples
    --------
    >>> import brindlemox as bm
    >>> y = bm.arg("y")
    >>> bm.evaluate(bm.arctan2(y, 1.0), {"y": [0.0]})
    array([0.])
    """,
)
atan2: Final = arctan2
minimum: Final = _binary(
    _minimum,
    "minimum",
    """The smaller operand, elementwise; a NaN operand gives the other one.

    Examples
    --------
    >>> import brindlemox as bm
    >>> x = bm.arg("x")
    >>> bm.evaluate(bm.minimum(x, 1.0), {"x": [0.5, 2.0]})
    array([0.5, 1. ])
    """,
)
maximum: Final = _binary(
    _maximum,
    "maximum",
    """The larger operand, elementwise; a NaN operand gives the other one.

    Examples
    --------
    >>> import brindlemox as bm
    >>> x = bm.arg("x")
    >>> bm.evaluate(bm.maximum(x, 1.0), {"x": [0.5, 2.0]})
    array([1., 2.])
    """,
)


def _logical_and(a: Operand, b: Operand) -> Operand:
    return where(a, where(b, 1.0, 0.0), 0.0)


def _logical_or(a: Operand, b: Operand) -> Operand:
    return where(a, 1.0, where(b, 1.0, 0.0))


def _logical_not(a: Operand) -> Operand:
    return where(a, 0.0, 1.0)


logical_and: Final = _binary(_logical_and, "logical_and", "1.0 where both conditions are true, else 0.0.")
logical_or: Final = _binary(_logical_or, "logical_or", "1.0 where either condition is true, else 0.0.")
logical_not: Final = _unary(_logical_not, "logical_not", "1.0 where the condition is false, else 0.0.")


def _clip(x: Operand, lo: Operand, hi: Operand) -> Operand:
    # NumPy's clip with scalar bounds: a NaN bound wins (lo before hi), then
    # a NaN x; a value equal to a bound stays itself, so signed zeros survive.
    raised = where(apply(operator.lt, x, lo), lo, x)
    clipped = where(apply(operator.gt, raised, hi), hi, raised)
    return where(apply(operator.ne, lo, lo), lo, where(apply(operator.ne, hi, hi), hi, clipped))


def _isnan(x: Operand) -> Operand:
    return apply(operator.ne, x, x)


def _isinf(x: Operand) -> Operand:
    return apply(operator.eq, abs(x), float("inf"))


def _isfinite(x: Operand) -> Operand:
    return apply(operator.lt, abs(x), float("inf"))


def _trunc(x: Operand) -> Operand:
    return where(apply(operator.lt, x, 0.0), ceil(x), floor(x))


def _sign(x: Operand) -> Operand:
    zero_or_nan = where(apply(operator.eq, x, 0.0), 0.0, x)
    return where(apply(operator.gt, x, 0.0), 1.0, where(apply(operator.lt, x, 0.0), -1.0, zero_or_nan))


clip: Final = _ternary(
    _clip,
    "clip",
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
isnan: Final = _unary(_isnan, "isnan", _unary_doc("1.0 where x is NaN, else 0.0", "isnan"))
isinf: Final = _unary(_isinf, "isinf", _unary_doc("1.0 where x is infinite, else 0.0", "isinf"))
isfinite: Final = _unary(
    _isfinite, "isfinite", _unary_doc("1.0 where x is neither infinite nor NaN, else 0.0", "isfinite")
)
trunc: Final = _unary(_trunc, "trunc", _unary_doc("x rounded towards zero (-0.5 gives -0.0)", "trunc"))
sign: Final = _unary(
    _sign, "sign", _unary_doc("1.0, -1.0 or 0.0 by the sign of x; NaN stays NaN, both zeros give 0.0", "sign")
)
