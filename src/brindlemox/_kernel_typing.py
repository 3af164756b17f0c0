"""How a kernel's calls are typed: the tree of expression text its
expression is converted to, and the typed programs of that tree for the kinds
of values calls read, kept per kinds; and where a call computes, typed or in
float64."""

from collections.abc import Sequence
from typing import Final

import numpy as np

from _brindlemox import _expr_record

from ._isa import active as active_level
from ._calls import Way
from ._engine import Expr
from ._inputs import read_typed
from ._kernel_tree import KernelTree, kernel_tree
from ._math import resolve_math
from ._python_ints import int_classes
from ._route import Route, route_kernel
from ._typed_program import Plan
from ._typing_text import Kind, plan

#: Typed programs a kernel keeps, by the kinds of its values.
_PLANS_KEPT: Final = 64


class KernelTyping:
    """The typing of a `Kernel`'s calls, by the tree of its expression (None
    for a kernel that computes in float64)."""

    __slots__ = ("_arg_names", "_constants", "_plans", "_tree", "_untyped", "_ways")

    _names: tuple[str, ...]
    _math: str | None
    #: Built by the package, yet not typed: refuses data other than float64.
    _untyped: bool

    def _set_tree(self, tree: KernelTree | None) -> None:
        """Types the kernel by `tree` (see `kernel_tree`); None computes in float64."""
        self._tree = tree
        #: The typed programs of the kinds of values calls have read, by kinds, classes of ints, math mode and level.
        self._plans: dict[tuple[tuple[Kind, ...], tuple[tuple[str, int], ...], str, str], Plan] = {}
        self._arg_names = () if tree is None else tuple(f"_a{position}" for position in range(len(tree.parameters)))
        self._constants = {} if tree is None else {name: read_typed(name, value)[1] for name, value in tree.constants}
        #: The ways of the calls seen, by math mode, level and the values' signature (see `_calls`).
        self._ways: dict[bytes, Way] = {}

    def _keep(self, key: bytes, way: Way | None) -> None:
        """Keeps `way` for the calls of `key` (nothing for None)."""
        if way is None:
            return
        if len(self._ways) >= _PLANS_KEPT:
            self._ways.clear()
        self._ways[key] = way

    def _positions(self) -> dict[str, int]:
        """The position among a call's values of each parameter the tree reads, by its name there."""
        assert self._tree is not None
        return dict(zip(self._arg_names, self._tree.parameters))

    def _check_float64(self, bindings: dict[str, object]) -> None:
        """TypeError unless a call over `bindings` (values by parameter name)
        computes in float64 with a float64 result, as a `MapSpec` does."""
        if self._tree is None or any(self._names[index] not in bindings for index in self._tree.parameters):
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
        return self._tree is not None

    def _plan(self, kinds: Sequence[Kind], math: str = "libm", ints: tuple[tuple[str, int], ...] = ()) -> Plan:
        """The typed program of the kernel in math mode `math` for values of
        `kinds`, one for each parameter its tree reads (in the order of its
        `parameters`), each a dtype or a Python number's type, and of `ints`,
        the classes of those bound to Python ints (`int_classes`)."""
        assert self._tree is not None
        named = dict(zip(self._arg_names, kinds))
        named.update((name, read_typed(name, value)[0]) for name, value in self._tree.constants)
        found = plan(self._tree.root, named, math, dict(ints), pow_in_float64=True)
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
        tree = self._tree
        if tree is None:
            if self._untyped:
                self._refuse_other_than_float64(values)
            return None
        names = self._names
        read = [read_typed(names[index], values[index]) for index in tree.parameters]
        kinds = tuple([kind for kind, _ in read])
        ints = int_classes(self._arg_names, [values[index] for index in tree.parameters])
        mode = resolve_math(self._math if math is None else math)
        # A program runs the loops of the instruction level it was compiled at.
        key = (kinds, ints, mode, active_level())
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


def typed_tree(expr: Expr, names: tuple[str, ...]) -> KernelTree | None:
    """The tree a kernel of parameters `names` over `expr` is typed by; None
    for an expression whose building is not recorded, one that was built
    reading an argument that is no parameter (which `where` of a constant
    condition drops), or one nested deeper than text may be (`MAX_DEPTH`):
    those compute in float64."""
    record = _expr_record(expr)
    if record is None:
        return None
    try:
        return kernel_tree(record, {name: index for index, name in enumerate(names)})
    except KeyError:
        return None
