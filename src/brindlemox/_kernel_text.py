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
from collections.abc import Mapping
from typing import Final, NamedTuple

import numpy as np

from ._typed_eval import text_names

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


#: Text as written, joined only once at the end: a piece nests the pieces of
#: its operands, so that each step is constant time however long the text.
Text = str | tuple["Text", ...]


def _wrapped(piece: tuple[Text, int], bound: int) -> Text:
    text, level = piece
    return text if level >= bound else ("(", text, ")")


def _joined(text: Text) -> str:
    """The pieces of `text` in order, walked without recursion."""
    parts: list[str] = []
    stack = [text]
    while stack:
        item = stack.pop()
        if type(item) is str:
            parts.append(item)
        else:
            stack.extend(reversed(item))
    return "".join(parts)


class _Writer:
    def __init__(self, parameters: Mapping[str, int]) -> None:
        self.parameters = parameters
        self.read: dict[int, int] = {}
        self.constants: list[tuple[str, object]] = []

    def constant(self, value: object) -> tuple[Text, int]:
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

    def leaf(self, record: object) -> tuple[Text, int] | None:
        """The text of a record without operands, None for one with some."""
        if type(record) is not tuple:
            return self.constant(record)
        if record[0] == "arg":
            parameter = self.parameters[record[1]]
            return f"_a{self.read.setdefault(parameter, len(self.read))}", _ATOM
        return None

    def node(self, name: str, pieces: list[tuple[Text, int]]) -> tuple[Text, int]:
        if name in _UNARY_SYMBOLS:
            return (_UNARY_SYMBOLS[name], _wrapped(pieces[0], _UNARY)), _UNARY
        if name in _BINARY:
            left, right = _operands_bound(name)
            return (_wrapped(pieces[0], left), f" {name} ", _wrapped(pieces[1], right)), _BINARY[name]
        operands: list[Text] = []
        for text, _ in pieces:
            operands += [", ", text] if operands else [text]
        return (f"{name}(", *operands, ")"), _ATOM


def _shared_operations(record: tuple[object, ...]) -> set[int]:
    """The ids of the operations `record` reaches more than once."""
    seen: set[int] = set()
    shared: set[int] = set()
    stack: list[object] = [record]
    while stack:
        item = stack.pop()
        if type(item) is not tuple or item[0] == "arg":
            continue
        if id(item) in seen:
            shared.add(id(item))
            continue
        seen.add(id(item))
        stack.extend(item[1:])
    return shared


def kernel_text(record: tuple[object, ...], parameters: Mapping[str, int]) -> KernelText:
    """The text of the expression `record` describes, over `parameters`
    (argument name to parameter index); KeyError for an argument that is no
    parameter. Walked without recursion: a traced expression may nest as
    deep as it is long."""
    writer = _Writer(parameters)
    shared = _shared_operations(record)
    #: The names of the shared operations written so far, by id; walking in
    #: Python's order of evaluation writes each one before it is read again.
    named: dict[int, str] = {}
    done: list[tuple[Text, int]] = []
    stack: list[tuple[tuple[object, ...], bool]] = [(record, False)]
    while stack:
        item, expanded = stack.pop()
        if expanded:
            count = len(item) - 1
            pieces = done[len(done) - count :]
            del done[len(done) - count :]
            text, level = writer.node(str(item[0]), pieces)
            if id(item) in shared:
                name = named[id(item)] = f"_s{len(named)}"
                text, level = ("(", name, " := ", text, ")"), _ATOM
            done.append((text, level))
            continue
        if id(item) in named:
            done.append((named[id(item)], _ATOM))
            continue
        leaf = writer.leaf(item)
        if leaf is not None:
            done.append(leaf)
            continue
        stack.append((item, True))
        stack.extend((operand, False) for operand in reversed(item[1:]))  # type: ignore[misc]
    [(text, _)] = done
    return KernelText(_joined(text), tuple(writer.read), tuple(writer.constants))


def checked_text(value: object, parameters: int) -> KernelText:
    """`value` (a `KernelText`'s fields, as pickled) as the text of a kernel
    of `parameters` parameters; TypeError or ValueError for anything else,
    and the parser's error for text that is no expression. The text is only
    ever typed, never run by the interpreter."""
    if type(value) is not tuple or len(value) != 3:
        raise TypeError("a kernel's text must be a tuple of its text, parameters and constants")
    text, read, constants = value
    if type(text) is not str or type(read) is not tuple or type(constants) is not tuple:
        raise TypeError("a kernel's text must be a tuple of its text, parameters and constants")
    if any(type(index) is not int or not 0 <= index < parameters for index in read):
        raise ValueError("a kernel's text reads a parameter it does not have")
    if any(type(pair) is not tuple or len(pair) != 2 or type(pair[0]) is not str for pair in constants):
        raise TypeError("a kernel's constants must be pairs of a name and a value")
    known = {f"_a{position}" for position in range(len(read))} | {name for name, _ in constants}
    unknown = set(text_names(text, shared=True)) - known
    if unknown:
        raise ValueError(f"a kernel's text reads names it does not bind: {', '.join(sorted(unknown))}")
    return KernelText(text, read, constants)


def flat_record(record: tuple[object, ...]) -> list[object]:
    """`record` in post-order, without nesting, as pickle can take it however
    deep: each leaf as it is (a number, or an argument's ("arg", name)), each
    operation as (name, operand count) after its operands."""
    flat: list[object] = []
    stack: list[tuple[object, bool]] = [(record, False)]
    while stack:
        item, expanded = stack.pop()
        if type(item) is not tuple or item[0] == "arg":
            flat.append(item)
        elif expanded:
            flat.append((item[0], len(item) - 1))
        else:
            stack.append((item, True))
            stack.extend((operand, False) for operand in reversed(item[1:]))
    return flat


def nested_record(flat: object) -> tuple[object, ...]:
    """The record `flat_record` flattened; ValueError for anything else."""
    if type(flat) is not list:
        raise ValueError("an expression's record must be a list")
    done: list[object] = []
    for item in flat:
        if type(item) is tuple and len(item) == 2 and type(item[0]) is str and type(item[1]) is int:
            count = item[1]
            if not 0 < count <= min(3, len(done)):
                raise ValueError("an expression's record does not hold together")
            operands = done[len(done) - count :]
            del done[len(done) - count :]
            done.append((item[0], *operands))
        else:
            done.append(item)
    if len(done) != 1 or type(done[0]) is not tuple:
        raise ValueError("an expression's record does not hold together")
    return done[0]
