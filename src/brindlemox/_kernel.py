"""Kernel: a compiled elementwise kernel called on arrays, made from an `Expr`
or traced from a Python function (`kernel`)."""

from collections.abc import Sequence
from typing import Any, Final

import numpy as np
import numpy.typing as npt

from _brindlemox import _compile_uncached, _evaluate_into, _expr_record

from ._calls import Float64Way, seen_call, signature, typed_way
from ._engine import Buffer, Expr, KernelSpec, MapSpec, kernels
from ._inputs import F64Array, Order, arrange, check_operands
from ._kernel_typing import KernelTyping, typed_tree
from ._math import check_math, resolve_math
from ._options import check_casting
from ._route import Route, integration
from ._runtime import to_buffer
from ._typed_eval import check_typed, run_typed

_MISSING: Final = object()


class Kernel(KernelTyping):
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

    __slots__ = ("_compiled", "_expr", "_math", "_names", "_spec", "_slot_names", "_slots")

    def __init__(self, expr: Expr, names: tuple[str, ...] | None = None, *, math: str | None = None) -> None:
        self._math = None if math is None else check_math(math)
        self._compile(expr, names)
        self._set_tree(typed_tree(expr, self._names))
        # Built by the package, yet not typed: it must not compute other data
        # in float64 as if that were NumPy's answer.
        self._untyped = self._tree is None and _expr_record(expr) is not None

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
        # A call seen before runs the way found then; the first call of each
        # signature, and the calls the engine refuses, go the full way.
        key = None
        if order == "K":
            mode = resolve_math(self._math if math is None else math)
            values = values if type(values) is tuple else tuple(values)
            result = seen_call(self._ways, mode, values, out)
            if result is not None:
                return result  # type: ignore[no-any-return]
            key = signature(values, mode)
        route, typed = self._route(values, out, math)
        if route is Route.DASK:
            return integration().apply_kernel(self, values, out)  # type: ignore[no-any-return]
        if route is Route.TYPED:
            assert typed is not None
            result = run_typed(*typed, out, order, casting)
            if key is not None:
                self._keep(key, typed_way(typed[0], self._positions(), values, typed[1]))
            return result
        operands = self._operands(values)
        # Contiguous float64 arrays of one shape and layout (and floats) are
        # read in place as they are by the float64 kernel; the typed program
        # reads any other layout where it lies, with the same bits; a kernel
        # computed in float64 arranges them first. The engine lays a new
        # result out like its inputs, which is order "K".
        if order == "K" or out is not None:
            result = _evaluate_into(self._compiled, operands, out)
            if result is not None:
                if key is not None and self._slots is None:
                    self._keep(key, Float64Way(self._compiled))
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


def float64_kernel(expr: Expr, names: tuple[str, ...] | None = None, math: str | None = None) -> Kernel:
    """`Kernel(expr, names, math=math)` computing in float64 whatever its
    operands, as the float64 expression text does."""
    made = Kernel.__new__(Kernel)
    made._math = None if math is None else check_math(math)
    made._compile(expr, names)
    made._set_tree(None)
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
