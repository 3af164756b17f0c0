"""validate(): the exception an `evaluate` call would raise, found without
computing anything."""

from collections.abc import Mapping
from typing import Any

import numpy.typing as npt

from ._compiled import compile_any, compile_text, kept, last_call, values_of
from ._engine import Expr
from ._kernel import Kernel
from ._math import resolve_math
from ._namespaces import lookup, namespaces
from ._options import DEFAULT_CASTING, DEFAULT_ORDER, check_casting, check_options, check_sanitized
from ._parse import checked
from ._reducing import Compiled, check_compiled
from ._route import Route, route_text
from ._strings import check_strings, is_string
from ._typed_eval import check_typed, text_names


def validate(
    ex: str | Expr | Kernel,
    local_dict: Mapping[str, object] | None = None,
    global_dict: Mapping[str, object] | None = None,
    out: npt.NDArray[Any] | None = None,
    order: str = DEFAULT_ORDER,
    casting: str = DEFAULT_CASTING,
    sanitize: bool | None = None,
    math: str | None = None,
    **kwargs: object,
) -> Exception | None:
    """The exception `evaluate` would raise with these arguments, or None.

    Nothing is computed and `out` is not written. When the call is sound, its
    expression becomes the one `re_evaluate` runs in this thread.

    Parameters
    ----------
    ex, local_dict, global_dict, out, order, casting, sanitize, math, **kwargs
        As `evaluate` takes them.

    Returns
    -------
    Exception or None
        The exception `evaluate` would raise, or None when it would succeed.

    Examples
    --------
    >>> import numpy as np, brindlemox as bm
    >>> x = np.array([1.0, 2.0])
    >>> bm.validate("x + 1") is None
    True
    >>> bm.validate("x + z")
    NameError("name 'z' is not defined")
    >>> bm.validate("x + 1", out=np.zeros(3))
    ValueError('out has shape (3,) but the result has shape (2,)')
    """
    try:
        checked_order, cached = check_options("validate", out, order, casting, kwargs)
        mode = resolve_math(math)
        local_dict, global_dict = namespaces(local_dict, global_dict)
        last: str | Compiled
        if isinstance(ex, str):
            last = str(ex)
            check_sanitized(last, sanitize)
            names = text_names(last)
            values = lookup(names, local_dict, global_dict)
            found = checked(last)
            strings = found.strings or any(is_string(value) for value in values)
            route, typed = (None, None) if strings else route_text(last, values, out, mode)
            if strings:
                check_strings(found, dict(zip(names, values)), out, casting)
            elif route is Route.TYPED:
                assert typed is not None
                check_typed(*typed, out, casting, "validate")
            else:
                compiled = compile_text(last) if cached else compile_text.__wrapped__(last)
                _check_float64(compiled, local_dict, global_dict, out, casting)
        else:
            last = compiled = compile_any(ex, cached)
            _check_float64(compiled, local_dict, global_dict, out, casting)
    except Exception as error:
        return error
    if cached:
        last_call.call = (last, kept(out), checked_order, casting, mode)
    return None


def _check_float64(
    compiled: Compiled, local_dict: Mapping[str, object], global_dict: Mapping[str, object], out: object, casting: str
) -> None:
    values = values_of(compiled, local_dict, global_dict)
    if type(compiled) is Kernel:
        compiled.check(values, out, casting)
        return
    if out is not None:
        check_casting("validate", casting, out)
    check_compiled(compiled, values, out)
