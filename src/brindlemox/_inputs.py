"""Checking and arranging user data: for typed evaluation and reductions,
each value keeps its own dtype (`read_typed`); for the float64 kernels it
becomes a float64 array or a float, the arrays are broadcast to one shape and
put in one memory layout (C or Fortran), and the output array is checked or
made.

Contiguous float64 arrays already in the common layout pass through without a
copy; other real dtypes are converted once; broadcast operands are
materialised; an operand that only partly overlaps `out` is copied.
"""

import itertools
from typing import Final, Literal

import numpy as np
import numpy.typing as npt

from _brindlemox import _DTYPES

F64Array = npt.NDArray[np.float64]
Layout = Literal["C", "F"]
#: How a new result is laid out: like its inputs ("K"), Fortran when all of
#: them are ("A"), or always C or always Fortran order.
Order = Literal["K", "A", "C", "F"]

_F64: Final = np.dtype(np.float64)
_REAL_KINDS: Final = frozenset("biuf")
_BOOL: Final = np.dtype(np.bool_)
_WEAK: Final = (int, float, complex)

#: The engine's code of every element type it computes with.
CODES: Final[dict[np.dtype, int]] = {np.dtype(name): code for code, name in enumerate(_DTYPES)}


def to_operand(name: str, value: object) -> float | F64Array:
    """`value` as a float (numbers and 0-d arrays) or a float64 array.

    Anything `numpy.asarray` accepts is taken, except masked arrays (it would
    drop their masks); bool, integer and floating-point data are converted to
    float64, anything else is TypeError naming `name`.
    """
    kind = type(value)
    if kind is float or kind is int or kind is bool:
        return float(value)  # type: ignore[arg-type]
    if kind is not np.ndarray and isinstance(value, np.ma.MaskedArray):
        raise TypeError(f"argument '{name}' is a masked array; pass its data with the masked elements filled in")
    array: np.ndarray = value if kind is np.ndarray else np.asarray(value)  # type: ignore[assignment]
    dtype = array.dtype
    if dtype is not _F64:
        if dtype.kind not in _REAL_KINDS:
            raise TypeError(f"argument '{name}' has unsupported dtype {dtype}; expected bool, integer or float data")
        if dtype != _F64:
            array = array.astype(_F64)
    if array.ndim == 0:
        return float(array)
    return array


def read_typed(name: str, value: object) -> tuple[np.dtype | type, object]:
    """How typing sees `value` (a dtype, or a Python number's type), and
    `value` as an array of a dtype the engine computes with (native byte
    order) where it is not a Python number; TypeError naming `name` for data
    of any other kind."""
    kind = type(value)
    if kind in _WEAK:
        return kind, value
    if kind is bool:
        return _BOOL, np.asarray(value)
    if kind is not np.ndarray and isinstance(value, np.ma.MaskedArray):
        raise TypeError(f"argument '{name}' is a masked array; pass its data with the masked elements filled in")
    array: np.ndarray = value if kind is np.ndarray else np.asarray(value)  # type: ignore[assignment]
    dtype = array.dtype
    if dtype not in CODES:
        native = dtype.newbyteorder("=")
        if dtype.kind not in "biufc" or native not in CODES:
            raise TypeError(
                f"argument '{name}' has unsupported dtype {dtype}; expected bool, integer, float or complex data"
            )
        array, dtype = array.astype(native), native
    return dtype, array


def to_flat(name: str, value: object) -> F64Array:
    """The elements of `value` in C order, as `to_operand` converts them, in a
    one-dimensional, aligned float64 array: `value`'s own memory when it
    already holds them so, else a copy."""
    operand = to_operand(name, value)
    if isinstance(operand, float):
        return np.array([operand])
    flat = operand.ravel()
    return flat if flat.flags.aligned else flat.copy()


def check_out_shape(out: object, shape: tuple[int, ...]) -> np.ndarray:
    """`out` if it is a writable NumPy array of `shape`; otherwise TypeError
    (not an array) or ValueError."""
    if not isinstance(out, np.ndarray) or (type(out) is not np.ndarray and isinstance(out, np.ma.MaskedArray)):
        raise TypeError(f"out must be a NumPy array, not {type(out).__name__}")
    if out.shape != shape:
        raise ValueError(f"out has shape {out.shape} but the result has shape {shape}")
    if not out.flags.writeable:
        raise ValueError("out is read-only")
    return out


def check_out(out: object, shape: tuple[int, ...]) -> F64Array:
    """`out` if it can take a result of `shape`: a writable, contiguous float64
    array of that shape; otherwise TypeError (wrong type or dtype) or ValueError."""
    if isinstance(out, np.ndarray) and out.dtype != _F64:
        raise TypeError(f"out must have dtype float64, not {out.dtype}")
    checked = check_out_shape(out, shape)
    flags = checked.flags
    if not (flags.c_contiguous or flags.f_contiguous):
        raise ValueError("out must be C- or Fortran-contiguous")
    if not flags.aligned:
        raise ValueError("out must be aligned for float64")
    return checked


