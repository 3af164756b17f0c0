"""brindlemox: elementwise expressions over NumPy arrays on a parallel C++ engine.

``import brindlemox as bm`` gives `evaluate` (expression text and arrays in, a
float64 array out), expression building (`arg`, `args`, `where`, `sqrt`, ...),
compiled kernels (`kernel`), array reductions (`sum`, `mean`, `min`, `max`),
and the asynchronous engine (`asarray`, `go`, `chan`, `select`, `RecvCase`).
The extension module `_brindlemox` is the layer beneath.
"""

from _brindlemox import __version__

from . import _pickle
from ._build import (
    abs,
    arctan2,
    arg,
    args,
    atan2,
    ceil,
    clip,
    cos,
    exp,
    floor,
    isfinite,
    isinf,
    isnan,
    log,
    log2,
    log10,
    maximum,
    minimum,
    pow,
    round,
    sign,
    sin,
    sqrt,
    tan,
    trunc,
    where,
    where_,
)
from ._engine import Buffer, Channel, Expr, KernelSpec, MapSpec, RecvCase, ReduceSpec, TaskHandle
from ._evaluate import evaluate
from ._kernel import Kernel, kernel
from ._reduce import max, mean, min, sum
from ._runtime import asarray, chan, go, select
from ._threads import get_num_threads, set_num_threads

_pickle.register()

__all__ = [
    "__version__",
    "evaluate",
    "kernel",
    "Kernel",
    "arg",
    "args",
    "where",
    "where_",
    "sqrt",
    "abs",
    "exp",
    "log",
    "log2",
    "log10",
    "floor",
    "ceil",
    "round",
    "sin",
    "cos",
    "tan",
    "arctan2",
    "atan2",
    "minimum",
    "maximum",
    "min",
    "max",
    "pow",
    "clip",
    "isnan",
    "isfinite",
    "isinf",
    "trunc",
    "sign",
    "sum",
    "mean",
    "get_num_threads",
    "set_num_threads",
    "asarray",
    "go",
    "chan",
    "select",
    "Buffer",
    "Channel",
    "Expr",
    "KernelSpec",
    "MapSpec",
    "RecvCase",
    "ReduceSpec",
    "TaskHandle",
]
