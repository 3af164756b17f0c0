"""Python ints as NumPy 2 meets them: their classes (the integer types that
hold them), the bits beyond which the text's arithmetic refuses to make them,
and their conversion to a dtype that cannot hold them."""

from collections.abc import Sequence
from typing import Final

import numpy as np


# The limits of NumPy's integer types, from the narrowest.
_INT_MAXES: Final = sorted({int(np.iinfo(code).max) for code in np.typecodes["AllInteger"]})
_INT_MINS: Final = sorted({int(np.iinfo(code).min) for code in np.typecodes["Integer"]}, reverse=True)


def int_class(value: int) -> int:
    """The int of least magnitude, of `value`'s sign, that the same integer
    types hold as `value`."""
    if value >= 0:
        least = 0
        for top in _INT_MAXES:
            if value <= top:
                return least
            least = top + 1
        return least
    least = -1
    for bottom in _INT_MINS:
        if value >= bottom:
            return least
        least = bottom - 1
    return least


def int_classes(names: Sequence[str], values: Sequence[object]) -> tuple[tuple[str, int], ...]:
    """Each name bound to a Python int, with its class: the least int the same
    integer types hold. Two ints of one class compare with integers of any type
    by one program; a comparison with a type that cannot hold them is settled
    whatever the elements are, as NumPy settles it."""
    classes: tuple[tuple[str, int], ...] = ()
    # This runs on every call of a text: most bind no int.
    if int not in map(type, values):
        return classes
    for name, value in zip(names, values):
        if type(value) is int:
            classes += ((name, int_class(value)),)
    return classes


#: The bits of the largest Python int the text's arithmetic makes: float64's
#: range, beyond which NumPy converts an int to none of its types, and
#: Python would spend unbounded time and memory on towers such as 10**10**10.
INT_BITS: Final = 1024


def check_int_bits(op: str | None, operands: Sequence[object]) -> None:
    """NumPy's OverflowError (for the widest type it converts an int to) for
    Python ints the operator `op` (its symbol in text) makes beyond
    `INT_BITS`, raised before Python makes them; `op` None checks the
    `operands` themselves."""
    ints = [value for value in operands if isinstance(value, int)]
    if len(ints) < len(operands):
        return
    if op is None:
        beyond = any(value.bit_length() > INT_BITS for value in ints)
    elif op == "**" or op == "<<":
        base, count = ints
        # A lower bound on the bits of the result: |base| ** count is at
        # least 2 ** ((bits - 1) * count), base << count has bits + count.
        bits = abs(base).bit_length()
        size = (bits - 1) * count if op == "**" else (bits + count if base else 0)
        beyond = size > INT_BITS
    else:
        return
    if beyond:
        raise OverflowError("int too large to convert to float")


def as_array(value: object, dtype: np.dtype) -> np.ndarray:
    """`value` as a 0-d array of `dtype` (any other value as NumPy converts
    it), with NumPy 2's OverflowError for a Python int the dtype cannot hold,
    which NumPy 1 would wrap."""
    if type(value) is int and dtype.kind in "iu":
        limits = np.iinfo(dtype)
        if not limits.min <= value <= limits.max:
            raise OverflowError(f"Python integer {value} out of bounds for {dtype}")
    return np.asarray(value, dtype=dtype)
