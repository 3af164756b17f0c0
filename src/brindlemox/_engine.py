"""The one process-wide engine, reached through the extension's stateless facades.

Every facade instance reaches the same pool, compile cache and delivery worker,
so the package keeps one of each for its own calls and users never make one.
"""

from typing import Final

import _brindlemox
from _brindlemox import (
    Buffer,
    Channel,
    Expr,
    KernelSpec,
    MapSpec,
    RecvCase,
    ReduceSpec,
    TaskHandle,
    py_select,
)

kernels: Final = _brindlemox._KernelModule()
runtime: Final = _brindlemox._RuntimeModule()

__all__ = [
    "Buffer",
    "Channel",
    "Expr",
    "KernelSpec",
    "MapSpec",
    "RecvCase",
    "ReduceSpec",
    "TaskHandle",
    "kernels",
    "py_select",
    "runtime",
]
