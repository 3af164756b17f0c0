"""The engine's typed programs: their instructions, the values a program
computes as the typed walk holds them, how a value's nested code is laid out
as one program, and `Plan`, a compiled program with what it says about its
result."""

from typing import Final, NamedTuple

import numpy as np

_BOOL: Final = np.dtype(np.bool_)

#: The instruction kinds of the engine's typed programs.
CONSTANT, LOAD, CAST, APPLY, WHERE, REPEAT = range(6)

Instr = tuple[int, int, int, int]

#: A value's instructions in post-order: instructions, and the codes of its
#: operands before them, nested as built (joining them is then constant
#: time, whatever the length of the text); `laid_out` lays them out.
Code = tuple["Instr | Code", ...]


class Typed(NamedTuple):
    """A value the program computes: its instructions and dtype."""

    code: Code
    dtype: np.dtype


class WeakName(NamedTuple):
    """A name bound to a Python number, whose type is settled by what it meets."""

    name: str
    kind: type[int] | type[float] | type[complex]


Value = Typed | WeakName | int | float | complex


def kind_of(value: Value) -> np.dtype | type:
    """How NumPy's type resolution is told of `value`."""
    if isinstance(value, Typed):
        return value.dtype
    if isinstance(value, WeakName):
        return value.kind
    # A Python bool is weak as well, and as the lowest kind it promotes as
    # NumPy's bool does.
    return _BOOL if type(value) is bool else type(value)


def representative(value: Value) -> np.dtype | int | float | complex:
    """`value` as `numpy.result_type` takes it: a dtype, or for a Python
    number a zero of its type, whose type NumPy 1 promotes as NumPy 2 does
    any value of it."""
    if isinstance(value, Typed):
        return value.dtype
    if isinstance(value, WeakName):
        return value.kind(0)
    return type(value)(0)


class Plan(NamedTuple):
    """A typed program: the engine's compiled form, the result's dtype, and
    the inputs it loads, each a name and the dtype it is loaded as."""

    program: object
    dtype: np.dtype
    inputs: tuple[tuple[str, np.dtype], ...]
    #: Whether the result is float64, every value float64 or a bool made and
    #: read only as the float64 kernels make and read their 1.0 and 0.0 (see
    #: `_typing_text`), and no fast-math loop computes one: the float64
    #: kernels compute those with the same bits.
    only_float64: bool
    #: Whether a fast-math loop computes some value.
    fast: bool


def laid_out(code: Code) -> list[Instr]:
    """The instructions of `code` in order, walked without recursion: a text
    nests as deep as it is long. A value's code met again (the same object:
    a value the text shares) is a Repeat of the step that made it, so a
    shared value is computed once however often it is read."""
    flat: list[Instr] = []
    steps = 0
    #: The step whose value each code laid out so far is, by the code's id
    #: (the value of a code is that of its last item).
    made: dict[int, int] = {}
    last = -1
    stack = [(code, iter(code))]
    while stack:
        for item in stack[-1][1]:
            if type(item[0]) is int:
                flat.append(item)
                last, steps = steps, steps + 1
            elif id(item) in made:
                last = made[id(item)]
                flat.append((REPEAT, 0, 0, last))
            else:
                stack.append((item, iter(item)))  # type: ignore[arg-type]
                break
        else:
            done, _ = stack.pop()
            made[id(done)] = last
    return flat
