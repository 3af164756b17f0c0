"""A kernel's expression as the line of Python text that builds it, for the
typing of expression text: the kernel then takes NumPy's types as the same
line does in `evaluate`, by the one typing code.

The text is written from the record the extension keeps of how each `Expr`
was built: operators, the package's functions, arguments, and every number
as the caller gave it. Arguments become the names ``_a0, _a1, ...`` (in order of
first reading: any str may name an argument, not every one is a name in
Python). Python ints,
floats and bools that Python can write are literals, which stay weak as in
text; every other number is a constant ``_c0, _c1, ...`` bound at each call:
a NumPy scalar or array with its own dtype, a float infinity or NaN (still
weak), and any other number as the float the extension took it for.

An operation the expression reaches more than once (``e * e``, where `e`
is one `Expr`) is written once, named where it is first made,
``(_s0 := _a0 * _a0) * _s0``, and read by its name after: the text, and the
program typed from it, grow with the distinct operations, as the
extension's kernels do, not with the expanded tree.
"""

import math
import operator
from collections import Counter
from collections.abc import Mapping
from typing import Final, NamedTuple

import numpy as np


#: How tightly each operator binds, as Python's grammar orders them.
_ATOM: Final = 100
_POWER: Final = 90
_UNARY: Final = 80
_BINARY: Final[Mapping[str, int]] = {
    "**": _POWER, "*": 70, "/": 70, "+": 60, "-": 60,
    "<": 10, "<=": 10, "==": 10, "!=": 10, ">": 10, ">=": 10,
}  # fmt: skip
_COMPARISON: Final = 10
_UNARY_SYMBOLS: Final[Mapping[str, str]] = {"u-": "-"}


class KernelText(NamedTuple):
    """A kernel's text, the parameters it reads (``_a<i>`` is the parameter
    of index ``parameters[i]``), and the constants it names, with their values."""

    text: str
    parameters: tuple[int, ...]
    constants: tuple[tuple[str, object], ...]


def _operands_bound(symbol: str) -> tuple[int, int]:
    """How tightly the left and the right operand of `symbol` must bind to
    go without parentheses."""
    level = _BINARY[symbol]
    if symbol == "**":
        return _ATOM, _UNARY
    if level == _COMPARISON:
        # Comparisons chain in Python: a < b < c is no (a < b) < c.
        return _COMPARISON + 1, _COMPARISON + 1
    return level, level + 1


#: A piece of text still to write: text as it is, or the index of a record's
#: entry with how tightly it must bind to go without parentheses there.
Piece = str | tuple[int, int]


def _is_operation(entry: object) -> bool:
    """Whether a record's `entry` is an operation, (name, index, ...); else
    it is a leaf: a number, or an argument's ("arg", name)."""
    return type(entry) is tuple and type(entry[1]) is int


class _Writer:
    def __init__(self, parameters: Mapping[str, int]) -> None:
        self.parameters = parameters
        self.read: dict[int, int] = {}
        self.constants: list[tuple[str, object]] = []

    def constant(self, value: object) -> tuple[str, int]:
        if type(value) is bool:
            return repr(value), _ATOM
        if type(value) is float and math.isfinite(value) or type(value) is int:
            text = repr(value)
            return text, _UNARY if text.startswith("-") else _ATOM
        if isinstance(value, (np.generic, np.ndarray)):
            named: object = value
        elif isinstance(value, int):
            return self.constant(operator.index(value))
        else:
            named = float(value)  # type: ignore[arg-type]
        name = f"_c{len(self.constants)}"
        self.constants.append((name, named))
        return name, _ATOM

    def leaf(self, entry: object) -> tuple[str, int]:
        if type(entry) is not tuple:
            return self.constant(entry)
        parameter = self.parameters[entry[1]]
        return f"_a{self.read.setdefault(parameter, len(self.read))}", _ATOM

    def node(self, name: str, operands: tuple[int, ...]) -> tuple[list[Piece], int]:
        if name in _UNARY_SYMBOLS:
            return [_UNARY_SYMBOLS[name], (operands[0], _UNARY)], _UNARY
        if name in _BINARY:
            left, right = _operands_bound(name)
            return [(operands[0], left), f" {name} ", (operands[1], right)], _BINARY[name]
        pieces: list[Piece] = [f"{name}("]
        for operand in operands:
            pieces += [", ", (operand, 0)] if len(pieces) > 1 else [(operand, 0)]
        return [*pieces, ")"], _ATOM


def _shared_operations(record: tuple[object, ...]) -> set[int]:
    """The indices of the operations `record` reads more than once."""
    reads = Counter(operand for entry in record if _is_operation(entry) for operand in entry[1:])  # type: ignore[index]
    return {index for index, count in reads.items() if count > 1 and _is_operation(record[index])}


def kernel_text(record: tuple[object, ...], parameters: Mapping[str, int]) -> KernelText:
    """The text of the expression `record` (as `_expr_record` gives it)
    describes, over `parameters` (argument name to parameter index);
    KeyError for an argument that is no parameter. Written in order, without
    recursion and without nesting: a traced expression may nest as deep as it
    is long."""
    writer = _Writer(parameters)
    shared = _shared_operations(record)
    #: The names of the shared operations written so far, by index: text is
    #: written in Python's order of evaluation, so each is named where it is
    #: first read.
    named: dict[int, str] = {}
    parts: list[str] = []
    pending: list[Piece] = [(len(record) - 1, 0)]
    while pending:
        piece = pending.pop()
        if isinstance(piece, str):
            parts.append(piece)
            continue
        index, bound = piece
        if index in named:
            parts.append(named[index])
            continue
        entry = record[index]
        if not _is_operation(entry):
            text, level = writer.leaf(entry)
            parts.append(text if level >= bound else f"({text})")
            continue
        pieces, level = writer.node(str(entry[0]), entry[1:])  # type: ignore[index]
        if index in shared:
            name = named[index] = f"_s{len(named)}"
            pieces, level = ["(", name, " := ", *pieces, ")"], _ATOM
        pending.extend(reversed(["(", *pieces, ")"] if level < bound else pieces))
    return KernelText("".join(parts), tuple(writer.read), tuple(writer.constants))
