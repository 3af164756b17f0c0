"""The one process-wide engine, reached through the extension's stateless facades.

Every facade instance reaches the same pool, compile cache and delivery worker,
so the package keeps one of each for its own calls and users never make one.
"""

from typing import Final

import _brindlemox

# `name as name` re-exports each name for type checkers: the package's modules
# import the classes from here.
from _brindlemox import (
    Buffer as Buffer,
    Channel as Channel,
    Expr as Expr,
    KernelSpec as KernelSpec,
    MapSpec as MapSpec,
    RecvCase as RecvCase,
    ReduceSpec as ReduceSpec,
    TaskHandle as TaskHandle,
    py_select as py_select,
)

kernels: Final = _brindlemox._KernelModule()
runtime: Final = _brindlemox._RuntimeModule()
