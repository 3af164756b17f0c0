"""Kernel: a compiled elementwise kernel called on arrays, made from an `Expr`
or traced from a Python function."""

import inspect
from collections.abc import Callable, Sequence
from typing import Any, Final

import numpy as np
import numpy.typing as npt

from _brindlemox import _compile_uncached, _evaluate_into

from ._build import constant_like, to_operand
from ._dask_dispatch import any_dask_array, dask_apply_kernel
from ._engine import Buffer, Expr, KernelSpec, MapSpec, kernels
from ._inputs import F64Array, Order, arrange, check_operands
from ._math import check_math
from ._runtime import to_buffer

_MISSING: Final = object()


class Kernel:
    """A compiled elementwise kernel, called on arrays and numbers.

    Made by `kernel`. Its parameters are `names`; a call binds them by
    position or keyword, broadcasts the arrays and returns a new float64 array
    (or writes `out`), as `evaluate` does.

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

    __slots__ = ("_compiled", "_expr", "_math", "_names", "_spec", "_slot_names", "_slots")

    def __init__(self, expr: Expr, names: tuple[str, ...] | None = None, *, math: str | None = None) -> None:
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
        self._math = None if math is None else check_math(math)

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
        """
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

    def __call__(self, *args: object, out: object = None, **kwargs: object) -> npt.NDArray[np.float64]:
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
            given, of that shape and layout); None otherwise.

        Examples
        --------
        >>> import numpy as np, brindlemox as bm
        >>> add = bm.kernel(bm.arg("x") + bm.arg("y"))
        >>> add.run_in_place([np.array([1.0, 2.0]), 10.0], None)
        array([11., 12.])
        >>> add.run_in_place([np.arange(4.0)[::2], 10.0], None) is None
        True
        """
        operands = self._operands(values)
        return _evaluate_into(self._compiled, operands, out)

    def run(self, values: Sequence[object], out: object, order: Order = "K") -> F64Array:
        """The kernel over `values` (one per parameter, in order) into `out` or
        a new array laid out as `order` says.

        Calling the kernel comes here once its arguments are bound.

        Parameters
        ----------
        values : sequence
            One array or number per parameter, in the order of `names`.
        out : numpy.ndarray or None
            A float64 array of the result's shape to write, or None.
        order : {'K', 'A', 'C', 'F'}, optional
            The layout of a new result, as `evaluate` takes it.

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
        operands = self._operands(values)
        # Contiguous float64 arrays of one shape and layout (and floats) are
        # read in place as they are; anything else is arranged first. The
        # engine lays a new result out like its inputs, which is order "K".
        if order == "K" or out is not None:
            result = _evaluate_into(self._compiled, operands, out)
            if result is not None:
                return result
        if any_dask_array(values):
            return dask_apply_kernel(self, values, out)  # type: ignore[no-any-return]
        arranged, result, _ = arrange(self._slot_names, list(operands), out, order)
        # A result of numbers alone still has its one element to compute.
        if result.size:
            # The engine writes only plain arrays; an ndarray subclass as out
            # is written through a plain view of its memory.
            target = result if type(result) is np.ndarray else result.view(np.ndarray)
            if _evaluate_into(self._compiled, tuple(arranged), target) is None:
                raise RuntimeError("internal error: the engine refused the operands the package arranged for it")
        return result

    def check(self, values: Sequence[object], out: object) -> None:
        """Raises what `run` would raise for `values` and `out` before it
        computes anything, and computes nothing.

        Parameters
        ----------
        values : sequence
            One array or number per parameter, in the order of `names`.
        out : numpy.ndarray or None
            The array `run` would write, or None.

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
        if any_dask_array(values):
            return
        operands = list(self._operands(values))
        check_operands(self._slot_names, operands, out)


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
