"""The operators of expression text, by their symbols (see `_text`): what
Python makes of numbers alone, and the NumPy function that types and
computes each over arrays."""

import operator
from collections.abc import Callable
from typing import Final

import numpy as np

from ._python_ints import check_int_bits

#: Each operator of the text, by its symbol (see `_text`): what Python makes
#: of numbers alone, and the NumPy function that types and computes it over arrays.
OPERATORS: Final[dict[str, tuple[Callable[..., object], np.ufunc]]] = {
    "+": (operator.add, np.add),
    "-": (operator.sub, np.subtract),
    "*": (operator.mul, np.multiply),
    "/": (operator.truediv, np.divide),
    "**": (operator.pow, np.power),
    "%": (operator.mod, np.remainder),
    "//": (operator.floordiv, np.floor_divide),
    "&": (operator.and_, np.bitwise_and),
    "|": (operator.or_, np.bitwise_or),
    "^": (operator.xor, np.bitwise_xor),
    "<<": (operator.lshift, np.left_shift),
    ">>": (operator.rshift, np.right_shift),
    "u-": (operator.neg, np.negative),
    "~": (operator.invert, np.invert),
    "<": (operator.lt, np.less),
    "<=": (operator.le, np.less_equal),
    ">": (operator.gt, np.greater),
    ">=": (operator.ge, np.greater_equal),
    "==": (operator.eq, np.equal),
    "!=": (operator.ne, np.not_equal),
}
_PYTHON: Final = {op: python for op, (python, _) in OPERATORS.items()}
UNARY_UFUNCS: Final = {op: OPERATORS[op][1] for op in ("u-", "~")}
COMPARE_UFUNCS: Final = {op: OPERATORS[op][1] for op in ("<", "<=", ">", ">=", "==", "!=")}
BINARY_UFUNCS: Final = {op: ufunc for op, (_, ufunc) in OPERATORS.items() if op not in UNARY_UFUNCS and op not in COMPARE_UFUNCS}

ORDERINGS: Final = frozenset(COMPARE_UFUNCS.values())
#: The operations to and on bools that the float64 kernels compute alike on
#: the 1.0 and 0.0 they hold for True and False; NumPy's other arithmetic on
#: bools is logic (True + True is True), theirs is not.
ONES_AND_ZEROS: Final = ORDERINGS | {np.bitwise_and, np.bitwise_or, np.bitwise_xor, np.invert}


def python_value(symbol: str, operands: list[int | float | complex]) -> int | float | complex | None:
    """Python's value of the operator `symbol` (of the text) on Python
    numbers alone; None where Python has none (1 // 0), which NumPy then
    gives. Raises NumPy's OverflowError for an int beyond `INT_BITS`."""
    check_int_bits(symbol, operands)
    try:
        folded: int | float | complex = _PYTHON[symbol](*operands)  # type: ignore[assignment]
    except (ArithmeticError, ValueError):
        return None
    check_int_bits(None, [folded])
    return folded
