"""evaluate(): one line from expression text and NumPy arrays to a NumPy array;
re_evaluate() runs the last one of this thread again on the values its names
have now."""

import functools
from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING, Any, cast, overload

import numpy as np
import numpy.typing as npt

from ._calls import Float64Way, keep, seen_text, signature, typed_way
from ._compiled import compile_any, compile_text, kept, last_call, values_of
from ._engine import Expr
from ._inputs import Order
from ._kernel import Kernel
from ._math import resolve_math
from ._namespaces import lookup, namespaces
from ._options import DEFAULT_CASTING, DEFAULT_ORDER, ORDERS, RULES, check_casting, check_options, check_sanitized
from ._parse import checked
from ._reducing import run_compiled, run_reducing_typed
from ._route import Route, integration, route_text
from ._strings import is_string, run_strings
from ._typed_eval import run_typed, text_names

if TYPE_CHECKING:
    from ._route import DaskArray


def _run_text(
    text: str,
    local_dict: Mapping[str, object],
    global_dict: Mapping[str, object],
    out: object,
    order: Order,
    casting: str,
    cached: bool,
    math: str,
) -> npt.NDArray[Any]:
    """`text` over the values of its names, in their own types, in math mode
    `math`, where `route_text` sends it."""
    if isinstance(out, np.ndarray) and out.shape == (1,):
        # A partial, not a lambda: a closure would make every call of this
        # function keep its arguments in cells, and read them more slowly.
        compute = functools.partial(_run_text, text, local_dict, global_dict, None, order, casting, cached, math)
        result = _into_one(compute, out, casting)
        if cached:
            last_call.call = (text, kept(out), order, casting, math)
        return result
    names = text_names(text)
    values = lookup(names, local_dict, global_dict)
    key = signature(values, math) if cached else None
    found = checked(text)
    if found.strings:
        return run_strings(found, dict(zip(names, values)), out, order, casting, math)
    try:
        route, typed = route_text(text, values, out, math)
    except TypeError:
        if any(is_string(value) for value in values):
            return run_strings(found, dict(zip(names, values)), out, order, casting, math)
        raise
    if cached:
        last_call.call = (text, kept(out), order, casting, math)
    if route is Route.TYPED:
        assert typed is not None
        result = run_typed(*typed, out, order, casting)
        if key is not None:
            way = typed_way(typed[0], dict(zip(names, range(len(names)))), values, typed[1])
            keep(text, order, names, key, way, result)
        return result
    if route is Route.DASK:
        return integration().apply_text(text, names, values, out, math)  # type: ignore[no-any-return]
    if route is Route.REDUCING:
        return run_reducing_typed(text, dict(zip(names, values)), out, order, casting, math)
    # Every value float64 (or reductions in the text): the float64 kernels,
    # where they read every value in place; broadcast, strided and
    # misaligned values are read where they lie by the typed program, which
    # gives float64 the same bits.
    compiled = compile_text(text) if cached else compile_text.__wrapped__(text)
    if out is not None:
        check_casting("evaluate", casting, out)
    if type(compiled) is Kernel:
        if compiled._names != names:
            values = values_of(compiled, local_dict, global_dict)
        # The engine lays a new result out like its inputs, which is order
        # "K"'s, and every order's for arrays of at most one dimension.
        if order == "K" or out is not None or all(np.ndim(cast(npt.ArrayLike, value)) <= 1 for value in values):
            in_place = compiled.run_in_place(values, out)
            if in_place is not None:
                if key is not None and compiled._names == names and compiled._slots is None:
                    keep(text, order, names, key, Float64Way(compiled._compiled), in_place)
                return in_place
        if typed is not None:
            return run_typed(*typed, out, order, casting)
        return compiled.run(values, out, order)
    return run_compiled(compiled, values_of(compiled, local_dict, global_dict), out, order)


