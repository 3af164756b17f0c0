"""The functions of the text that the typing builds by hand, not from one of
NumPy's ufuncs: NumPy's `real`, `imag`, `round`, `clip`, `where`, `copy` and
`ones_like`, and `complex(re, im)`."""

from collections.abc import Callable
from typing import Final, Protocol

import numpy as np

from _brindlemox import _TYPED_OPS

from ._inputs import CODES
from ._typed_program import APPLY, Typed, Value, WeakName, kind_of, representative
from ._unsupported import UnsupportedOperation



class Typer(Protocol):
    """What these functions ask of the typing of a tree."""

    def note(self, dtype: np.dtype) -> np.dtype: ...
    def constant(self, value: object, dtype: np.dtype) -> Typed: ...
    def constant_of(self, value: object) -> Typed: ...
    def strong(self, value: Value) -> Typed: ...
    def as_type(self, value: Value, dtype: np.dtype) -> Typed: ...
    def apply(self, ufunc: np.ufunc, operands: list[Value]) -> Typed: ...
    def where(self, cond: Value, a: Value, b: Value) -> Value: ...


def _copy(typer: Typer, operands: list[Value]) -> Value:
    return operands[0]


def _part(value: Typed, name: str) -> Typed:
    """The real or imaginary part of a complex value, NumPy's `real` and
    `imag`, which are no ufuncs."""
    dtype = np.empty(0, value.dtype).real.dtype
    return Typed((value.code, (APPLY, _TYPED_OPS[name], CODES[value.dtype], 0)), dtype)


def _real(typer: Typer, operands: list[Value]) -> Value:
    value = typer.strong(operands[0])
    return _part(value, "real") if value.dtype.kind == "c" else value


def _imag(typer: Typer, operands: list[Value]) -> Value:
    value = typer.strong(operands[0])
    if value.dtype.kind == "c":
        return _part(value, "imag")
    return typer.constant(0, value.dtype)


def complex_of(typer: Typer, operands: list[Value]) -> Value:
    """`complex(re, im)`: each part as it is, in the complex type of the
    parts' common type, whose engine operation pairs their real parts."""
    numbers = (int, float)
    if all(type(value) in numbers for value in operands):
        return typer.constant_of(complex(*operands))  # type: ignore[arg-type]
    if any(kind_of(value) is complex or getattr(kind_of(value), "kind", "") == "c" for value in operands):
        raise UnsupportedOperation("complex() takes real parts, not complex values")
    dtype = typer.note(np.result_type(*(representative(value) for value in operands), 1j))
    parts = [typer.as_type(value, dtype) for value in operands]
    return Typed((*(part.code for part in parts), (APPLY, _TYPED_OPS["complex"], CODES[dtype], 0)), dtype)


def _round(typer: Typer, operands: list[Value]) -> Value:
    """NumPy's `round`: integers are their own value, of their own type;
    anything else rounds half to even, as `rint`."""
    value = operands[0]
    if isinstance(value, (Typed, WeakName)) and np.dtype(kind_of(value)).kind in "iu":
        return typer.strong(value)
    if type(value) is int:
        return typer.strong(value)
    if isinstance(value, (int, float, complex)):
        return typer.constant_of(np.rint(value))
    return typer.apply(np.rint, [value])


def _ones_like(typer: Typer, operands: list[Value]) -> Value:
    return typer.constant(1, typer.strong(operands[0]).dtype)


def _clip(typer: Typer, operands: list[Value]) -> Value:
    x, lo, hi = operands
    return typer.apply(np.minimum, [typer.apply(np.maximum, [typer.strong(x), lo]), hi])


def _where(typer: Typer, operands: list[Value]) -> Value:
    return typer.where(*operands)


#: The functions typed by hand, by name.
SPECIAL: Final[dict[str, Callable[[Typer, list[Value]], Value]]] = {
    "copy": _copy,
    "real": _real,
    "imag": _imag,
    "ones_like": _ones_like,
    "round": _round,
    "clip": _clip,
    "where": _where,
}
