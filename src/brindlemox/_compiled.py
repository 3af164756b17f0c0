"""What a call of `evaluate` or `validate` compiles (kept per text), and the
last such call of each thread, which `re_evaluate` runs again."""

import functools
import threading
import weakref
from collections.abc import Mapping
from typing import Any, Final

import numpy as np

from ._engine import Expr
from ._inputs import Order
from ._kernel import Kernel, float64_kernel
from ._namespaces import lookup
from ._parse import parse
from ._reducing import Compiled, ReducingKernel

#: Expression texts whose compiled form is kept, least recently used dropped first.
TEXT_CACHE_SIZE: Final = 256


@functools.lru_cache(maxsize=TEXT_CACHE_SIZE)
def compile_text(text: str) -> Compiled:
    """The kernel of `text`, or the number it folds to when it names nothing."""
    parsed = parse(text)
    if parsed.reductions:
        return ReducingKernel(parsed)
    return float64_kernel(parsed.value) if isinstance(parsed.value, Expr) else parsed.value


def compile_any(ex: object, cached: bool) -> Compiled:
    """The kernel (or number) `ex` stands for."""
    if type(ex) is str:
        text = ex
    elif isinstance(ex, str):
        text = str(ex)
    elif type(ex) is Expr:
        return Kernel(ex)
    elif type(ex) is Kernel:
        return ex
    else:
        raise TypeError(f"evaluate() expects an expression text, an Expr or a Kernel, not {type(ex).__name__}")
    return compile_text(text) if cached else compile_text.__wrapped__(text)


def values_of(
    compiled: Compiled, local_dict: Mapping[str, object], global_dict: Mapping[str, object]
) -> tuple[object, ...]:
    """The values of the names `compiled` reads (none for a number)."""
    if isinstance(compiled, (Kernel, ReducingKernel)):
        return lookup(compiled._names, local_dict, global_dict)
    return ()


class LastCall(threading.local):
    """What `re_evaluate` runs again in this thread: the text (or compiled
    expression), and the `out` (a weak reference: the caller's array is
    theirs to drop), `order`, `casting` and math mode of the last call that
    compiled it."""

    call: tuple[str | Compiled, "weakref.ref[Any] | None", Order, str, str] | None = None


last_call = LastCall()


def kept(out: object) -> "weakref.ref[Any] | None":
    """How the last call holds `out`: weakly (anything but an array is
    refused by the call itself)."""
    return weakref.ref(out) if isinstance(out, np.ndarray) else None
