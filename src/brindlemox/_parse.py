"""Expression text in float64: the tree `_text` reads from the text, built
into an `Expr` through the builders. Nothing is evaluated by the interpreter;
number literals become constants (folded by the engine where they meet only
other constants) and names become kernel arguments.

A reduction in the text (`sum(e)`, `prod(e)`, `mean(e)`, and `min(e)` and
`max(e)` with one argument) becomes an argument of its own, its slot, which
the caller binds to the reduction's value before it runs the expression: the
kernel stays the same whatever the values.

The builder is also the one judge of a text's errors: it meets them in
Python's order of evaluation, the refused constructs (`REFUSED` nodes) and
what float64 cannot compute alike, and raises the first (`checked`).
"""

import operator
from collections.abc import Callable
from typing import Final, NamedTuple

from . import _build
from ._build import Operand
from ._engine import Expr, kernels
from ._functions import bitwise_and, bitwise_or, floor_divide, invert, remainder, sqrt
from ._registry import TEXT_FUNCTIONS
from ._operators import python_value
from ._unsupported import UnsupportedOperation
from ._text import (
    BINARY, CALL, COMPARE, NAME, NUMBER, REDUCE, STRING, TEXT_ONLY, UNARY, Axis, Node, Reduced, Text, comparison_chain,
    read,
)  # fmt: skip

_BINARY: Final[dict[str, Callable[[Operand, Operand], Operand]]] = {
    "+": operator.add,
    "-": operator.sub,
    "*": operator.mul,
    "/": operator.truediv,
    "**": operator.pow,
    "%": remainder,
    "//": floor_divide,
    "&": bitwise_and,
    "|": bitwise_or,
}

_COMPARE: Final[dict[str, Callable[[Operand, Operand], Operand]]] = {
    "<": operator.lt,
    "<=": operator.le,
    ">": operator.gt,
    ">=": operator.ge,
    "==": operator.eq,
    "!=": operator.ne,
}

# Operators NumPy has for integers only, by the ufunc it refuses floats with.
_INTEGER_ONLY: Final[dict[str, str]] = {"^": "bitwise_xor", "<<": "left_shift", ">>": "right_shift"}


def _integer_only(symbol: str) -> UnsupportedOperation:
    """NumPy's error for the integer operator `symbol` on float64 operands."""
    return UnsupportedOperation(
        f"ufunc '{_INTEGER_ONLY[symbol]}' not supported for the input types, and the inputs could not be safely "
        "coerced to any supported types according to the casting rule ''safe''"
    )


