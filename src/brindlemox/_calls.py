"""Calls seen before: how a call of expression text over values of one
signature computes, kept so that the next call of that text over values of
the same signature reads its names, finds its way in one dictionary lookup
and runs the engine, all in the binding (`_seen_text`, `_seen_call`).

A signature (`_call_signature`) holds everything about the values that
changes the answer: the math mode and the instruction level, each array's
dtype (in native byte order), shape and strides, each NumPy scalar's dtype,
and each Python number's type (an int's class, which integer types hold it).
What the signature leaves out, the binding checks on every call and refuses
before it computes (an array's alignment, an `out` that is not the result's
dtype and shape or that shares memory with an input other than element for
element): such a call, and every call the binding does not settle, takes the
full path. The thread count is read by the engine on every run and changes no
bit. A way makes a new result in the layout its inputs have, which is order
"K"'s; a text's ways for another order are kept apart, and only for results of
at most one dimension, which every order lays out alike.
"""

import functools
from collections.abc import Mapping, Sequence
from typing import Final, NamedTuple, TypeAlias

import numpy as np

from _brindlemox import _call_signature, _seen_call, _seen_text, _typed_evaluate

from ._inputs import CODES
from ._options import forbidden
from ._python_ints import as_array
from ._typed_program import Plan

#: Ways of calls kept; all are dropped when it fills (a program that cycles
#: through more signatures than this pays the full path).
CALLS_KEPT: Final = 512

#: The bytes a way is kept under, or None for values only the full path takes
#: (anything but plain arrays, NumPy scalars, and Python floats, ints and
#: complex numbers).
signature = _call_signature
#: The result of the way kept in a dict of ways for a call over values, or None.
seen_call = _seen_call


class Load(NamedTuple):
    """Where an input of a typed program comes from: the call's value at
    `position`, converted to `dtype` when that is not None (a Python number),
    or, at position -1, `fixed` (a constant of a kernel)."""

    position: int
    dtype: np.dtype | None
    fixed: np.ndarray | None = None


class TypedWay(NamedTuple):
    """A typed program over arrays of its loads' dtypes, each C-contiguous
    and of the result's shape, and numbers. The binding runs it, and calls
    `run` when a load converts a Python number."""

    program: object
    dtype: np.dtype
    shape: tuple[int, ...]
    loads: tuple[Load, ...]

    def run(self, values: Sequence[object], out: np.ndarray | None = None) -> np.ndarray | None:
        """The program over `values` into `out` (which the binding has found
        to take it where it lies) or a new array; None, having computed nothing
        or with an element without a value, for the full path to answer."""
        inputs = tuple(
            [
                load.fixed if load.position < 0
                else values[load.position] if load.dtype is None
                else as_array(values[load.position], load.dtype)
                for load in self.loads
            ]
        )  # fmt: skip
        result = np.empty(self.shape, self.dtype) if out is None else out
        try:
            ok = _typed_evaluate(self.program, inputs, result)  # type: ignore[arg-type]
        except TypeError:
            # Refused before anything was computed: an input the engine cannot
            # read where it lies (a misaligned array), which the full path
            # copies, or an `out` of another dtype, which it casts into.
            return None
        return result if ok else None


class Float64Way(NamedTuple):
    """A float64 kernel that reads every value where it lies."""

    compiled: object


Way: TypeAlias = TypedWay | Float64Way

#: By text (and order, when not "K"): its names, and its ways by signature.
_texts: dict[str | tuple[str, str], tuple[tuple[str, ...], dict[bytes, Way]]] = {}
_kept = 0


#: The result of a text in a math mode over its names' values into `out`
#: (or a new array laid out as `order` says), when its way for them has been
#: kept; else None, having written nothing. The names are read where the call
#: of the package function calling it reads them (see `namespaces`):
#: ``seen_text(text, order, mode, local_dict, global_dict, out)``.
seen_text = functools.partial(_seen_text, _texts)


def keep(text: str, order: str, names: tuple[str, ...], key: bytes, way: Way | None, result: np.ndarray) -> None:
    """Keeps `way` for the calls of `text` (which reads `names`) in `order`
    under signature `key` (nothing for None), `result` being its first call's.
    A text sanitizing refuses is not kept: a call seen before is not checked again."""
    global _kept
    if way is None or (order != "K" and result.ndim > 1) or forbidden(text) is not None:
        return
    if _kept >= CALLS_KEPT:
        forget()
    _texts.setdefault(text if order == "K" else (text, order), (names, {}))[1][key] = way
    _kept += 1


def forget() -> None:
    """Drops every way kept: the next call of each takes the full path."""
    global _kept
    _texts.clear()
    _kept = 0


def typed_way(
    found: Plan, positions: Mapping[str, int], values: Sequence[object], bound: Mapping[str, object]
) -> TypedWay | None:
    """The way of the typed program `found` over `values`, the input of each
    name in `positions` at its position there, and the others (a kernel's
    constants) as `bound` holds them; None unless every array among `values`
    is loaded as its own dtype, C-contiguous, aligned and of one non-empty
    shape (the full path arranges the others)."""
    arrays = [value for value in values if type(value) is np.ndarray]
    if not arrays:
        return None
    shape = arrays[0].shape
    for array in arrays:
        flags = array.flags
        if array.shape != shape or not flags.c_contiguous or not flags.aligned or array.size == 0:
            return None
    loads = []
    for name, dtype in found.inputs:
        position = positions.get(name)
        if position is None:
            fixed = as_array(bound[name], dtype)
            if fixed.ndim != 0:
                return None
            loads.append(Load(-1, None, fixed))
            continue
        value = values[position]
        if type(value) is not np.ndarray:
            loads.append(Load(position, dtype))
        elif value.dtype == dtype and dtype in CODES:
            loads.append(Load(position, None))
        else:
            return None
    return TypedWay(found.program, found.dtype, shape, tuple(loads))
