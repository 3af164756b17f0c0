"""Text over strings: NumPy bytes (``S``) and unicode (``U``) arrays, and
bytes or str constants, compared (the six comparisons) and searched
(`contains`) elementwise with broadcasting, as NumPy compares them: trailing
NUL bytes do not count, and a shorter string is padded with them.

Every comparison of strings is computed by NumPy and becomes a boolean value
of the text, bound to a name no text can read; the rest of the tree, booleans
and numbers alone, is then typed and run by the engine as any text is.
Strings never reach the engine.
"""

import functools
from collections.abc import Mapping
from typing import Any, Final

import numpy as np
import numpy.typing as npt

from ._inputs import Order, read_typed
from ._python_ints import int_classes
from ._text import BINARY, CALL, COMPARE, NAME, STRING, UNARY, Node, Text
from ._typed_eval import check_typed, run_typed
from ._typed_program import Plan
from ._typing_text import plan
from ._unsupported import UnsupportedOperation

_COMPARISONS: Final[dict[str, np.ufunc]] = {
    "<": np.less, "<=": np.less_equal, ">": np.greater, ">=": np.greater_equal, "==": np.equal, "!=": np.not_equal,
}  # fmt: skip


def is_string(value: object) -> bool:
    """Whether `value` is a string, an array of strings, or a list of them."""
    if isinstance(value, (list, tuple)):
        return np.asarray(value).dtype.kind in "SU"
    return isinstance(value, (bytes, str, np.bytes_, np.str_)) or getattr(value, "dtype", np.dtype(bool)).kind in "SU"


def _refusal(node: Node) -> UnsupportedOperation:
    what = f"operator '{node.op.removeprefix('u')}'" if node.kind in (UNARY, BINARY) else f"function '{node.op}'"
    return UnsupportedOperation(f"{what} is not defined for strings (only comparisons and contains are)")


class _Lifter:
    """Replaces each comparison of strings in a tree with the name of its
    boolean value, computed by NumPy."""

    def __init__(self, values: Mapping[str, object], checking: bool = False) -> None:
        self.values = values
        #: Whether no comparison is computed: each stands in as booleans of its shape.
        self.checking = checking
        #: The str constants of the text, by id: against bytes they are
        #: bytes, as numexpr reads them.
        self.constants: set[int] = set()
        self.bound: dict[str, object] = {}
        self.made: dict[int, Node | np.ndarray] = {}

    def bind(self, value: np.ndarray) -> Node:
        # A space is in no name a text can read.
        slot = f"string comparison {len(self.bound)}"
        self.bound[slot] = value
        return Node(NAME, value=slot)

    def lift(self, node: Node) -> "Node | np.ndarray":
        """`node` rewritten, or the string array it stands for."""
        if id(node) not in self.made:
            self.made[id(node)] = self.rewrite(node)
        return self.made[id(node)]

    def rewrite(self, node: Node) -> "Node | np.ndarray":
        if node.kind == STRING:
            text = np.asarray(node.value)
            self.constants.add(id(text))
            return text
        if node.kind == NAME:
            value = self.values.get(node.value)
            return np.asarray(value) if is_string(value) else node
        operands = [self.lift(operand) for operand in node.operands]
        strings = [operand for operand in operands if isinstance(operand, np.ndarray)]
        if node.kind == COMPARE and strings:
            if len(strings) != len(operands):
                raise UnsupportedOperation("strings compare with strings only, not with numbers")
            ufuncs = [_COMPARISONS[symbol] for symbol in node.op]
            terms = [self.compare(ufunc, a, b) for ufunc, a, b in zip(ufuncs, strings, strings[1:])]
            return self.bind(functools.reduce(np.logical_and, terms))
        if node.kind == CALL and node.op == "contains":
            if len(strings) != len(operands):
                raise UnsupportedOperation("contains() takes strings, not numbers")
            return self.bind(self.compare(_contains, *strings))
        if strings:
            raise _refusal(node)
        return Node(node.kind, node.op, tuple(operands), node.value)  # type: ignore[arg-type]

    def compare(self, how: Any, a: np.ndarray, b: np.ndarray) -> np.ndarray:
        a, b = self.as_bytes(a, b), self.as_bytes(b, a)
        try:
            shape = np.broadcast_shapes(a.shape, b.shape)
        except ValueError:
            raise ValueError(f"operands could not be broadcast together with shapes {a.shape} {b.shape}") from None
        try:
            if self.checking:
                return np.zeros(shape, bool)
            return np.asarray(how(a, b))
        except TypeError as error:
            raise UnsupportedOperation(str(error)) from None


    def as_bytes(self, value: np.ndarray, other: np.ndarray) -> np.ndarray:
        """`value` as bytes where it is a str constant of the text and
        `other` bytes; else itself."""
        if id(value) in self.constants and value.dtype.kind == "U" and other.dtype.kind == "S":
            try:
                return np.char.encode(value, "ascii")
            except UnicodeEncodeError:
                raise UnsupportedOperation(f"{value.item()!r} is not ASCII, and compares with bytes only as ASCII") from None
        return value


def _contains(haystack: np.ndarray, needle: np.ndarray) -> np.ndarray:
    """Whether each haystack holds its needle."""
    return np.asarray(np.char.find(haystack, needle) >= 0)


def _typed(lifter: _Lifter, root: "Node | np.ndarray", out: object, math: str) -> tuple[Plan, dict[str, object]] | None:
    """The typed program of the lifted tree `root` and the values it reads;
    None for a bare string."""
    if isinstance(root, np.ndarray):
        if out is not None:
            raise UnsupportedOperation("a string result is not written into out")
        return None
    bound = {name: value for name, value in lifter.values.items() if not is_string(value)} | lifter.bound
    read = {name: read_typed(name, value) for name, value in bound.items()}
    kinds = {name: kind for name, (kind, _) in read.items()}
    ints = dict(int_classes(tuple(bound), tuple(bound.values())))
    found = plan(root, kinds, math, ints)
    assert found is not None
    return found, {name: value for name, (_, value) in read.items()}


def run_strings(
    found: Text, values: Mapping[str, object], out: object, order: Order, casting: str, math: str
) -> npt.NDArray[Any]:
    """The text of `found` over `values` (by name) into `out` or a new array."""
    lifter = _Lifter(values)
    root = lifter.lift(found.root)
    typed = _typed(lifter, root, out, math)
    if typed is None:
        # A bare string: its copy, every byte of it.
        return root.copy()  # type: ignore[union-attr]
    return run_typed(*typed, out, order, casting)


def check_strings(found: Text, values: Mapping[str, object], out: object, casting: str) -> None:
    """Raises what `run_strings` would raise before it computes, computing nothing."""
    lifter = _Lifter(values, checking=True)
    typed = _typed(lifter, lifter.lift(found.root), out, "libm")
    if typed is not None:
        check_typed(*typed, out, casting, "validate")