class Reduction(NamedTuple):
    """A reduction of the text: `name` (of `TEXT_REDUCTIONS`) of `inner`
    along `axis` (all elements when None), bound to the argument `slot` of
    the expressions that use it; with an axis, it keeps the reduced axes there
    unless it is the whole text (`keepdims`)."""

    name: str
    inner: Operand
    slot: str
    axis: Axis
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

    def __init__(self, checking: bool = False) -> None:
        self.arguments: dict[str, Expr] = {}
        self.reductions: dict[str, Reduction] = {}
        #: Whether the builder only looks for a refused construct: strings
        #: and complex values then stand in as numbers until it is met.
        self.checking = checking

    def build(self, node: Node) -> Operand:
        return _constant(self.value(node))

    def value(self, node: Node) -> Operand | int:
        """The value of `node`, where a Python int (and an operation of
        Python ints alone) stays Python's own, as Python computes it: `~2`
        is -3 and `1 << 70` exact; any other value is built in float64."""
        kind = node.kind
        if kind == NUMBER:
            return node.value if type(node.value) is int else _constant(node.value)
        if kind == NAME:
            name: str = node.value
            if name not in self.arguments:
                self.arguments[name] = kernels.arg(name)
            return self.arguments[name]
        if kind == BINARY:
            return self.binary_chain(node)
        if kind == UNARY:
            operand = self.value(node.operands[0])
            if type(operand) is int and node.op != "u+":
                folded = _python_value(node.op, [operand])
                if folded is not None:
                    return folded
            operand = _constant(operand)
            if node.op == "u-":
                return _build.apply(operator.neg, operand)
            return operand if node.op == "u+" else invert(operand)
        if kind == COMPARE:
            return self.compare(node)
        if kind == CALL and node.op not in TEXT_ONLY:
            return TEXT_FUNCTIONS[node.op](*(self.build(argument) for argument in node.operands))
        if kind == STRING or kind == CALL:
            # Strings and complex values, which float64 does not hold.
            for argument in node.operands:
                self.build(argument)
            if self.checking:
                return 0.0
            what = "string" if kind == STRING else f"{node.op}()"
            raise ValueError(f"unsupported construct in float64 expression: {what}")
        if kind == REDUCE:
            return self.reduction(node)
        # A refused construct, met once the operands before it are built.
        for before in node.operands:
            self.build(before)
        error: Exception = node.value
        # The tree is kept for the next call of the text: each call raises an error of its own.
        raise type(error)(*error.args)

    def binary_chain(self, node: Node) -> Operand:
        # Long sums such as "a + b + c + ..." nest to the left as deep as they
        # are long: the spine is walked without recursion. Each operator is
        # checked before its right operand is built.
        chain = []
        left = node
        while left.kind == BINARY:
            chain.append(left)
            left = left.operands[0]
        value = self.value(left)
        for link in reversed(chain):
            symbol: str = link.op
            # Only Python ints take an integer operator, and no float64 value is one.
            if symbol in _INTEGER_ONLY and type(value) is not int:
                raise _integer_only(symbol)
            right = self.value(link.operands[1])
            if type(value) is int and type(right) is int:
                folded = _python_value(symbol, [value, right])
                if folded is not None:
                    value = folded
                    continue
            if symbol in _INTEGER_ONLY:
                raise _integer_only(symbol)
            value, right = _constant(value), _constant(right)
            if symbol == "**" and type(value) is Expr and type(right) is float:
                value = _power(value, right)
            else:
                value = _build.apply(_BINARY[symbol], value, right)
        return value

    def compare(self, node: Node) -> Operand:
        def term(symbol: str, a: Operand, b: Operand) -> Operand:
            return _build.apply(_COMPARE[symbol], a, b)

        def both(a: Operand, b: Operand) -> Operand:
            return bitwise_and(a, b)

        return comparison_chain(node, self.build, term, both)

    def reduction(self, node: Node) -> Expr:
        reduced: Reduced = node.value
        slot = reduced.slot
        if slot not in self.reductions:
            inner = self.build(node.operands[0])
            self.reductions[slot] = Reduction(node.op, inner, slot, reduced.axis, reduced.keepdims, reduced.source)
            self.arguments[slot] = kernels.arg(slot)
        return self.arguments[slot]


def _python_value(symbol: str, operands: list[int]) -> int | float | None:
    """Python's value of an operator on Python ints, or None where the
    float64 builder computes it in float64 instead: where Python has none, and
    for ints too large for float64, where the float64 value is infinite."""
    try:
        return python_value(symbol, operands)  # type: ignore[arg-type,return-value]
    except OverflowError:
        return None


def _power(base: Expr, exponent: float) -> Expr:
    """`base ** exponent` as the typed programs compute float64 (see
    `_typing_text`): NumPy's x*x, 1/x, sqrt(x), x and 1 for the powers 2,
    -1, 0.5, 1 and 0; pow for the others."""
    if exponent == 2.0:
        return base * base
    if exponent == -1.0:
        return 1.0 / base
    if exponent == 0.5:
        return sqrt(base)
    if exponent == 1.0:
        return base
    if exponent == 0.0:
        return _build.constant_like(base, 1.0)
    return base**exponent


def _constant(value: Operand | int | complex) -> Operand:
    if type(value) is Expr:
        return value
    if isinstance(value, complex):
        raise ValueError("unsupported construct in expression: complex number")
    try:
        return float(value)
    except OverflowError:
        raise ValueError(f"number too large for float64: {value}") from None


def checked(text: str) -> Text:
    """`text` as `_text.read` reads it, once it is known to be in the
    language: for a refused construct, raises the first error the float64
    builder meets (which may be one of float64 met before it), as a text
    always did, before any name is looked up."""
    found = read(text)
    if found.refused:
        # A refused node is always reached: every operand before it is built.
        _Builder(checking=True).build(found.root)
    return found


def parse(text: str) -> Parsed:
    """The expression of `text` (or the number it folds to when it names no
    argument) and the reductions it reads.

    Raises SyntaxError for malformed text, ValueError for unknown functions and
    unsupported constructs, TypeError for a wrong argument count and for the
    integer operators `^`, `<<` and `>>` (with NumPy's words for floats).
    """
    builder = _Builder()
    value = builder.build(read(text).root)
    return Parsed(value, tuple(builder.reductions.values()), tuple(builder.arguments))
