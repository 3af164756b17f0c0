"""A kernel's expression as the tree expression text is read into (`_text`),
for the typing of text: the kernel then takes NumPy's types as the same line
does in `evaluate`, by the one typing code.

The tree is converted from the record the extension keeps of how each `Expr`
was built: operators, the package's functions, arguments, and every number
as the caller gave it. Arguments become the names ``_a0, _a1, ...`` (in order
of first reading: any str may name an argument). Python ints, finite floats
and bools are numbers of the tree, weak as in text; every other number is a
constant ``_c0, _c1, ...`` bound at each call: a NumPy scalar or array with
its own dtype, a float infinity or NaN (still weak), and any other number as
the float the extension took it for.

An operation the expression reaches more than once (``e * e``, where `e` is
one `Expr`) is one node, computed once: the typed program grows with the
distinct operations, as the extension's kernels do, not with the expanded tree.
"""

import math
import operator
from collections.abc import Mapping
from typing import Final, NamedTuple

import numpy as np

from ._text import BINARY, CALL, COMPARE, NAME, NUMBER, UNARY, Node

#: How deep the typing of text recurses, and so how deep a kernel may nest
#: to be typed: Python's parser takes text nested up to 200 brackets deep. A
#: binary operator's left operand does not count, as text needs no bracket
#: there (the typing walks those chains without recursion).
MAX_DEPTH: Final = 200

_BINARY: Final = frozenset({"+", "-", "*", "/", "**"})
_COMPARE: Final = frozenset({"<", "<=", ">", ">=", "==", "!="})


class KernelTree(NamedTuple):
    """A kernel's tree, the parameters it reads (``_a<i>`` is the parameter
    of index ``parameters[i]``), and the constants it names, with their values."""

    root: Node
    parameters: tuple[int, ...]
    constants: tuple[tuple[str, object], ...]


def _is_operation(entry: object) -> bool:
    """Whether a record's `entry` is an operation, (name, index, ...); else
    it is a leaf: a number, or an argument's ("arg", name)."""
    return type(entry) is tuple and type(entry[1]) is int


class _Leaves:
    """The leaves of one kernel's tree, made as they are read."""

    def __init__(self, parameters: Mapping[str, int]) -> None:
        self.parameters = parameters
        self.read: dict[int, int] = {}
        self.constants: list[tuple[str, object]] = []

    def leaf(self, entry: object) -> Node:
        if type(entry) is tuple:
            parameter = self.parameters[entry[1]]
            return Node(NAME, value=f"_a{self.read.setdefault(parameter, len(self.read))}")
        return self.constant(entry)

    def constant(self, value: object) -> Node:
        if type(value) is bool or type(value) is float and math.isfinite(value) or type(value) is int:
            return Node(NUMBER, value=value)
        if isinstance(value, (np.generic, np.ndarray)):
            named: object = value
        elif isinstance(value, int):
            return self.constant(operator.index(value))
        else:
            named = float(value)  # type: ignore[arg-type]
        name = f"_c{len(self.constants)}"
        self.constants.append((name, named))
        return Node(NAME, value=name)


def _operation(name: str, operands: tuple[Node, ...]) -> Node:
    if name == "u-":
        return Node(UNARY, name, operands)
    if name in _BINARY:
        return Node(BINARY, name, operands)
    if name in _COMPARE:
        return Node(COMPARE, (name,), operands)
    return Node(CALL, name, operands)


def kernel_tree(record: tuple[object, ...], parameters: Mapping[str, int]) -> KernelTree | None:
    """The tree of the expression `record` (as `_expr_record` gives it)
    describes, over `parameters` (argument name to parameter index); None
    for one nested deeper than `MAX_DEPTH`, KeyError for an argument that is
    no parameter. Made in Python's order of evaluation, without recursion: a
    traced expression may nest as deep as it is long."""
    leaves = _Leaves(parameters)
    if not _is_operation(record[-1]):
        return KernelTree(leaves.leaf(record[-1]), tuple(leaves.read), tuple(leaves.constants))
    #: The node of each operation made so far, by index, and its depth.
    made: dict[int, tuple[Node, int]] = {}
    # Each operation on the walk, with the nodes and the depth of its operands so far.
    walk: list[tuple[int, list[Node], int]] = [(len(record) - 1, [], 0)]
    while walk:
        index, operands, depth = walk[-1]
        entry: tuple[object, ...] = record[index]  # type: ignore[assignment]
        if len(operands) < len(entry) - 1:
            operand: int = entry[1 + len(operands)]  # type: ignore[assignment]
            if operand in made:
                node, below = made[operand]
            elif _is_operation(record[operand]):
                walk.append((operand, [], 0))
                continue
            else:
                node, below = leaves.leaf(record[operand]), 0
            left = len(operands) == 0 and entry[0] in _BINARY
            operands.append(node)
            walk[-1] = (index, operands, max(depth, below if left else below + 1))
            continue
        if depth > MAX_DEPTH:
            return None
        # The parent's next step finds it made.
        made[index] = (_operation(str(entry[0]), tuple(operands)), depth)
        walk.pop()
    return KernelTree(made[len(record) - 1][0], tuple(leaves.read), tuple(leaves.constants))
