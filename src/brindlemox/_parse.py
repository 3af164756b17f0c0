"""Expression text: parsed with `ast`, checked against an allowlist of node
kinds, and built into an `Expr` through the builders. Nothing is evaluated by
the interpreter; number literals become constants (folded by the engine where
they meet only other constants) and names become kernel arguments.

A reduction in the text (`sum(e)`, `prod(e)`, `mean(e)`, and `min(e)` and
`max(e)` with one argument) becomes an argument of its own, named after its
text, which the caller binds to the reduction's value before it runs the
expression: the kernel stays the same whatever the values.
"""

import ast
import operator
from collections.abc import Callable
from typing import Final, NamedTuple, TypeAlias, TypeVar

from _brindlemox import _REDUCTIONS

from . import _build
from ._build import Operand
from ._engine import Expr, kernels
from ._functions import bitwise_and, bitwise_or, floor_divide, invert, remainder
from ._registry import TEXT_FUNCTIONS, entry

#: The reductions of expression text, the engine's own; `min` and `max`
#: reduce with one argument and are the elementwise functions with two.
TEXT_REDUCTIONS: Final[tuple[str, ...]] = _REDUCTIONS

#: What the `axis` of a reduction may be.
Axis: TypeAlias = "int | tuple[int, ...] | None"

_SUPPORTED: Final = ", ".join(sorted({*TEXT_FUNCTIONS, *TEXT_REDUCTIONS}))


_BINARY: Final[dict[type[ast.operator], Callable[[Operand, Operand], Operand]]] = {
    ast.Add: operator.add,
    ast.Sub: operator.sub,
    ast.Mult: operator.mul,
    ast.Div: operator.truediv,
    ast.Pow: operator.pow,
    ast.Mod: remainder,
    ast.FloorDiv: floor_divide,
    ast.BitAnd: bitwise_and,
    ast.BitOr: bitwise_or,
}

_COMPARE: Final[dict[type[ast.cmpop], Callable[[Operand, Operand], Operand]]] = {
    ast.Lt: operator.lt,
    ast.LtE: operator.le,
    ast.Gt: operator.gt,
    ast.GtE: operator.ge,
    ast.Eq: operator.eq,
    ast.NotEq: operator.ne,
}

# How the refused node kinds are named in messages; others by their class name.
_CONSTRUCT_NAMES: Final[dict[type[ast.AST], str]] = {
    ast.MatMult: "'@' (matrix multiplication)",
    ast.Not: "'not' (use '~')",
    ast.And: "'and' (use '&')",
    ast.Or: "'or' (use '|')",
    ast.Is: "'is'",
    ast.IsNot: "'is not'",
    ast.In: "'in'",
    ast.NotIn: "'not in'",
    ast.Attribute: "attribute access",
    ast.Subscript: "subscript",
    ast.Lambda: "lambda",
    ast.IfExp: "conditional expression (use where)",
    ast.Starred: "starred argument",
    ast.keyword: "keyword argument",
    ast.NamedExpr: "assignment expression",
    ast.JoinedStr: "string",
    ast.Tuple: "tuple",
    ast.List: "list",
    ast.Dict: "dict",
    ast.Set: "set",
}


# Operators NumPy has for integers only, by the ufunc it refuses floats with.
_INTEGER_ONLY: Final[dict[type[ast.operator], str]] = {
    ast.BitXor: "bitwise_xor",
    ast.LShift: "left_shift",
    ast.RShift: "right_shift",
}

# Functions of numexpr the language does not have, with what to use instead.
_REFUSED_FUNCTIONS: Final[dict[str, str]] = {
    "complex": "build complex values from complex data or literals such as 2j",
    "contains": "string functions are not supported",
}


def integer_only(op: ast.operator) -> TypeError | None:
    """NumPy's error for `op` on float64 operands, or None if NumPy takes them."""
    ufunc = _INTEGER_ONLY.get(type(op))
    if ufunc is None:
        return None
    return TypeError(
        f"ufunc '{ufunc}' not supported for the input types, and the inputs could not be safely coerced to any "
        "supported types according to the casting rule ''safe''"
    )


def unsupported(node: ast.AST | type[ast.AST]) -> ValueError:
    kind = node if isinstance(node, type) else type(node)
    name = _CONSTRUCT_NAMES.get(kind, kind.__name__)
    return ValueError(f"unsupported construct in expression: {name}")


class Reduction(NamedTuple):
    """A reduction of the text: `name` (of `TEXT_REDUCTIONS`) of `inner`
    along `axis` (all elements when None), bound to the argument `slot` of
    the expressions that use it; with an axis, it keeps the reduced axes there
    unless it is the whole text (`keepdims`)."""

    name: str
    inner: Operand
    slot: str
    axis: int | tuple[int, ...] | None
    keepdims: bool
    #: The name reduced, when the reduction's operand is a bare name.
    source: str | None


