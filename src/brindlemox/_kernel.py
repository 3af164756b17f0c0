"""Kernel: a compiled elementwise kernel called on arrays, made from an `Expr`
or traced from a Python function."""

import inspect
from collections.abc import Callable, Sequence
from typing import Any, Final

import numpy as np
import numpy.typing as npt

from _brindlemox import _compile_uncached, _evaluate_into, _expr_record, _isa

from ._build import constant_like, to_operand
from ._engine import Buffer, Expr, KernelSpec, MapSpec, kernels
from ._inputs import F64Array, Order, arrange, check_operands, read_typed
from ._options import check_casting
from ._kernel_text import KernelText, kernel_text
from ._math import check_math, resolve_math
from ._route import Route, integration, route_kernel
from ._runtime import to_buffer
from ._typed_eval import check_typed, level_plan, run_typed, text_names
from ._typing_text import Kind, Plan, int_classes

_MISSING: Final = object()

#: Typed programs a kernel keeps, by the kinds of its values.
_PLANS_KEPT: Final = 64


class Kernel:
    """A compiled elementwise kernel, called on arrays and numbers.

    Made by `kernel`. Its parameters are `names`; a call binds them by
    position or keyword, broadcasts the arrays and returns a new array (or
    writes `out`, cast as `evaluate` casts), as `evaluate` does: the result
    has the dtype and values NumPy gives for the same line of Python over the
    same arrays and numbers. The numbers written in the expression keep their
    kind: ``x * 2`` of an int64 array is int64, ``x * 2.0`` float64, and a
    NumPy scalar keeps its dtype. Every value float64 computes with the
    float64 kernel's bits.

    An expression built otherwise than by the operators of `Expr` and the
    functions of this package (by the extension's own functions) computes in
    float64, as the extension does. One that cannot be typed (nested too
    deeply for Python's parser, or reading an argument that is not a
    parameter) computes float64 data only, and refuses any other.

    Parameters
    ----------
    expr : Expr
        The expression the kernel computes.
    names : tuple of str, optional
        The parameters, in the order a call takes them by position; by
        default the expression's arguments in creation order. Each argument of
        the expression must be one of them; a parameter it never reads is
        accepted and ignored.
    math : {"libm", "fast"}, optional
        The math mode of its calls, as `evaluate` takes it; by default the
        one current at each call (`get_math_mode`).

    Raises
    ------
    ValueError
        When a name is repeated, or the expression uses an argument that is
        not a parameter.
    RuntimeError
        For ``math="fast"`` where this process lacks it (see `math_modes`).
    TypeError
        When a name is not a str.

    Examples
    --------
    >>> import brindlemox as bm
    >>> x, y = bm.args("x", "y")
    >>> hypot = bm.kernel(bm.sqrt(x * x + y * y))
    >>> hypot([3.0], y=[4.0])
    array([5.])
    """

    __slots__ = ("_arg_names", "_compiled", "_constants", "_expr", "_math", "_names", "_plans", "_spec", "_slot_names",
                 "_slots", "_text", "_untyped")  # fmt: skip

    def __init__(self, expr: Expr, names: tuple[str, ...] | None = None, *, math: str | None = None) -> None:
        self._math = None if math is None else check_math(math)
        self._compile(expr, names)
        self._set_text(_typed_text(expr, self._names))
        # Built by the package, yet not typed: it must not compute other data
        # in float64 as if that were NumPy's answer.
        self._untyped = self._text is None and _expr_record(expr) is not None

    def _compile(self, expr: Expr, names: tuple[str, ...] | None) -> None:
        """The float64 kernel of `expr` with parameters `names`."""
        temp_args = expr.get_temp_args()
        slot_names = tuple(temp_args[temp_id] for temp_id in sorted(temp_args))
        self._spec = kernels.elementwise(expr)
        # Kept to travel by: pickling sends the expression and the names and
        # builds the kernel again, so that nothing else needs checking.
        self._expr = expr
        self._slot_names = slot_names
        self._names = slot_names if names is None else _checked_names(names)
        for name in slot_names:
            if name not in self._names:
                raise ValueError(f"the expression uses argument '{name}', which is not a parameter")
        slots = tuple(self._names.index(name) for name in slot_names)
        self._slots = None if slots == tuple(range(len(self._names))) else slots
        # The kernel's own compiled form, freed with it: the process-wide
        # cache keeps every kernel it ever compiled, and a stream of distinct
        # expressions would fill it without bound.
        self._compiled = _compile_uncached(self._spec)

    @property
    def math(self) -> str | None:
        """The math mode given to `kernel`, or None to take the current one at each call.

        Examples
        --------
        >>> import brindlemox as bm
        >>> print(bm.kernel(bm.arg("x") + 1).math)
        None
        """
        return self._math

    def _set_text(self, text: KernelText | None) -> None:
        """Types the kernel by `text` (see `kernel_text`); None computes in float64."""
        self._text = text
        #: The typed programs of the kinds of values calls have read, by kinds, classes of ints, math mode and level.
        self._plans: dict[tuple[tuple[Kind, ...], tuple[tuple[str, int], ...], str, str], Plan] = {}
        self._arg_names = () if text is None else tuple(f"_a{position}" for position in range(len(text.parameters)))
        self._constants = {} if text is None else {name: read_typed(name, value)[1] for name, value in text.constants}

    @property
    def names(self) -> tuple[str, ...]:
        """The parameter names, in the order a call takes them by position.

        Examples
        --------
        >>> import brindlemox as bm
        >>> bm.kernel(bm.arg("x") + bm.arg("y")).names
        ('x', 'y')
        """
        return self._names

    @property
    def spec(self) -> KernelSpec:
        """The `KernelSpec` the kernel runs, for the extension's calls.

        Examples
        --------
        >>> import brindlemox as bm
        >>> type(bm.kernel(bm.arg("x") + 1).spec).__name__
        'KernelSpec'
        """
        return self._spec

    def map(self, **bindings: Buffer | float | npt.ArrayLike) -> MapSpec:
        """The `MapSpec` binding the kernel's arguments, for `go`.

        A binding is a `Buffer`, a number, or a NumPy array (or list), which is
        copied into a new `Buffer` as `asarray` does.

        Parameters
        ----------
        **bindings : Buffer or float or array_like
            One value per parameter, by name.

        Returns
        -------
        MapSpec
            The binding, which `go` runs.

        Examples
        --------
        >>> import numpy as np, brindlemox as bm
        >>> double = bm.kernel(2 * bm.arg("x"))
        >>> bm.go(double.map(x=np.ones(2))).result()
        array([2., 2.])

        A `MapSpec` computes in float64: values for which a call computes
        another type (integer arrays, or a comparison's booleans as the
        result) are a TypeError; `go` with the kernel and its values computes
        those. Comparisons inside a float64 kernel, read as where()
        conditions, by the bitwise functions or as numbers, map.
        """
        self._check_float64({name: np.empty(0) if isinstance(value, Buffer) else value
                            for name, value in bindings.items()})  # fmt: skip
        # A parameter the expression never reads is accepted and ignored, as
        # a call does; a name that is no parameter is left for `go` to refuse.
        converted: dict[str, Any] = {
            name: to_buffer(name, value) if isinstance(value, (np.ndarray, list, tuple)) else value
            for name, value in bindings.items()
            if name in self._slot_names or name not in self._names
        }
        return kernels.map(self._spec, **converted)

    def __repr__(self) -> str:
        return f"Kernel({', '.join(self._names)})"

    def _check_float64(self, bindings: dict[str, object]) -> None:
        """TypeError unless a call over `bindings` (values by parameter name)
        computes in float64 with a float64 result, as a `MapSpec` does."""
        if self._text is None or any(self._names[index] not in bindings for index in self._text.parameters):
            return
        values = [bindings.get(name) for name in self._names]
        try:
            route, typed = self._route(values, None)
        except TypeError:
            # Values of no numeric type: refused in the words of their conversion.
            return
        if route is Route.TYPED:
            assert typed is not None
            raise TypeError(
                "a MapSpec computes in float64, and a call of this kernel over these values computes in other "
                f"types (its result is {typed[0].dtype}): call the kernel, or go() with the kernel and its values"
            )

    @property
    def typed(self) -> bool:
        """Whether the kernel computes in its values' types (see `Kernel`);
        else in float64.

        Examples
        --------
        >>> import brindlemox as bm
        >>> bm.kernel(bm.arg("x") > 0).typed
        True
        """
        return self._text is not None

    def _plan(self, kinds: Sequence[Kind], math: str = "libm", ints: tuple[tuple[str, int], ...] = ()) -> Plan:
        """The typed program of the kernel in math mode `math` for values of
        `kinds`, one for each parameter its text reads (in the order of its
        `parameters`), each a dtype or a Python number's type, and of `ints`,
        the classes of those bound to Python ints (`int_classes`)."""
        assert self._text is not None
        named = list(zip(self._arg_names, kinds))
        named += [(name, read_typed(name, value)[0]) for name, value in self._text.constants]
        found = level_plan(self._text.text, tuple(named), math, True, ints)
        assert found is not None
        return found

    def _typed_call(self, values: Sequence[object], math: str | None = None) -> tuple[Plan, dict[str, object]] | None:
        """The typed program over `values` (one per parameter, in the order
        of `names`) and the values as it reads them; None for a kernel that
        computes in float64."""
        read = self._typed_read(values, math)
        return None if read is None else self._bound(read)

    def _refuse_other_than_float64(self, values: Sequence[object]) -> None:
        for name, value in zip(self._names, values):
            dtype = getattr(value, "dtype", None)
            if dtype is not None and dtype != np.float64:
                raise TypeError(
                    f"argument '{name}' has dtype {dtype}, and this kernel computes float64 data only: its "
                    "expression could not be typed as NumPy types it (it is nested too deeply for Python's parser, "
                    "or reads an argument that is no parameter)"
                )

    def _bound(self, read: tuple[Plan, list[object]]) -> tuple[Plan, dict[str, object]]:
        """The program and its values by name, from `_typed_read`."""
        plan, values = read
        bound = dict(zip(self._arg_names, values))
        bound.update(self._constants)
        return plan, bound

    def _typed_read(self, values: Sequence[object], math: str | None = None) -> tuple[Plan, list[object]] | None:
        """The typed program over `values` and the values the text reads, in
        its order, as it reads them; None as for `typed_call`."""
        text = self._text
        if text is None:
            if self._untyped:
                self._refuse_other_than_float64(values)
            return None
        names = self._names
        read = [read_typed(names[index], values[index]) for index in text.parameters]
        kinds = tuple([kind for kind, _ in read])
        ints = int_classes(self._arg_names, [values[index] for index in text.parameters])
        mode = resolve_math(self._math if math is None else math)
        # A program runs the loops of the instruction level it was compiled at.
        key = (kinds, ints, mode, _isa())
        found = self._plans.get(key)
        if found is None:
            found = self._plan(kinds, mode, ints)
            if len(self._plans) >= _PLANS_KEPT:
                self._plans.clear()
            self._plans[key] = found
        return found, [value for _, value in read]

    def _route(
        self, values: Sequence[object], out: object, math: str | None = None
    ) -> tuple[Route, tuple[Plan, dict[str, object]] | None]:
        """Where a call over `values` into `out` computes (see `route_kernel`)."""
        return route_kernel(values, out, lambda: self._typed_call(values, math))

    def __call__(self, *args: object, out: object = None, **kwargs: object) -> npt.NDArray[Any]:
        names = self._names
        if not kwargs and len(args) == len(names):
            return self.run(args, out)
        if len(args) > len(names):
            raise TypeError(f"kernel takes {len(names)} arguments but {len(args)} were given")
        values = list(args) + [_MISSING] * (len(names) - len(args))
        for name, value in kwargs.items():
            if name not in names:
                raise TypeError(f"kernel got an unexpected keyword argument '{name}'")
            index = names.index(name)
            if values[index] is not _MISSING:
                raise TypeError(f"kernel got multiple values for argument '{name}'")
            values[index] = value
        missing = [name for name, value in zip(names, values) if value is _MISSING]
        if missing:
            listed = ", ".join(f"'{name}'" for name in missing)
            raise TypeError(f"kernel missing {len(missing)} required argument{'s' if len(missing) > 1 else ''}: {listed}")
        return self.run(values, out)

    def _operands(self, values: Sequence[object]) -> tuple[object, ...]:
        """The values the expression reads, in its arguments' order."""
        return tuple(values) if self._slots is None else tuple(values[index] for index in self._slots)

    def run_in_place(self, values: Sequence[object], out: object) -> F64Array | None:
        """The kernel over `values` into `out` or a new array laid out as its
        inputs are, when the engine reads every value where it lies; else
        None, and nothing is written.

        Parameters
        ----------
        values : sequence
            One array or number per parameter, in the order of `names`.
        out : numpy.ndarray or None
            A float64 array of the result's shape to write, or None.

        Returns
        -------
        numpy.ndarray or None
            `out`, or the new result, when every value is a number or a
            contiguous float64 array of one shape and layout (and `out`, if
            given, of that shape and layout) and the kernel's result over
            them is float64; None otherwise.

        Examples
        --------
        >>> import numpy as np, brindlemox as bm
        >>> add = bm.kernel(bm.arg("x") + bm.arg("y"))
        >>> add.run_in_place([np.array([1.0, 2.0]), 10.0], None)
        array([11., 12.])
        >>> add.run_in_place([np.arange(4.0)[::2], 10.0], None) is None
        True
        >>> bm.kernel(bm.arg("x") > 0).run_in_place([np.ones(2)], None) is None
        True
        """
        if self._route(values, out)[0] is not Route.FLOAT64:
            return None
        return _evaluate_into(self._compiled, self._operands(values), out)

    def run(
        self,
        values: Sequence[object],
        out: object,
        order: Order = "K",
        casting: str = "same_kind",
        math: str | None = None,
    ) -> npt.NDArray[Any]:
        """The kernel over `values` (one per parameter, in order) into `out`
        (cast under `casting`) or a new array laid out as `order` says.

        Calling the kernel comes here once its arguments are bound.

        Parameters
        ----------
        values : sequence
            One array or number per parameter, in the order of `names`.
        out : numpy.ndarray or None
            An array of the result's shape to write, or None.
        order : {'K', 'A', 'C', 'F'}, optional
            The layout of a new result, as `evaluate` takes it.
        casting : str, optional
            NumPy's rule for casting the result to `out`'s dtype.
        math : {"libm", "fast"}, optional
            The math mode of this call; by default the kernel's own, else
            the current one.

        Returns
        -------
        numpy.ndarray or dask.array.Array
            `out`, or the new result; a lazy Dask array when a value is one.

        Examples
        --------
        >>> import brindlemox as bm
        >>> add = bm.kernel(bm.arg("x") + bm.arg("y"))
        >>> add.run([[1.0, 2.0], 10.0], None)
        array([11., 12.])
        """
        route, typed = self._route(values, out, math)
        if route is Route.DASK:
            return integration().apply_kernel(self, values, out)  # type: ignore[no-any-return]
        if route is Route.TYPED:
            assert typed is not None
            return run_typed(*typed, out, order, casting)
        operands = self._operands(values)
        # Contiguous float64 arrays of one shape and layout (and floats) are
        # read in place as they are by the float64 kernel; the typed program
        # reads any other layout where it lies, with the same bits; a kernel
        # computed in float64 arranges them first. The engine lays a new
        # result out like its inputs, which is order "K".
        if order == "K" or out is not None:
            result = _evaluate_into(self._compiled, operands, out)
            if result is not None:
                return result
        if typed is not None:
            return run_typed(*typed, out, order, casting)
        arranged, result, _ = arrange(self._slot_names, list(operands), out, order)
        # A result of numbers alone still has its one element to compute.
        if result.size:
            # The engine writes only plain arrays; an ndarray subclass as out
            # is written through a plain view of its memory.
            target = result if type(result) is np.ndarray else result.view(np.ndarray)
            if _evaluate_into(self._compiled, tuple(arranged), target) is None:
                raise RuntimeError("internal error: the engine refused the operands the package arranged for it")
        return result

    def check(self, values: Sequence[object], out: object, casting: str = "same_kind") -> None:
        """Raises what `run` would raise for `values` and `out` before it
        computes anything, and computes nothing.

        Parameters
        ----------
        values : sequence
            One array or number per parameter, in the order of `names`.
        out : numpy.ndarray or None
            The array `run` would write, or None.
        casting : str, optional
            NumPy's rule for casting the result to `out`'s dtype.

        Raises
        ------
        TypeError, ValueError
            What `run` would raise: data of an unsupported type, shapes that
            do not broadcast, an `out` that does not fit.

        Examples
        --------
        >>> import numpy as np, brindlemox as bm
        >>> add = bm.kernel(bm.arg("x") + bm.arg("y"))
        >>> add.check([[1.0, 2.0], 10.0], np.zeros(3))
        Traceback (most recent call last):
        ...
        ValueError: out has shape (3,) but the result has shape (2,)
        """
        route, typed = self._route(values, out)
        if route is Route.DASK:
            return
        if route is Route.TYPED:
            assert typed is not None
            check_typed(*typed, out, casting)
            return
        check_operands(self._slot_names, list(self._operands(values)), out)
        if out is not None:
            check_casting("evaluate", casting, out)