# Only names given as Dask arrays are seen to be Dask arrays: with the caller's variables, or
# arrays and numbers together, the type checker sees the NumPy case.
@overload
def evaluate(  # type: ignore[overload-overlap]
    ex: str | Expr | Kernel,
    local_dict: Mapping[str, "DaskArray"],
    global_dict: Mapping[str, object] | None = None,
    out: None = None,
    order: str = DEFAULT_ORDER,
    casting: str = DEFAULT_CASTING,
    sanitize: bool | None = None,
    math: str | None = None,
    **kwargs: object,
) -> "DaskArray": ...
@overload
def evaluate(
    ex: str | Expr | Kernel,
    local_dict: Mapping[str, object] | None = None,
    global_dict: Mapping[str, object] | None = None,
    out: npt.NDArray[Any] | None = None,
    order: str = DEFAULT_ORDER,
    casting: str = DEFAULT_CASTING,
    sanitize: bool | None = None,
    math: str | None = None,
    **kwargs: object,
) -> npt.NDArray[Any]: ...
def evaluate(
    ex: str | Expr | Kernel,
    local_dict: Mapping[str, object] | None = None,
    global_dict: Mapping[str, object] | None = None,
    out: npt.NDArray[Any] | None = None,
    order: str = DEFAULT_ORDER,
    casting: str = DEFAULT_CASTING,
    sanitize: bool | None = None,
    math: str | None = None,
    **kwargs: object,
) -> "npt.NDArray[Any] | DaskArray":
    """The array of an elementwise expression over arrays and numbers, in NumPy's types.

    Expression text computes in the data's own types: the result has the
    dtype NumPy gives for the same line of Python over the same values
    (NumPy 2's rules: Python numbers are weak), and NumPy's values. An `Expr`
    or a `Kernel` computes as the line of Python that built it would, with
    the numbers written in it as they were given (see `Kernel`).

    Every argument is checked before anything is computed: a bad one raises
    and leaves `out` as it was.

    Parameters
    ----------
    ex
        Expression text in Python syntax (operators ``+ - * / ** // %``,
        comparisons, ``& | ^ ~ << >>``, and functions such as ``where``,
        ``sqrt``, ``exp``, ``clip``), or an `Expr`, or a `Kernel`.
    local_dict, global_dict
        Where names are looked up, in this order. When both are None, the
        caller's local and global variables are used; with `local_dict` alone,
        names it lacks are looked up in the caller's global variables.
    out
        A writable array of the result's shape, of any numeric dtype and any
        strides, written in place (through `casting`) and returned; it may be
        one of the inputs. An `out` of shape ``(1,)`` also takes a 0-d
        result. `evaluate` keeps no reference to it.
    order
        The memory layout of a new result: ``'K'`` (the default) that of the
        inputs, ``'A'`` Fortran order when the inputs are all in Fortran
        order, ``'C'`` or ``'F'`` always that order.
    casting
        NumPy's rule (``'no'``, ``'equiv'``, ``'safe'``, ``'same_kind'``,
        ``'unsafe'``) for casting the result to `out`'s dtype; a cast the rule
        forbids is a TypeError.
    sanitize
        As numexpr's: when True (or None with ``NUMEXPR_SANITIZE=1`` in the
        environment), a dunder name, or text that is no expression
        (``import os;``), is a ValueError before it is parsed. The text is
        never run by the interpreter either way: it is parsed against a list
        of allowed constructs, which refuses attributes other than ``.real``
        and ``.imag``, subscripts and ``lambda`` by itself.
    math
        How expression text computes its transcendental functions (``exp``,
        ``sin``, ``arctan2``, ``**`` of floats, ...) over float32 and float64:
        ``"libm"``, the platform's own functions as NumPy calls them, or
        ``"fast"``, vectorised functions within 1 ulp of the correctly
        rounded result, with the same bits on every processor and thread
        count. None (the default) takes `get_math_mode`'s mode.
    **kwargs
        numexpr's ``optimization`` and ``truediv`` are accepted with their
        values checked, and change nothing: ``/`` is always true division. ``disable_cache=True`` neither uses nor fills
        the cache of compiled texts, and keeps nothing for `re_evaluate`. Any
        other keyword is a TypeError.

    Returns
    -------
    numpy.ndarray
        A new array of the broadcast shape of the inputs (0-d when there are
        no arrays), or `out`. Comparisons give booleans. With a Dask array
        among the inputs, a lazy Dask array.

    Raises
    ------
    SyntaxError
        For text that is not a Python expression.
    ValueError
        For syntax or functions the language does not have, shapes that do
        not broadcast, an `out` of another shape, or an integer to a
        negative integer power.
    OverflowError
        For a Python int the type it meets cannot hold, as NumPy's.
    NameError
        For a name found in neither namespace.
    RuntimeError
        For ``math="fast"`` where this process lacks it (see `math_modes`).
    TypeError
        For data other than booleans, integers, floats and complex numbers,
        an operation NumPy has no loop for on the operands' types, a bad
        `out` or `casting`, or an unknown keyword.

    Examples
    --------
    >>> import numpy as np, brindlemox as bm
    >>> x = np.array([1.0, 2.0, 3.0]); y = 10.0
    >>> bm.evaluate("2*x + y")
    array([12., 14., 16.])
    >>> bm.evaluate("x * y", {"x": np.ones((2, 2))}, order="F").flags.f_contiguous
    True
    >>> bm.evaluate("(flags & 4) != 0", {"flags": np.array([6, 1, 4, 0])})
    array([ True, False,  True, False])
    """
    # A call of known words for `order` and `casting` and no further keyword
    # (the usual one) is checked in line; the others by check_options.
    if not kwargs and type(order) is str and order in ORDERS and type(casting) is str and casting in RULES:
        checked_order: Order = order  # type: ignore[assignment]
        cached = True
    else:
        checked_order, cached = check_options("evaluate", out, order, casting, kwargs)
    mode = resolve_math(math)
    # A text seen before runs the way found then, in the binding, over its
    # names read where this call reads them; the first call of each text and
    # signature, and the calls the binding does not settle, go the full way.
    if cached and type(ex) is str:
        result: npt.NDArray[Any] | None = seen_text(ex, checked_order, mode, local_dict, global_dict, out)
        if result is not None:
            last_call.call = (ex, None if out is None else kept(out), checked_order, casting, mode)
            return result
    local_dict, global_dict = namespaces(local_dict, global_dict)
    if isinstance(ex, str):
        check_sanitized(str(ex), sanitize)
        return _run_text(str(ex), local_dict, global_dict, out, checked_order, casting, cached, mode)
    if isinstance(out, np.ndarray) and out.shape == (1,):
        compute = functools.partial(
            evaluate, ex, local_dict, global_dict, None, checked_order, casting, sanitize, mode, **kwargs
        )
        return _into_one(compute, out, casting)
    compiled = compile_any(ex, cached)
    if cached:
        last_call.call = (compiled, kept(out), checked_order, casting, mode)
    if type(compiled) is Kernel:
        return compiled.run(lookup(compiled._names, local_dict, global_dict), out, checked_order, casting, mode)
    if out is not None:
        check_casting("evaluate", casting, out)
    return run_compiled(compiled, values_of(compiled, local_dict, global_dict), out, checked_order)