class Parsed(NamedTuple):
    """A text's expression, the reductions it reads, each once, in an order
    in which every reduction comes after those its own `inner` reads, and every
    argument name, in order of first appearance (the slots of the reductions
    included)."""

    value: Operand
    reductions: tuple[Reduction, ...]
    names: tuple[str, ...]


class _Builder:
    """Builds one text's expression; argument names are made in order of first
    appearance, so that order is the kernel's argument order."""

    def __init__(self, root: ast.expr) -> None:
        self.root = root
        self.arguments: dict[str, Expr] = {}
        self.reductions: dict[str, Reduction] = {}

    def build(self, node: ast.expr) -> Operand:
        if isinstance(node, ast.Constant):
            return self.constant(node)
        if isinstance(node, ast.Name):
            if node.id not in self.arguments:
                self.arguments[node.id] = kernels.arg(node.id)
            return self.arguments[node.id]
        if isinstance(node, ast.BinOp):
            return self.binary_chain(node)
        if isinstance(node, ast.UnaryOp):
            return self.unary(node)
        if isinstance(node, ast.Compare):
            return self.compare(node)
        if isinstance(node, ast.Call):
            return self.call(node)
        if isinstance(node, ast.BoolOp):
            raise unsupported(node.op)
        raise unsupported(node)

    def binary_chain(self, node: ast.BinOp) -> Operand:
        return binary_chain(node, self.build, _binary)

    @staticmethod
    def constant(node: ast.Constant) -> float:
        value = node.value
        if isinstance(value, (bool, int, float)):
            try:
                return float(value)
            except OverflowError:
                raise ValueError(f"number too large for float64: {value}") from None
        if isinstance(value, complex):
            raise ValueError("unsupported construct in expression: complex number")
        if isinstance(value, (str, bytes)):
            raise ValueError("unsupported construct in expression: string")
        raise ValueError(f"unsupported construct in expression: {value!r}")

    def unary(self, node: ast.UnaryOp) -> Operand:
        operand = self.build(node.operand)
        if isinstance(node.op, ast.USub):
            return _build.apply(operator.neg, operand)
        if isinstance(node.op, ast.UAdd):
            return operand
        if isinstance(node.op, ast.Invert):
            return invert(operand)
        raise unsupported(node.op)

    def compare(self, node: ast.Compare) -> Operand:
        # One signature of bitwise_and's overloads, for mypy to infer the chain's type.
        both: Callable[[Operand, Operand], Operand] = bitwise_and
        return compare_chain(node, self.build, _comparison, both)

    def call(self, node: ast.Call) -> Operand:
        if not isinstance(node.func, ast.Name):
            raise unsupported(node.func)
        name = node.func.id
        if reduction_of(node) is not None:
            return self.reduction(name, node)
        if name in _REFUSED_FUNCTIONS:
            raise ValueError(f"unsupported function in expression: '{name}' ({_REFUSED_FUNCTIONS[name]})")
        if name not in TEXT_FUNCTIONS:
            raise ValueError(f"unknown function '{name}'; supported functions: {_SUPPORTED}")
        if node.keywords:
            raise unsupported(node.keywords[0])
        function = TEXT_FUNCTIONS[name]
        count = entry(function).arity
        if len(node.args) != count:
            plural = "" if count == 1 else "s"
            takes = f"1 or {count}" if name in TEXT_REDUCTIONS else str(count)
            raise TypeError(f"{name}() takes {takes} argument{plural} ({len(node.args)} given)")
        return function(*(self.build(argument) for argument in node.args))

    def reduction(self, name: str, node: ast.Call) -> Expr:
        axis = reduction_axis(name, node)
        if len(node.args) != 1:
            raise TypeError(f"{name}() takes 1 argument ({len(node.args)} given)")
        # Texts that differ only in spacing are one reduction.
        slot = ast.unparse(node)
        if slot not in self.reductions:
            inner = self.build(node.args[0])
            keepdims = axis is not None and node is not self.root
            source = node.args[0].id if isinstance(node.args[0], ast.Name) else None
            self.reductions[slot] = Reduction(name, inner, slot, axis, keepdims, source)
            self.arguments[slot] = kernels.arg(slot)
        return self.arguments[slot]


Built = TypeVar("Built")


def binary_chain(
    node: ast.BinOp,
    build: Callable[[ast.expr], Built],
    binary: Callable[[ast.operator], Callable[[Built, Built], Built]],
) -> Built:
    """The value of a chain of binary operators, each applied in turn to the
    value so far and its right operand. Long sums such as "a + b + c + ..."
    nest to the left as deep as they are long, so the spine is walked without
    recursion. `binary` gives the function of an operator, or raises for one
    it refuses, before that operator's right operand is built."""
    chain = []
    left: ast.expr = node
    while isinstance(left, ast.BinOp):
        chain.append(left)
        left = left.left
    value = build(left)
    for link in reversed(chain):
        value = binary(link.op)(value, build(link.right))
    return value