def _typed_text(expr: Expr, names: tuple[str, ...]) -> KernelText | None:
    """The text a kernel of parameters `names` over `expr` is typed by; None
    for an expression whose building is not recorded, one that was built
    reading an argument that is no parameter (which `where` of a constant
    condition drops), or one nested too deeply for Python's parser: those
    compute in float64."""
    record = _expr_record(expr)
    if record is None:
        return None
    try:
        found = kernel_text(record, {name: index for index, name in enumerate(names)})
        text_names(found.text, shared=True)
    except (KeyError, SyntaxError, RecursionError, MemoryError):
        return None
    return found


def float64_kernel(expr: Expr, names: tuple[str, ...] | None = None, math: str | None = None) -> Kernel:
    """`Kernel(expr, names, math=math)` computing in float64 whatever its
    operands, as the float64 expression text does."""
    made = Kernel.__new__(Kernel)
    made._math = None if math is None else check_math(math)
    made._compile(expr, names)
    made._set_text(None)
    made._untyped = False
    return made


def _checked_names(names: Sequence[str]) -> tuple[str, ...]:
    """`names` as a tuple of parameter names, each a different str."""
    checked: list[str] = []
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"parameter names must be str, not {type(name).__name__}")
        checked.append(str(name))
    if len(set(checked)) != len(checked):
        repeated = next(name for index, name in enumerate(checked) if name in checked[:index])
        raise ValueError(f"parameter '{repeated}' is named twice")
    return tuple(checked)


