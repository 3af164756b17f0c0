"""Expression text read once: parsed by `ast` and walked once into a neutral
tree of `Node`s, from which the names the text reads, its float64 `Expr`
(`_parse`) and its typed programs for any kinds of values (`_typing_text`)
are built without the text. A kernel's expression becomes the same tree
(`_kernel_tree`).

Every construct the language lacks becomes a `REFUSED` node where the float64
builder meets it, holding the error to raise there: the builder walks the
tree in Python's order of evaluation, so the error a text raises is the first
one that walk meets (`_parse.checked`), as when the builder read the text.
"""

import ast
import functools
from collections.abc import Callable
from typing import Any, Final, NamedTuple, TypeAlias, TypeVar

from _brindlemox import _REDUCTIONS

from ._registry import TEXT_FUNCTIONS, entry

#: The reductions of expression text, the engine's own; `min` and `max`
#: reduce with one argument and are the elementwise functions with two.
TEXT_REDUCTIONS: Final[tuple[str, ...]] = _REDUCTIONS

#: What the `axis` of a reduction may be.
Axis: TypeAlias = "int | tuple[int, ...] | None"

#: Texts read and kept, least recently used dropped first.
TEXTS_KEPT: Final = 256

# The kinds of node. An operator is named by its symbol ("u-", "u+" and "~"
# for the unary ones), as a kernel's record names it; a function or a
# reduction by its name in text.
NAME: Final = "name"  # value: the name
NUMBER: Final = "number"  # value: the number as written (bool, int, float or complex)
UNARY: Final = "unary"  # op: the symbol
BINARY: Final = "binary"  # op: the symbol
COMPARE: Final = "compare"  # op: the symbols of a chain, a < b < c, between its operands
CALL: Final = "call"  # op: the function's name
REDUCE: Final = "reduce"  # op: the reduction's name; value: its `Reduced`
REFUSED: Final = "refused"  # value: the error, raised once the operands are built
STRING: Final = "string"  # value: the bytes or str as written


class Node:
    """One operation of an expression, or a leaf; a node reached twice (a
    kernel's shared value) is computed once."""

    __slots__ = ("kind", "op", "operands", "value")

    def __init__(self, kind: str, op: Any = "", operands: tuple["Node", ...] = (), value: Any = None) -> None:
        self.kind = kind
        #: The operator's symbol, the function's name, ... as the kind says.
        self.op = op
        self.operands = operands
        #: What a leaf is, a reduction's `Reduced`, a refusal's error.
        self.value = value


_Built = TypeVar("_Built")


def comparison_chain(
    node: Node,
    build: Callable[[Node], _Built],
    compare: Callable[[str, _Built, _Built], _Built],
    both: Callable[[_Built, _Built], _Built],
) -> _Built:
    """A `COMPARE` chain as Python reads it: a < b < c is (a < b) & (b < c),
    each operand built once and in order."""
    result: _Built | None = None
    left = build(node.operands[0])
    for symbol, comparator in zip(node.op, node.operands[1:]):
        right = build(comparator)
        term = compare(symbol, left, right)
        result = term if result is None else both(result, term)
        left = right
    assert result is not None
    return result


class Reduced(NamedTuple):
    """What a `REDUCE` node reduces along, and how the text reads its value."""

    axis: Axis
    #: Whether it keeps the reduced axes: along axes, unless it is the whole text.
    keepdims: bool
    #: The name the outer expression reads its value by, which no text can read.
    slot: str
    #: The name reduced, when the reduction's operand is a bare name.
    source: str | None


class Part(NamedTuple):
    """A part of a text with reductions that computes on its own: a
    reduction's operand, or the outer expression."""

    root: Node
    #: The names it reads, in order of first appearance: a reduction within it
    #: reads its slot (`Reduced.slot`).
    names: tuple[str, ...]


class Text(NamedTuple):
    """A text as its consumers read it."""

    root: Node
    #: The names the text reads, in order of first appearance.
    names: tuple[str, ...]
    #: Its `REDUCE` nodes, each once, every one after those its operand reads.
    reductions: tuple[Node, ...]
    #: The operand of each reduction, in the order of `reductions`, then the
    #: outer expression; none for a text without reductions.
    parts: tuple[Part, ...]
    #: Whether a construct of the text is refused (a `REFUSED` node).
    refused: bool
    #: Whether the text holds a string, or asks `contains`: it computes
    #: where strings do (`_strings`).
    strings: bool