def compare_chain(
    node: ast.Compare,
    build: Callable[[ast.expr], Built],
    comparison: Callable[[ast.cmpop], Callable[[Built, Built], Built]],
    both: Callable[[Built, Built], Built],
) -> Built:
    """The value of a comparison chain as Python reads it: a < b < c is
    (a < b) & (b < c), `both` joining the terms, with each operand built once
    and in order. `comparison` gives the function of an operator, or raises
    for one it refuses, before that operator's right operand is built."""
    result: Built | None = None
    left = build(node.left)
    for op, comparator in zip(node.ops, node.comparators):
        compare = comparison(op)
        right = build(comparator)
        term = compare(left, right)
        result = term if result is None else both(result, term)
        left = right
    assert result is not None
    return result


def _binary(op: ast.operator) -> Callable[[Operand, Operand], Operand]:
    binary = _BINARY.get(type(op))
    if binary is None:
        raise integer_only(op) or unsupported(op)
    return lambda left, right: _build.apply(binary, left, right)


def _comparison(op: ast.cmpop) -> Callable[[Operand, Operand], Operand]:
    compare = _COMPARE.get(type(op))
    if compare is None:
        raise unsupported(op)
    return lambda left, right: _build.apply(compare, left, right)


def _integer(node: ast.expr) -> int | None:
    """The integer a literal (with a sign or not) stands for, or None."""
    sign = 1
    if isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.USub, ast.UAdd)):
        sign = -1 if isinstance(node.op, ast.USub) else 1
        node = node.operand
    if isinstance(node, ast.Constant) and type(node.value) is int:
        return sign * node.value
    return None


def reduction_of(node: ast.Call) -> str | None:
    """The reduction a call of the text is, or None for an elementwise
    function: `min` and `max` reduce with one argument."""
    name = node.func.id if isinstance(node.func, ast.Name) else None
    if name in TEXT_REDUCTIONS and (name not in TEXT_FUNCTIONS or len(node.args) == 1):
        return name
    return None


def reduction_axis(name: str, node: ast.Call) -> Axis:
    """The `axis` the keywords of reduction `name`'s call give (None without
    one); TypeError for any other keyword."""
    axis: int | tuple[int, ...] | None = None
    for keyword in node.keywords:
        if keyword.arg != "axis":
            raise TypeError(f"{name}() got an unexpected keyword argument '{keyword.arg}'")
        axis = axis_of(name, keyword.value)
    return axis


def axis_of(name: str, node: ast.expr) -> int | tuple[int, ...] | None:
    """The `axis` a reduction's keyword gives: an integer, a tuple of them, or None."""
    if isinstance(node, ast.Constant) and node.value is None:
        return None
    elements = node.elts if isinstance(node, ast.Tuple) else [node]
    axes = [_integer(element) for element in elements]
    if any(axis is None for axis in axes):
        raise TypeError(f"{name}() takes as axis an integer, a tuple of integers or None")
    if isinstance(node, ast.Tuple):
        return tuple(axes)  # type: ignore[arg-type]
    return axes[0]


def parse_text(text: str) -> ast.Expression:
    """`text` as Python reads an expression, with the SyntaxError Python's
    compiler gives for a keyword repeated in a call, which `ast.parse`
    leaves to the compiler."""
    source = text.strip()
    tree = ast.parse(source, mode="eval")
    for node in ast.walk(tree):
        if not isinstance(node, ast.Call) or len(node.keywords) < 2:
            continue
        seen: set[str] = set()
        for keyword in node.keywords:
            if keyword.arg in seen:
                line = source.splitlines()[keyword.lineno - 1]
                end = keyword.end_col_offset or 0  # always set by the parser
                where = (keyword.lineno, keyword.col_offset + 1, line, keyword.end_lineno, end + 1)
                raise SyntaxError(f"keyword argument repeated: {keyword.arg}", ("<unknown>", *where))
            if keyword.arg is not None:
                seen.add(keyword.arg)
    return tree


def parse(text: str) -> Parsed:
    """The expression of `text` (or the number it folds to when it names no
    argument) and the reductions it reads.

    Raises SyntaxError for malformed text, ValueError for unknown functions and
    unsupported constructs, TypeError for a wrong argument count and for the
    integer operators `^`, `<<` and `>>` (with NumPy's words for floats).
    """
    tree = parse_text(text)
    builder = _Builder(tree.body)
    value = builder.build(tree.body)
    return Parsed(value, tuple(builder.reductions.values()), tuple(builder.arguments))