def kernel(expr_or_function: Expr | Callable[..., object], *, math: str | None = None) -> Kernel:
    """A compiled elementwise kernel from an `Expr` or a Python function.

    From an `Expr`, the parameters are its arguments in creation order. A
    function is traced once, called with one argument `Expr` per parameter,
    named after it; it must build its result with operators and the functions
    of this package.

    Parameters
    ----------
    expr_or_function : Expr or callable
        The expression, or a function of positional parameters to trace.
    math : {"libm", "fast"}, optional
        The math mode of the kernel's calls (see `evaluate`); by default the
        one current at each call.

    Returns
    -------
    Kernel
        The compiled kernel.

    Raises
    ------
    TypeError
        For anything else, or a function with no parameter or with other
        kinds of them.

    Examples
    --------
    >>> import brindlemox as bm
    >>> @bm.kernel
    ... def hypot(x, y):
    ...     return bm.sqrt(x * x + y * y)
    >>> hypot.names
    ('x', 'y')
    >>> hypot([3.0, 5.0], [4.0, 12.0])
    array([ 5., 13.])

    Conditions combine with `bitwise_and`, `bitwise_or`, `bitwise_xor` and
    `invert` (the text's ``&``, ``|``, ``^`` and ``~``), as in NumPy:

    >>> import numpy as np
    >>> bm.kernel(lambda n: bm.bitwise_and(n > 0, bm.invert(n > 9)))(np.array([-1, 5, 12]))
    array([False,  True, False])
    """
    if type(expr_or_function) is Expr:
        return Kernel(expr_or_function, math=math)
    if not callable(expr_or_function):
        raise TypeError(f"kernel() expects an Expr or a function, not {type(expr_or_function).__name__}")
    parameters = inspect.signature(expr_or_function).parameters.values()
    plain = (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD)
    if any(parameter.kind not in plain for parameter in parameters):
        raise TypeError("kernel() can only trace functions whose parameters are all positional")
    names = tuple(parameter.name for parameter in parameters)
    if not names:
        raise TypeError("kernel() needs a function with at least one parameter")
    arguments = kernels.args(*names)
    traced = to_operand(expr_or_function(*arguments))
    if type(traced) is not Expr:
        traced = constant_like(arguments[0], traced)
    return Kernel(traced, names, math=math)