_BINARY: Final[dict[type[ast.operator], str]] = {
    ast.Add: "+", ast.Sub: "-", ast.Mult: "*", ast.Div: "/", ast.Pow: "**", ast.Mod: "%", ast.FloorDiv: "//",
    ast.BitAnd: "&", ast.BitOr: "|", ast.BitXor: "^", ast.LShift: "<<", ast.RShift: ">>",
}  # fmt: skip
_UNARY: Final[dict[type[ast.unaryop], str]] = {ast.USub: "u-", ast.UAdd: "u+", ast.Invert: "~"}
_COMPARE: Final[dict[type[ast.cmpop], str]] = {
    ast.Lt: "<", ast.LtE: "<=", ast.Gt: ">", ast.GtE: ">=", ast.Eq: "==", ast.NotEq: "!=",
}  # fmt: skip

#: The functions of text alone, with their operand counts: `complex(re, im)`
#: pairs real values into complex ones, and `contains(haystack, needle)` asks
#: of strings whether one holds the other; neither has a float64 value.
TEXT_ONLY: Final[dict[str, int]] = {"complex": 2, "contains": 2}

#: The parts of a complex value that text reads as attributes, `(a - b).real`,
#: and the function each is.
_PARTS: Final = ("real", "imag")


_SUPPORTED: Final = ", ".join(sorted({*TEXT_FUNCTIONS, *TEXT_REDUCTIONS, *TEXT_ONLY}))

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

def _unsupported(node: ast.AST) -> ValueError:
    return ValueError(f"unsupported construct in expression: {_CONSTRUCT_NAMES.get(type(node), type(node).__name__)}")


def _refused(error: Exception, *first: Node) -> Node:
    """The refusal `error`, met once the nodes `first` are built."""
    return Node(REFUSED, operands=first, value=error)


def _integer(node: ast.expr) -> int | None:
    """The integer a literal (with a sign or not) stands for, or None."""
    sign = 1
    if isinstance(node, ast.UnaryOp) and isinstance(node.op, (ast.USub, ast.UAdd)):
        sign = -1 if isinstance(node.op, ast.USub) else 1
        node = node.operand
    if isinstance(node, ast.Constant) and type(node.value) is int:
        return sign * node.value
    return None


def _axis(name: str, node: ast.Call) -> Axis:
    """The `axis` the keywords of reduction `name`'s call give (None without
    one): an integer, a tuple of them, or None; TypeError for any other keyword
    or value."""
    axis: Axis = None
    for keyword in node.keywords:
        if keyword.arg != "axis":
            raise TypeError(f"{name}() got an unexpected keyword argument '{keyword.arg}'")
        value = keyword.value
        if isinstance(value, ast.Constant) and value.value is None:
            axis = None
            continue
        axes = [_integer(element) for element in (value.elts if isinstance(value, ast.Tuple) else [value])]
        if any(found is None for found in axes):
            raise TypeError(f"{name}() takes as axis an integer, a tuple of integers or None")
        axis = tuple(axes) if isinstance(value, ast.Tuple) else axes[0]  # type: ignore[arg-type]
    return axis


def _shape(node: Node) -> tuple[object, ...]:
    """A key equal for trees alike node for node (numbers of one type and
    value), which tells texts that differ only in spacing apart from others."""
    key: list[object] = []
    stack = [node]
    while stack:
        node = stack.pop()
        value = node.value
        if node.kind == NUMBER:
            value = (type(value), repr(value))
        elif node.kind in (REDUCE, REFUSED):
            # Reductions alike are one node already; no refusal is like another.
            value = id(node)
        key += (node.kind, node.op, len(node.operands), value)
        stack.extend(reversed(node.operands))
    return tuple(key)


