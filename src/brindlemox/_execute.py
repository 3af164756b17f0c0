"""Running a compiled kernel over arranged operands into the output array."""

import numpy as np

from ._engine import KernelSpec, kernels, runtime
from ._inputs import F64Array


def run_kernel(spec: KernelSpec, slot_names: tuple[str, ...], operands: list[float | F64Array], out: F64Array) -> None:
    """Writes the kernel's values over `operands` (in slot order, arrays all of
    out's shape and layout) into `out`, which is not empty."""
    bindings: dict[str, object] = {}
    for name, operand in zip(slot_names, operands):
        bindings[name] = operand if type(operand) is float else runtime.asarray(operand.ravel("K"))  # type: ignore[union-attr]
    if all(type(operand) is float for operand in operands):
        bindings[slot_names[0]] = runtime.asarray(np.array([operands[0]]))
    values = runtime.go(kernels.map(spec, **bindings)).result()  # type: ignore[arg-type]
    out.ravel("K")[...] = values.numpy()
