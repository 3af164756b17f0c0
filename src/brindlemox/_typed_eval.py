"""Running expression text in its data's own types: the names' values are
read as NumPy reads them, the text is typed for their dtypes (once per text
and dtypes), and the engine walks the arrays where they lie, broadcast and
strided ones included, into the result or into `out` through NumPy's cast.
"""

import functools
from collections.abc import Sequence
from typing import Any, Final, NamedTuple

import numpy as np
import numpy.typing as npt

from _brindlemox import _typed_evaluate

from ._isa import active as active_level
from ._inputs import Layout, Order, broadcast_shape, check_out_shape, read_typed, result_layout, same_memory
from ._options import check_casting
from ._parse import checked
from ._python_ints import as_array, int_classes
from ._typed_program import Plan
from ._typing_text import Kind, plan

_F64: Final = np.dtype(np.float64)

#: Typed programs kept, least recently used dropped first.
PLAN_CACHE_SIZE: Final = 256


@functools.lru_cache(maxsize=PLAN_CACHE_SIZE)
def text_names(text: str) -> tuple[str, ...]:
    """The names `text` reads, in order of first appearance; functions are
    not names. A text of constructs or functions the language lacks raises
    the parser's error, before any name is looked up (and so before any value
    is read)."""
    return checked(text).names


def part_names(text: str, part: int) -> tuple[str, ...]:
    """The names the part of index `part` of `text` reads (see `Text.parts`)."""
    return checked(text).parts[part].names


@functools.lru_cache(maxsize=PLAN_CACHE_SIZE)
def typed_plan(
    text: str,
    kinds: tuple[tuple[str, Kind], ...],
    math: str,
    level: str,
    ints: tuple[tuple[str, int], ...] = (),
    part: int | None = None,
) -> Plan | None:
    """`plan` of `text` (or of its part of index `part`, see `Text.parts`) for
    its names' kinds (and its ints' classes, `int_classes`) in math mode `math`,
    kept for the next call with the same kinds, classes and mode at the same
    instruction level (`_isa()`): its program runs the loops of the level it
    was compiled at. Every typed program of text is requested here."""
    found = checked(text)
    root = found.root if part is None else found.parts[part].root
    return plan(root, dict(kinds), math, dict(ints), bool(found.reductions))


def level_plan(
    text: str,
    kinds: tuple[tuple[str, Kind], ...],
    math: str = "libm",
    ints: tuple[tuple[str, int], ...] = (),
    part: int | None = None,
) -> Plan | None:
    """`typed_plan` at the active instruction level."""
    return typed_plan(text, kinds, math, active_level(), ints, part)


def typed_call(
    text: str, values: Sequence[object], math: str = "libm", part: int | None = None
) -> tuple[Plan, dict[str, object]] | None:
    """The typed program of `text` (or of its part of index `part`) for
    `values` (one per name it reads: `text_names`, `part_names`) in math mode `math`, and the
    values as it reads them; None when the text has reductions it does not
    bind."""
    names = text_names(text) if part is None else part_names(text, part)
    read = [read_typed(name, value) for name, value in zip(names, values)]
    kinds = tuple((name, kind) for name, (kind, _) in zip(names, read))
    found = level_plan(text, kinds, math, int_classes(names, values), part)
    if found is None:
        return None
    return found, {name: value for name, (_, value) in zip(names, read)}


def reduces_float64(text: str, values: Sequence[object]) -> bool:
    """Whether every reduction of `text` (with reductions), over `values` (one
    per name of `text_names`, each float64 data or a Python float or int),
    reduces float64 values, as the float64 kernels reduce them: NumPy sums
    booleans as int64 and takes their min as a bool."""
    kinds = [(name, type(value) if type(value) in (float, int) else _F64) for name, value in zip(text_names(text), values)]
    return _reduces_float64(text, tuple(kinds))


@functools.lru_cache(maxsize=PLAN_CACHE_SIZE)
def _reduces_float64(text: str, kinds: tuple[tuple[str, Kind], ...]) -> bool:
    bound = dict(kinds)
    found = checked(text)
    for part, reduction in enumerate(found.reductions):
        typed = level_plan(text, tuple((name, bound[name]) for name in found.parts[part].names), part=part)
        if typed is None or typed.dtype != np.float64:
            return False
        bound[reduction.value.slot] = typed.dtype
    return True