class _Reader:
    """One walk of a text's tree, in the order the float64 builder builds it."""

    def __init__(self, root: ast.expr) -> None:
        self.root = root
        self.names: dict[str, None] = {}
        self.reductions: dict[tuple[object, ...], Node] = {}
        self.refused = False
        self.strings = False

    def refuse(self, error: Exception, *first: Node) -> Node:
        self.refused = True
        return _refused(error, *first)

    def read(self, node: ast.expr) -> Node:
        if isinstance(node, ast.Constant):
            value = node.value
            if type(value) in (bool, int, float, complex):
                return Node(NUMBER, value=value)
            if type(value) in (bytes, str):
                self.strings = True
                return Node(STRING, value=value)
            return self.refuse(ValueError(f"unsupported construct in expression: {value!r}"))
        if isinstance(node, ast.Name):
            self.names.setdefault(node.id)
            return Node(NAME, value=node.id)
        if isinstance(node, ast.BinOp):
            return self.binary_chain(node)
        if isinstance(node, ast.UnaryOp):
            operand = self.read(node.operand)
            symbol = _UNARY.get(type(node.op))
            return self.refuse(_unsupported(node.op), operand) if symbol is None else Node(UNARY, symbol, (operand,))
        if isinstance(node, ast.Compare):
            return self.compare(node)
        if isinstance(node, ast.Call):
            return self.call(node)
        if isinstance(node, ast.Attribute) and node.attr in _PARTS:
            return Node(CALL, node.attr, (self.read(node.value),))
        return self.refuse(_unsupported(node.op if isinstance(node, ast.BoolOp) else node))

    def binary_chain(self, node: ast.BinOp) -> Node:
        # Long sums such as "a + b + c + ..." nest to the left as deep as they
        # are long: the spine is walked without recursion.
        chain = []
        left: ast.expr = node
        while isinstance(left, ast.BinOp):
            chain.append(left)
            left = left.left
        value = self.read(left)
        for link in reversed(chain):
            symbol = _BINARY.get(type(link.op))
            if symbol is None:
                return self.refuse(_unsupported(link.op), value)
            value = Node(BINARY, symbol, (value, self.read(link.right)))
        return value

    def compare(self, node: ast.Compare) -> Node:
        operands = [self.read(node.left)]
        symbols: list[str] = []
        for op, comparator in zip(node.ops, node.comparators):
            symbol = _COMPARE.get(type(op))
            if symbol is None:
                done = Node(COMPARE, tuple(symbols), tuple(operands)) if symbols else operands[0]
                return self.refuse(_unsupported(op), done)
            symbols.append(symbol)
            operands.append(self.read(comparator))
        return Node(COMPARE, tuple(symbols), tuple(operands))

    def call(self, node: ast.Call) -> Node:
        if not isinstance(node.func, ast.Name):
            return self.refuse(_unsupported(node.func))
        name = node.func.id
        if name in TEXT_REDUCTIONS and (name not in TEXT_FUNCTIONS or len(node.args) == 1):
            return self.reduction(name, node)
        if name not in TEXT_FUNCTIONS and name not in TEXT_ONLY:
            return self.refuse(ValueError(f"unknown function '{name}'; supported functions: {_SUPPORTED}"))
        if node.keywords:
            return self.refuse(_unsupported(node.keywords[0]))
        count = TEXT_ONLY[name] if name in TEXT_ONLY else entry(TEXT_FUNCTIONS[name]).arity
        if len(node.args) != count:
            plural = "" if count == 1 else "s"
            takes = f"1 or {count}" if name in TEXT_REDUCTIONS else str(count)
            return self.refuse(TypeError(f"{name}() takes {takes} argument{plural} ({len(node.args)} given)"))
        self.strings = self.strings or name == "contains"
        return Node(CALL, name, tuple(self.read(argument) for argument in node.args))

    def reduction(self, name: str, node: ast.Call) -> Node:
        try:
            axis = _axis(name, node)
        except TypeError as error:
            return self.refuse(error)
        if len(node.args) != 1:
            return self.refuse(TypeError(f"{name}() takes 1 argument ({len(node.args)} given)"))
        inner = self.read(node.args[0])
        key = (name, axis, _shape(inner))
        if key not in self.reductions:
            keepdims = axis is not None and node is not self.root
            source = node.args[0].id if isinstance(node.args[0], ast.Name) else None
            reduced = Reduced(axis, keepdims, f"{name}#{len(self.reductions)}", source)
            self.reductions[key] = Node(REDUCE, name, (inner,), reduced)
        return self.reductions[key]


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


@functools.lru_cache(maxsize=TEXTS_KEPT)
def read(text: str) -> Text:
    """`text` read into its tree: parsed once, however often it is asked
    for. Raises SyntaxError for text that is not a Python expression;
    refused constructs are nodes of the tree (see `_parse.checked`)."""
    body = parse_text(text).body
    reader = _Reader(body)
    root = reader.read(body)
    reductions = tuple(reader.reductions.values())
    roots = [*(reduction.operands[0] for reduction in reductions), root] if reductions else []
    parts = tuple(Part(part, _reads(part)) for part in roots)
    return Text(root, tuple(reader.names), reductions, parts, reader.refused, reader.strings)


def _reads(node: Node) -> tuple[str, ...]:
    """The names of a `Part` of root `node`."""
    names: dict[str, None] = {}
    stack = [node]
    while stack:
        node = stack.pop()
        if node.kind == NAME:
            names.setdefault(node.value)
        elif node.kind == REDUCE:
            names.setdefault(node.value.slot)
        else:
            stack.extend(reversed(node.operands))
    return tuple(names)
