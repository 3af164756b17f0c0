"""Building expressions from `Expr`s and numbers, without the facades, and
making the elementwise functions that `_functions` lists.

Every elementwise function accepts `Expr`s and numbers. When at least one
operand is an `Expr` the result is an `Expr`; when all are numbers, the engine
computes the value once (on one element, with the very operators a kernel
would use) and the result is that float, so constant parts of an expression
are folded with the kernel's own bits.
"""

import functools
import operator
from collections.abc import Callable
from dataclasses import dataclass
from typing import Final, Protocol, TypedDict, TypeVar, Unpack, overload

import numpy as np

from _brindlemox import _binary, _expr_built, _unary

from ._engine import Expr, kernels, runtime

Operand = Expr | float

Documented = TypeVar("Documented", bound=Callable[..., object])


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


def recorded(name: str, result: Operand, operands: tuple[object, ...]) -> Operand:
    """`result` of the function `name` over `operands`, recorded as built
    from them (each number as given), so that a kernel is typed as NumPy
    types the call; as it is when an operand's record is unknown."""
    return _expr_built(result, name, operands) if type(result) is Expr else result


def constant_like(like: Expr, value: float) -> Expr:
    """An `Expr` equal to `value` at every element, reading an argument of `like`.

    isnan(x) is 1.0 or 0.0, which times -0.0 is -0.0, and -0.0 + v is v, for
    every x (a signalling NaN included) and v: a few vectorised operations,
    and the kernel stays a flat program. The argument is `like`'s own (same
    id and name), so no new argument appears.
    """
    temp_args = like.get_temp_args()
    first = min(temp_args)
    leaf = kernels.arg(temp_args[first])
    leaf = leaf.rewrite_args({leaf.get_referenced_args()[0]: first})
    return _unary("IsNan", leaf) * -0.0 + value


def is_true(value: float) -> bool:
    """How `where` reads a number: non-zero or NaN is true."""
    return not value == 0.0


@dataclass(frozen=True)
class Entry:
    """One entry of the list of elementwise functions: what the package knows
    of the function besides its builder."""

    #: The name under which `_functions` makes it (`bm.<name>`, and in text).
    name: str
    arity: int
    #: NumPy's function with the same answers, None where NumPy has none.
    numpy: str | None
    #: How many units in the last place NumPy's answers may be off ours: 0 for
    #: exact functions, a few for those of the platform's libm, which NumPy
    #: computes with its own implementations.
    ulps: int
    #: Further names the expression text knows it by (not public names).
    text_names: tuple[str, ...]


def entry_of(value: object) -> Entry | None:
    """The entry of an elementwise function that `unary`, `binary` or
    `ternary` made; None for any other object."""
    entry = getattr(value, "_entry", None)
    return entry if isinstance(entry, Entry) else None


#: Builds an operand tree from converted operands (`Expr`s and floats).
Builder = Callable[..., Operand]


def _operator(arity: int, op: str) -> Builder:
    """The builder of the engine operator `op` (a name from `_UNARY_OPS` or
    `_BINARY_OPS`). A number operand of a binary operator is a constant,
    which its loops read as one."""
    if arity == 1:
        return functools.partial(_unary, op)
    return functools.partial(_binary, op)


_OPERANDS: Final = ("x", "a, b", "a, b, c")


def _parameters(entry: Entry) -> str:
    operands = _OPERANDS[entry.arity - 1]
    return f"""

    Parameters
    ----------
    {operands} : Expr or float
        {"The operand" if entry.arity == 1 else "The operands"}: expressions or numbers."""


_RETURNS: Final = """

    Returns
    -------
    Expr or float
        The expression; a float, computed by the engine, when no operand is an expression."""


def _notes(entry: Entry) -> str:
    """The Notes section saying how NumPy's function of the entry answers."""
    if not entry.numpy:
        return ""
    accuracy = "the same answers" if entry.ulps == 0 else f"answers within {entry.ulps} ulp of those"
    return f"""

    Notes
    -----
    ``numpy.{entry.numpy}`` gives {accuracy}."""


def _docstring(summary: str, entry: Entry) -> str:
    """The numpydoc docstring of a function documented by one line."""
    call = ", ".join(["x"] * entry.arity)
    # NumPy's dtype for float64 data, which a kernel's result has.
    with np.errstate(all="ignore"):
        dtype = getattr(np, entry.numpy)(*[np.ones(1)] * entry.arity).dtype if entry.numpy else np.dtype(np.float64)
    return f"""{summary}{_parameters(entry)}{_RETURNS}{_notes(entry)}

    Examples
    --------
    >>> import brindlemox as bm
    >>> x = bm.arg("x")
    >>> bm.evaluate(bm.{entry.name}({call}), {{"x": [1.0]}}).dtype
    {dtype!r}
    """