def same_memory(a: np.ndarray, b: np.ndarray) -> bool:
    """True when a and b (of one shape) see the same elements at the same places."""
    return bool(a.__array_interface__["data"][0] == b.__array_interface__["data"][0] and a.strides == b.strides)


def _stride_order(array: np.ndarray) -> Layout | None:
    """The order `array`'s strides run in, as NumPy's "K" reads them: over the
    axes of more than one element that it does not broadcast along, "F" when
    they grow, "C" when they shrink, None when either fits (one such axis at
    most); an array whose strides run in neither order is read as "C"."""
    strides = [abs(stride) for stride, length in zip(array.strides, array.shape) if length > 1 and stride != 0]
    if len(strides) <= 1:
        return None
    return "F" if all(inner < outer for inner, outer in itertools.pairwise(strides)) else "C"


def result_layout(arrays: list[np.ndarray], shape: tuple[int, ...], order: Order) -> Layout:
    """The layout `order` picks for a new result of `shape` over `arrays`: for
    "K" Fortran order when the strides of every array of the result's shape
    run in Fortran order (or in either) and those of one only in it; for "A"
    when every array of more than one element is Fortran-contiguous and one is
    not also C-contiguous; C order otherwise."""
    if order == "C" or order == "F":
        return order
    fortran = False
    for array in arrays:
        if array.size <= 1:
            continue
        if order == "K":
            if array.shape != shape:
                continue
            runs = _stride_order(array)
            if runs == "C":
                return "C"
            fortran = fortran or runs == "F"
            continue
        flags = array.flags
        if not flags.f_contiguous:
            return "C"
        fortran = fortran or not flags.c_contiguous
    return "F" if fortran else "C"


def broadcast_shapes(shapes: list[tuple[int, ...]], names: list[str]) -> tuple[int, ...]:
    """The shape `shapes` (of the values of `names`) broadcast to; ValueError
    in NumPy's words, which names them, where they do not."""
    try:
        return np.broadcast_shapes(*shapes)
    except ValueError:
        listed = " ".join(str(shape) for shape in shapes)
        raise ValueError(
            f"operands could not be broadcast together with shapes {listed} (of {', '.join(names)})"
        ) from None


def broadcast_shape(arrays: list[np.ndarray], names: list[str]) -> tuple[int, ...]:
    """The shape `arrays` (the values of `names`) broadcast to (() for
    none), with `broadcast_shapes`' error."""
    shapes = [array.shape for array in arrays]
    if not shapes:
        return ()
    if shapes.count(shapes[0]) == len(shapes):
        return shapes[0]
    return broadcast_shapes(shapes, names)


def _operands(
    names: tuple[str, ...], values: list[object]
) -> tuple[list[float | F64Array], list[F64Array], tuple[int, ...]]:
    """The converted operands, the arrays among them, and the broadcast shape."""
    operands = [to_operand(name, value) for name, value in zip(names, values)]
    named = [(name, operand) for name, operand in zip(names, operands) if isinstance(operand, np.ndarray)]
    arrays = [operand for _, operand in named]
    return operands, arrays, broadcast_shape(arrays, [name for name, _ in named])


def check_operands(names: tuple[str, ...], values: list[object], out: object) -> None:
    """Raises what `arrange` would raise for these operands and `out`, and
    allocates nothing."""
    _, _, shape = _operands(names, values)
    if out is not None:
        check_out(out, shape)


def arrange(
    names: tuple[str, ...], values: list[object], out: object, order: Order = "K"
) -> tuple[list[float | F64Array], F64Array, Layout]:
    """The operands of one call, ready for the engine, and the output array.

    Array operands come back of the result's shape and contiguous in the
    returned layout, which is the output's: `out`'s, else the one `order`
    picks. One-element arrays come back as floats when the result has more
    elements. An empty result comes back with no operands: there is nothing to
    compute. Shapes that cannot broadcast raise NumPy's ValueError.
    """
    operands, arrays, shape = _operands(names, values)
    if out is None:
        layout = result_layout(arrays, shape, order)
        result: F64Array = np.empty(shape, order=layout)
    else:
        result = check_out(out, shape)
        layout = "C" if result.flags.c_contiguous else "F"
    if result.size == 0:
        return [], result, layout

    contiguous = "c_contiguous" if layout == "C" else "f_contiguous"
    arranged: list[float | F64Array] = []
    for operand in operands:
        if not isinstance(operand, np.ndarray):
            arranged.append(operand)
            continue
        array = operand
        if array.size == 1 and result.size > 1:
            arranged.append(float(array.reshape(-1)[0]))
            continue
        if array.shape != shape:
            array = np.array(np.broadcast_to(array, shape), order=layout)
        elif not getattr(array.flags, contiguous) or not array.flags.aligned:
            array = array.copy(order=layout)
        elif out is not None and array is not result and np.may_share_memory(array, result):
            if not same_memory(array, result):
                array = array.copy(order=layout)
        arranged.append(array)
    return arranged, result, layout