def _into_one(compute: Callable[[], npt.ArrayLike], out: npt.NDArray[Any], casting: str) -> npt.NDArray[Any]:
    """A call into an `out` of one element, which also takes a 0-d result,
    as numexpr fills it: computed by `compute`, then written there through `casting`."""
    result = np.asarray(compute())
    if result.shape not in ((), (1,)):
        raise ValueError(f"out has shape (1,) but the result has shape {result.shape}")
    check_casting("evaluate", casting, out, result.dtype)
    if not out.flags.writeable:
        raise ValueError("out is read-only")
    np.copyto(out, result.reshape(1), casting="unsafe")
    return out


def re_evaluate(
    local_dict: Mapping[str, object] | None = None, global_dict: Mapping[str, object] | None = None
) -> npt.NDArray[Any]:
    """The last expression `evaluate` (or `validate`) compiled in this thread,
    run again with the values its names have now.

    Names are looked up as `evaluate` looks them up; the `out` and `order` of
    that call are used again.

    Parameters
    ----------
    local_dict, global_dict : mapping, optional
        Where names are looked up, as `evaluate` looks them up.

    Returns
    -------
    numpy.ndarray
        The result, as `evaluate` returns it.

    Raises
    ------
    RuntimeError
        When this thread has compiled nothing yet.

    Examples
    --------
    >>> import numpy as np, brindlemox as bm
    >>> x = np.array([1.0, 2.0])
    >>> bm.evaluate("x * 10")
    array([10., 20.])
    >>> x = np.array([3.0])
    >>> bm.re_evaluate()
    array([30.])
    >>> bm.re_evaluate({"x": np.array([0.5])})
    array([5.])
    """
    call = last_call.call
    if call is None:
        raise RuntimeError("re_evaluate() needs an expression that evaluate() or validate() compiled in this thread")
    compiled, kept, order, casting, math = call
    # An `out` its owner has dropped since: the result is a new array.
    out = None if kept is None else kept()
    result: npt.NDArray[Any] | None = (
        seen_text(compiled, order, math, local_dict, global_dict, out) if type(compiled) is str else None
    )
    if result is not None:
        return result
    local_dict, global_dict = namespaces(local_dict, global_dict)
    if isinstance(compiled, str):
        return _run_text(compiled, local_dict, global_dict, out, order, casting, True, math)
    if type(compiled) is Kernel:
        return compiled.run(values_of(compiled, local_dict, global_dict), out, order, casting, math)
    return run_compiled(compiled, values_of(compiled, local_dict, global_dict), out, order)
