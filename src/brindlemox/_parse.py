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
from ._functions import bitwise_and, bitwise_or, floor_divide, invert, remainder
from ._registry import TEXT_FUNCTIONS
from ._text import BINARY, CALL, COMPARE, NAME, NUMBER, REDUCE, UNARY, Axis, Node, Reduced, Text, comparison_chain, read

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


def _integer_only(symbol: str) -> TypeError:
    """NumPy's error for the integer operator `symbol` on float64 operands."""
    return TypeError(
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

    def __init__(self) -> None:
        self.arguments: dict[str, Expr] = {}
        self.reductions: dict[str, Reduction] = {}

    def build(self, node: Node) -> Operand:
        kind = node.kind
        if kind == NUMBER:
            return _constant(node.value)
        if kind == NAME:
            name: str = node.value
            if name not in self.arguments:
                self.arguments[name] = kernels.arg(name)
            return self.arguments[name]
        if kind == BINARY:
            return self.binary_chain(node)
        if kind == UNARY:
            operand = self.build(node.operands[0])
            if node.op == "u-":
                return _build.apply(operator.neg, operand)
            return operand if node.op == "u+" else invert(operand)
        if kind == COMPARE:
            return self.compare(node)
        if kind == CALL:
            return TEXT_FUNCTIONS[node.op](*(self.build(argument) for argument in node.operands))
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
        value = self.build(left)
        for link in reversed(chain):
            symbol: str = link.op
            if symbol in _INTEGER_ONLY:
                raise _integer_only(symbol)
            value = _build.apply(_BINARY[symbol], value, self.build(link.operands[1]))
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


def _constant(value: bool | int | float | complex) -> float:
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
        _Builder().build(found.root)
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
