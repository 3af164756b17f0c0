"""brindlemox: elementwise expressions over NumPy arrays on a parallel C++ engine.

``import brindlemox as bm`` gives `evaluate` (expression text and arrays in, a
float64 array out, with numexpr's `validate` and `re_evaluate` beside it),
the thread count (`set_num_threads`, `num_threads`, ...), the math mode
(`math_mode`, `set_math_mode`, `get_math_mode`, `math_modes`: the platform's libm or fast
vectorised functions), expression building (`arg`, `args`, `where`, `sqrt`, ...),
compiled kernels (`kernel`), array reductions (`sum`, `prod`, `mean`, `min`, `max`),
and numexpr's `NumExpr`, `print_versions` and VML switches (which do nothing:
VML is not used), and the asynchronous side: `go` starts work on the engine and returns a `Task`
(a `concurrent.futures.Future` that coroutines can await), `chan` makes a
`Channel` of arrays for threads and coroutines, and `select` waits on
channels and tasks together.
The extension module `_brindlemox` is the layer beneath.
"""

import builtins as _builtins

from _brindlemox import __version__

from . import _pickle, _registry, _route, _threads
from ._build import arg, args

# Every elementwise function (`sqrt`, `where`, `arctan2`, ...): `_functions`
# lists them, one entry each, and only them.
from ._functions import *  # noqa: F403
from ._channels import Channel, ChannelClosed, chan
from ._engine import Buffer, Expr, KernelSpec, MapSpec, ReduceSpec, TaskHandle
from ._evaluate import evaluate, re_evaluate
from ._validate import validate
from ._kernel import Kernel
from ._math import get_math_mode, math_mode, math_modes, set_math_mode
from ._numexpr_api import (
    NumExpr, get_vml_version, print_versions, set_vml_accuracy_mode, set_vml_num_threads, use_vml,
)  # fmt: skip
from ._reduce import max, mean, min, prod, sum
from ._runtime import asarray
from ._select import RecvCase, select, select_async
from ._trace import kernel
from ._tasks import Task, go
from ._unsupported import UnsupportedOperation
from ._threads import MAX_THREADS, detect_number_of_cores, get_num_threads, num_threads, set_num_threads



def _dask() -> _route.Lazy:
    """The Dask integration, imported when the first Dask array is met: the
    package reaches it from here, above it, and nothing beneath imports it."""
    from . import dask

    return dask


_pickle.register()
_route.reach(_dask)
_threads.apply_environment()

#: The CPUs this process may run on, when the package was imported.
ncores = detect_number_of_cores()

__all__ = [
    "__version__",
    "evaluate",
    "validate",
    "re_evaluate",
    "math_mode",
    "set_math_mode",
    "get_math_mode",
    "math_modes",
    "kernel",
    "Kernel",
    "arg",
    "args",
    "min",
    "max",
    "sum",
    "prod",
    "mean",
    "get_num_threads",
    "set_num_threads",
    "num_threads",
    "detect_number_of_cores",
    "ncores",
    "MAX_THREADS",
    "asarray",
    "go",
    "chan",
    "select",
    "select_async",
    "Task",
    "ChannelClosed",
    "Buffer",
    "Channel",
    "Expr",
    "KernelSpec",
    "MapSpec",
    "RecvCase",
    "ReduceSpec",
    "TaskHandle",
    "UnsupportedOperation",
    "NumExpr",
    "print_versions",
    "use_vml",
    "get_vml_version",
    "set_vml_accuracy_mode",
    "set_vml_num_threads",
]
__all__ += _registry.FUNCTIONS
# A star import leaves Python's builtins alone: `sum`, `min`, `max`, `abs`,
# `round` and `pow` work on arrays here, with other results, and stay
# attributes only (`bm.sum`).
__all__ = [name for name in __all__ if not hasattr(_builtins, name)]