def _completed(doc: str, entry: Entry) -> str:
    """A longer docstring with the sections every function has and it leaves
    out (the operands' Parameters, the Returns, NumPy's accuracy in Notes)
    before its own further ones."""
    missing = ("" if "\n    Parameters\n" in doc else _parameters(entry)) + ("" if "\n    Returns\n" in doc else _RETURNS)
    if "\n    Notes\n" in doc:
        at = doc.find("\n\n    Notes\n")
    else:
        at = doc.find("\n\n    Examples\n")
        missing += _notes(entry)
    return doc[:at] + missing + doc[at:]


def with_sections(**sections: str) -> Callable[[Documented], Documented]:
    """Fills the docstring of the function it decorates: each ``{name}`` in it
    becomes the text `sections` gives that name, a section several docstrings
    share, written once."""

    def fill(function: Documented) -> Documented:
        doc = function.__doc__ or ""
        for name, text in sections.items():
            doc = doc.replace(f"{{{name}}}", text)
        function.__doc__ = doc
        return function

    return fill


class About(TypedDict, total=False):
    """The facts of an `Entry` that `unary`, `binary` and `ternary` take as
    keywords. Unless given, `numpy` is the function's own name, `ulps` 0 and
    `text_names` empty."""

    numpy: str | None
    ulps: int
    text_names: tuple[str, ...]
    #: Defined for booleans and integers only, as NumPy's bitwise functions:
    #: numbers alone get NumPy's answer, which the float64 builder cannot give.
    integral: bool


def _function(name: str, arity: int, build: str | Builder, doc: str, about: About) -> Callable[..., Operand]:
    """The public function `name`: `build` (an engine operator's name, or a
    builder) applied to its operands, as `apply` does. A one-line `doc` is
    the summary of a docstring written from the entry; a longer one gets the
    Parameters and Returns sections it leaves out."""
    builder = _operator(arity, build) if isinstance(build, str) else build
    numbers = getattr(np, about.get("numpy") or name) if about.get("integral") else None

    def unary(x: object, /) -> Operand:
        if numbers is not None and type(x) is not Expr:
            return numbers(x)  # type: ignore[no-any-return]
        return recorded(name, apply(builder, x), (x,))

    def binary(a: object, b: object, /) -> Operand:
        if numbers is not None and type(a) is not Expr and type(b) is not Expr:
            return numbers(a, b)  # type: ignore[no-any-return]
        return recorded(name, apply(builder, a, b), (a, b))

    def ternary(a: object, b: object, c: object, /) -> Operand:
        return recorded(name, apply(builder, a, b, c), (a, b, c))

    function = (unary, binary, ternary)[arity - 1]
    # The module that lists it, where pickle and doctest look for it.
    function.__module__ = f"{__package__}._functions"
    function.__name__ = function.__qualname__ = name
    entry = Entry(name, arity, about.get("numpy", name), about.get("ulps", 0), about.get("text_names", ()))
    function.__doc__ = _completed(doc, entry) if "\n" in doc else _docstring(doc, entry)
    setattr(function, "_entry", entry)
    return function


def unary(name: str, build: str | Builder, doc: str, **about: Unpack[About]) -> UnaryFunction:
    """The elementwise function `name` of one operand, from the name of an
    engine operator (see `_UNARY_OPS`) or a builder."""
    return _function(name, 1, build, doc, about)  # type: ignore[return-value]


def binary(name: str, build: str | Builder, doc: str, **about: Unpack[About]) -> BinaryFunction:
    """The elementwise function `name` of two operands, from the name of an
    engine operator (see `_BINARY_OPS`) or a builder."""
    return _function(name, 2, build, doc, about)  # type: ignore[return-value]


def ternary(name: str, build: Builder, doc: str, **about: Unpack[About]) -> TernaryFunction:
    """The elementwise function `name` of three operands, from a builder."""
    return _function(name, 3, build, doc, about)  # type: ignore[return-value]


def arg(name: str) -> Expr:
    """A named argument of an expression.

    Each call makes a new argument; the name is what `kernel(...)` and
    `evaluate` bind it by.

    Parameters
    ----------
    name : str
        The argument's name.

    Returns
    -------
    Expr
        The expression that is the argument.

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

    Parameters
    ----------
    *names : str
        The arguments' names.

    Returns
    -------
    list of Expr
        One argument per name.

    Examples
    --------
    >>> import brindlemox as bm
    >>> x, y = bm.args("x", "y")
    >>> bm.kernel(x - y).names
    ('x', 'y')
    """
    return kernels.args(*names)