def float64_out(out: object) -> bool:
    """Whether the float64 kernels write `out` as it is."""
    if out is None:
        return True
    if type(out) is not np.ndarray or out.dtype != np.float64:
        return False
    flags = out.flags
    return (flags.c_contiguous or flags.f_contiguous) and flags.aligned


def _writes_in_place(target: np.ndarray, dtype: np.dtype) -> bool:
    """Whether the engine writes `target` where it lies: a plain, aligned,
    writable array of `dtype`, of any strides that repeat no element."""
    flags = target.flags
    return (
        type(target) is np.ndarray
        and target.dtype == dtype
        and flags.aligned
        and flags.writeable
        and all(stride != 0 for stride, length in zip(target.strides, target.shape) if length > 1)
    )


def check_typed(
    found: Plan, values: dict[str, object], out: object, casting: str, function: str = "evaluate"
) -> tuple[list[np.ndarray], tuple[int, ...]]:
    """Raises what `run_typed` would raise before it computes; the arrays
    among `values` and the shape they broadcast to."""
    named = {name: value for name, value in values.items() if isinstance(value, np.ndarray)}
    arrays = list(named.values())
    shape = broadcast_shape(arrays, list(named))
    if out is not None:
        check_out_shape(out, shape)
        check_casting(function, casting, out, found.dtype)
    return arrays, shape


class Prepared(NamedTuple):
    """A typed call ready for the engine: the inputs and the output as it
    reads and writes them (C order, transposed for a Fortran result), the
    result, and `out` when the result reaches it through a cast."""

    inputs: tuple[np.ndarray, ...]
    target: np.ndarray
    result: np.ndarray
    cast_into: np.ndarray | None


def prepare_typed(found: Plan, values: dict[str, object], out: object, order: Order, casting: str) -> Prepared:
    """Checks a call of the program over `values` into `out` (cast under
    `casting`) or a new array laid out as `order` says, and arranges it."""
    arrays, shape = check_typed(found, values, out, casting)
    if out is not None:
        layout: Layout = "F" if out.flags.f_contiguous and not out.flags.c_contiguous else "C"  # type: ignore[attr-defined]
    else:
        layout = result_layout(arrays, shape, order)
    direct = out is not None and _writes_in_place(out, found.dtype)  # type: ignore[arg-type]
    result: np.ndarray = out if direct else np.empty(shape, found.dtype, order=layout)  # type: ignore[assignment]
    inputs = []
    for name, dtype in found.inputs:
        value = values[name]
        array = value if isinstance(value, np.ndarray) and value.dtype == dtype else as_array(value, dtype)
        if not array.flags.aligned:
            array = array.copy()
        # Only a value read where it is written, element for element, may
        # share the output's memory.
        if direct and np.may_share_memory(array, result) and not (array.shape == shape and same_memory(array, result)):
            array = array.copy()
        inputs.append(array if array.shape == shape else np.broadcast_to(array, shape))
    if layout == "F":
        return Prepared(tuple(array.T for array in inputs), result.T, result, None if direct else out)  # type: ignore[arg-type]
    return Prepared(tuple(inputs), result, result, None if direct else out)  # type: ignore[arg-type]


def finish_typed(prepared: Prepared, ok: bool) -> npt.NDArray[Any]:
    """The value of a prepared call the engine has run (`ok` when every
    element had a value), cast into `out` where it goes there."""
    if not ok:
        raise ValueError("Integers to negative integer powers are not allowed.")
    if prepared.cast_into is not None:
        np.copyto(prepared.cast_into, prepared.result, casting="unsafe")
        return prepared.cast_into
    return prepared.result


def run_typed(
    found: Plan, values: dict[str, object], out: object, order: Order, casting: str
) -> npt.NDArray[Any]:
    """The program over `values` into `out` (cast under `casting`) or a new
    array laid out as `order` says."""
    prepared = prepare_typed(found, values, out, order, casting)
    ok = _typed_evaluate(found.program, prepared.inputs, prepared.target) if prepared.target.size else True
    return finish_typed(prepared, ok)
