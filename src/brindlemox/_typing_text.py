"""Expression text typed as NumPy types it: for the dtypes of the arrays (and
the kinds of the Python numbers) a call binds, each operation takes the loop
NumPy's own function of that name would take, found by asking that function
(`ufunc.resolve_dtypes`). The answer is a typed program for the engine, with
an explicit cast wherever NumPy converts an operand, which also says when
every value is float64: the float64 kernels compute those with the same bits.

Python numbers in the text, and those a call binds, are "weak" as NumPy 2
treats them: they take the type of the arrays they meet. Operators between
Python numbers alone are Python's; a function of them alone is NumPy's, whose
result is a NumPy scalar of its own type.
"""

from typing import Final

import numpy as np

from _brindlemox import _FAST_MATH_LOOPS, _TYPED_OPS, _typed_compile

from ._inputs import CODES
from ._operators import BINARY_UFUNCS, COMPARE_UFUNCS, ONES_AND_ZEROS, ORDERINGS, UNARY_UFUNCS, python_value
from ._python_ints import as_array
from ._registry import TEXT_FUNCTIONS, entry
from ._typing_calls import SPECIAL, complex_of
from ._text import BINARY, CALL, COMPARE, NAME, NUMBER, REDUCE, TEXT_ONLY, UNARY, Node, comparison_chain
from ._unsupported import UnsupportedOperation
from ._typed_program import APPLY, CAST, CONSTANT, LOAD, WHERE, Plan, Typed, Value, WeakName, kind_of, laid_out, representative


_F64: Final = np.dtype(np.float64)
_F32: Final = np.dtype(np.float32)
_F16: Final = np.dtype(np.float16)
_BOOL: Final = np.dtype(np.bool_)
_OBJECT: Final = np.dtype(object)

#: What a name is bound to, as far as typing goes: an array's (or NumPy
#: scalar's) dtype, or the type of a Python number (int, float or complex).
Kind = np.dtype | type


class _Refused(Exception):
    """The tree is not one the typed walk reads: a reduction, unless its
    value is bound, or a function NumPy has no ufunc for."""


class Typer:
    """Types one text for one binding of its names."""

    def __init__(self, kinds: dict[str, Kind], ints: dict[str, int], pow_in_float64: bool) -> None:
        self.kinds = kinds
        #: The class (see `int_classes`) of each name bound to a Python int, where it is known.
        self.ints = ints
        #: The value of each operation made so far, by the node's id: a node
        #: reached again (a kernel's shared value, the middle of a < b < c)
        #: is the same value, whose instructions are laid out once and read
        #: again (see `laid_out`).
        self.made: dict[int, Value] = {}
        self.constants: list[bytes] = []
        self.inputs: dict[tuple[str, np.dtype], int] = {}
        self.only_float64 = True
        #: Whether the float64 kernels compute every `**` as pow (a kernel's
        #: own `Expr`), not in the forms `power_form` gives.
        self.pow_in_float64 = pow_in_float64

    # --- values -----------------------------------------------------------

    def note(self, dtype: np.dtype) -> np.dtype:
        if dtype != _F64 and dtype != _BOOL:
            self.only_float64 = False
        return dtype

    def constant(self, value: object, dtype: np.dtype) -> Typed:
        data = as_array(value, dtype).tobytes()
        self.constants.append(data)
        return Typed(((CONSTANT, 0, CODES[dtype], len(self.constants) - 1),), self.note(dtype))

    def strong(self, value: Value) -> Typed:
        """`value` with a dtype of its own: a Python number takes NumPy's default."""
        if isinstance(value, Typed):
            return value
        if isinstance(value, WeakName):
            return self.load(value.name, np.dtype(value.kind))
        dtype = np.asarray(value).dtype
        if dtype not in CODES:
            # An int neither int64 nor uint64 holds, for which NumPy would make an object array.
            raise OverflowError("Python int too large to convert to C long")
        return self.constant(value, dtype)

    def load(self, name: str, dtype: np.dtype) -> Typed:
        index = self.inputs.setdefault((name, dtype), len(self.inputs))
        return Typed(((LOAD, 0, CODES[dtype], index),), self.note(dtype))

    def as_type(self, value: Value, dtype: np.dtype) -> Typed:
        """`value` converted to `dtype`, as NumPy converts a loop's operand."""
        if isinstance(value, WeakName):
            return self.load(value.name, dtype)
        if not isinstance(value, Typed):
            return self.constant(value, dtype)
        if value.dtype == dtype:
            return value
        self.note(dtype)
        return Typed((value.code, (CAST, 0, CODES[dtype], 0)), dtype)

    # --- operations -------------------------------------------------------

    def apply(self, ufunc: np.ufunc, operands: list[Value]) -> Typed:
        """The loop NumPy's `ufunc` takes for `operands`, as the engine runs it."""
        if ufunc in ORDERINGS:
            # A name bound to an int compares as its class's representative
            # would: both fit the same types.
            classes = [self.ints.get(value.name, value) if isinstance(value, WeakName) else value for value in operands]
            settled = self.beyond_range(ufunc, classes)
            if settled is not None:
                return settled
        kinds = tuple(kind_of(value) for value in operands)
        try:
            resolved = ufunc.resolve_dtypes(kinds + (None,) * ufunc.nout)
        except TypeError as error:
            raise UnsupportedOperation(str(error)) from None
        loop, result = resolved[0], resolved[ufunc.nin]
        if loop == _OBJECT and any(isinstance(value, WeakName) for value in operands):
            # NumPy compares two Python ints in its object loop; a name's int
            # is an array of NumPy's default type once bound, as numexpr has it.
            return self.apply(ufunc, [self.strong(value) if isinstance(value, WeakName) else value for value in operands])
        if ufunc in ORDERINGS and resolved[0] != resolved[1]:
            return self.mixed_comparison(ufunc, operands, resolved[0])
        if _BOOL in (loop, result) and ufunc not in ONES_AND_ZEROS:
            self.only_float64 = False
        code = _TYPED_OPS.get(ufunc.__name__)
        # float16 steps of its own, which float32 cannot take.
        half_step = ufunc is np.nextafter and loop == _F16
        if code is None or half_step or any(dtype != loop for dtype in resolved[: ufunc.nin]):
            raise UnsupportedOperation(f"{ufunc.__name__} is not supported for {', '.join(str(kind) for kind in kinds)}")
        # NumPy's float16 loops compute in float32 and round each result.
        computed = _F32 if loop == _F16 else loop
        # A number is a float16 first (2**40 is inf there), then widened.
        values = [self.as_type(self.as_type(value, loop), computed) for value in operands]
        self.note(loop)
        code_of_apply = (APPLY, code, CODES[computed], 0)
        typed = Typed((*(value.code for value in values), code_of_apply), self.note(result))
        if computed != loop and result == _F16:
            typed = Typed((typed.code, (CAST, 0, CODES[_F16], 0)), result)
        return typed

    def beyond_range(self, ufunc: np.ufunc, operands: list[Value]) -> Typed | None:
        """NumPy compares integers with a Python int their type cannot hold
        exactly, which settles every element alike; None for other operands.
        (A name bound to an int is typed once for all the ints of its class:
        see `int_classes`.)"""
        for side, (value, number) in enumerate((operands, operands[::-1])):
            if type(number) is not int or not isinstance(value, Typed) or value.dtype.kind not in "iu":
                continue
            limits = np.iinfo(value.dtype)
            if limits.min <= number <= limits.max:
                return None
            # Whether `value <op> number` (the number on the right) holds.
            above = number > limits.max
            answers: dict[np.ufunc, bool] = {np.less: above, np.less_equal: above, np.greater: not above,
                                             np.greater_equal: not above, np.equal: False, np.not_equal: True}
            holds = answers[ufunc]
            if side == 1 and ufunc not in (np.equal, np.not_equal):
                holds = not holds
            # Integers equal themselves everywhere, and no element differs from itself.
            return self.apply(np.equal if holds else np.not_equal, [value, value])
        return None

    def mixed_comparison(self, ufunc: np.ufunc, operands: list[Value], left: np.dtype) -> Typed:
        """NumPy compares int64 with uint64 exactly, without a common type:
        a negative int64 is below every uint64, any other compares as one."""
        signed, unsigned = (0, 1) if left.kind == "i" else (1, 0)
        value = self.as_type(operands[signed], np.dtype(np.int64))
        as_unsigned = self.as_type(value, np.dtype(np.uint64))
        pair: list[Value] = [as_unsigned, self.as_type(operands[unsigned], np.dtype(np.uint64))]
        exact = self.apply(ufunc, pair if signed == 0 else pair[::-1])
        # Whether the signed operand being negative decides the comparison, and how.
        below = ufunc in (np.less, np.less_equal, np.not_equal) if signed == 0 else ufunc in (
            np.greater, np.greater_equal, np.not_equal)
        negative = self.apply(np.less, [value, 0])
        if below:
            return self.apply(np.bitwise_or, [negative, exact])
        return self.apply(np.bitwise_and, [self.apply(np.invert, [negative]), exact])

    def where(self, cond: Value, a: Value, b: Value) -> Value:
        # NumPy's where gives an array of the operands' common type, also
        # when the condition is a number.
        numbers = (int, float, complex)
        if isinstance(cond, numbers) and isinstance(a, numbers) and isinstance(b, numbers):
            return self.constant_of(np.where(cond, a, b))
        dtype = self.note(np.result_type(representative(a), representative(b)))
        if isinstance(cond, numbers):
            return self.as_type(a if cond else b, dtype)
        condition = self.as_type(cond, _BOOL)
        values = [self.as_type(value, dtype) for value in (a, b)]
        return Typed((condition.code, values[0].code, values[1].code, (WHERE, 0, CODES[dtype], 0)), dtype)

    # --- the text ---------------------------------------------------------

    def build(self, node: Node) -> Value:
        if id(node) in self.made:
            return self.made[id(node)]
        kind = node.kind
        if kind == NUMBER:
            number: Value = node.value
            return number
        if kind == NAME or kind == REDUCE:
            # A reduction is read by its slot, where a call binds its value.
            name = node.value if kind == NAME else node.value.slot
            if name not in self.kinds:
                raise _Refused
            bound = self.kinds[name]
            return WeakName(name, bound) if isinstance(bound, type) else self.load(name, bound)
        if kind == BINARY:
            return self.binary_chain(node)
        if kind == UNARY:
            value = self.unary(node.op, self.build(node.operands[0]))
        elif kind == COMPARE:
            value = self.compare(node)
        elif kind == CALL:
            value = self.call(node)
        else:
            raise _Refused
        self.made[id(node)] = value
        return value

    def binary_chain(self, node: Node) -> Value:
        # Long sums such as "a + b + c + ..." nest to the left as deep as they
        # are long: the spine is walked without recursion, down to a value
        # already made.
        chain = []
        left = node
        while left.kind == BINARY and id(left) not in self.made:
            chain.append(left)
            left = left.operands[0]
        value = self.build(left)
        for link in reversed(chain):
            symbol: str = link.op
            value = self.operator(BINARY_UFUNCS[symbol], symbol, [value, self.build(link.operands[1])])
            self.made[id(link)] = value
        return value

    def unary(self, symbol: str, operand: Value) -> Value:
        if symbol == "u+":
            # The value itself, where NumPy's `positive` takes the type;
            # booleans, which it refuses, too, as Python's own `+True` is.
            if isinstance(operand, Typed) and operand.dtype != _BOOL:
                try:
                    np.positive.resolve_dtypes((operand.dtype, None))
                except TypeError as error:
                    raise UnsupportedOperation(str(error)) from None
            return operand
        return self.operator(UNARY_UFUNCS[symbol], symbol, [operand])

    def operator(self, ufunc: np.ufunc, symbol: str, operands: list[Value]) -> Value:
        if all(isinstance(value, (int, float, complex)) for value in operands):
            folded = python_value(symbol, operands)  # type: ignore[arg-type]
            if folded is not None:
                return folded
        if symbol == "**":
            form = self.power_form(*operands)
            if form is not None:
                return form
        return self.apply(ufunc, operands)

    def power_form(self, base: Value, exponent: Value) -> Typed | None:
        """`base ** exponent` in the form NumPy computes an array to a Python
        number's power with, for the exponents it gives a form of its own:
        2 is x*x, -1 is 1/x and 0.5 is sqrt(x) for every inexact type
        (complex too, but for -1, which is NumPy's reciprocal there; float16
        takes 1/x for the int -1 alone); and float32's and float64's power
        loop gives x itself for 1 (signalling NaN included) and 1 for 0.
        None for any other power, which is pow."""
        if not isinstance(base, Typed) or type(exponent) not in (int, float):
            return None
        loop: np.dtype = np.power.resolve_dtypes((base.dtype, type(exponent), None))[0]
        if loop.kind not in "fc":
            return None
        x = self.as_type(base, loop)
        value = float(exponent)  # type: ignore[arg-type]
        form: Typed | None = None
        if value == 2.0:
            form = self.apply(np.multiply, [x, x])
        elif value == -1.0 and loop.kind == "f" and (loop != _F16 or type(exponent) is int):
            form = self.apply(np.divide, [1, x])
        elif value == 0.5:
            form = self.apply(np.sqrt, [x])
        elif value == 1.0 and loop in (_F32, _F64):
            form = x
        elif value == 0.0 and loop in (_F32, _F64):
            form = self.constant(1, loop)
        if form is not None and self.pow_in_float64:
            self.only_float64 = False
        return form

    def compare(self, node: Node) -> Value:
        def term(symbol: str, a: Value, b: Value) -> Value:
            return self.operator(COMPARE_UFUNCS[symbol], symbol, [a, b])

        def both(a: Value, b: Value) -> Value:
            return self.operator(np.bitwise_and, "&", [a, b])

        return comparison_chain(node, self.build, term, both)

    def call(self, node: Node) -> Value:
        name: str = node.op
        operands = [self.build(argument) for argument in node.operands]
        if name in TEXT_ONLY:
            # `contains` computes where strings do, before any typing (`_strings`).
            if name != "complex":
                raise _Refused
            return complex_of(self, operands)
        about = entry(TEXT_FUNCTIONS[name])
        special = SPECIAL.get(about.name)
        if special is not None:
            return special(self, operands)
        ufunc = getattr(np, about.numpy or "", None)
        if not isinstance(ufunc, np.ufunc):
            raise _Refused
        if all(isinstance(value, (int, float, complex)) for value in operands):
            return self.constant_of(ufunc(*operands))
        return self.apply(ufunc, operands)

    def constant_of(self, value: object) -> Typed:
        array = np.asarray(value)
        return self.constant(array, array.dtype)


def plan(root: Node, kinds: dict[str, Kind], math: str = "libm", ints: dict[str, int] | None = None,
         reduces: bool = False, pow_in_float64: bool = False) -> Plan | None:
    """The typed program of the tree of `root` for names of `kinds`, computing
    in `math` ("libm" or "fast"). A reduction in the tree is read by its slot
    where `kinds` binds it; otherwise the tree of a text that reduces
    (`reduces`) has no program (it computes in float64): None. `ints` are
    the classes of names bound to Python ints (`int_classes`), which NumPy
    compares with integers of any type. `pow_in_float64` says the float64
    kernels of the tree compute every `**` as pow (a kernel's `Expr` does;
    a text's is built in NumPy's forms, see `_parse`): a power NumPy computes
    in another form is then typed whatever the types.

    Raises what NumPy raises for the types (its TypeError for an operation
    without a loop for them, its OverflowError for a Python int a dtype cannot
    hold), and ValueError for a function NumPy has no ufunc for.
    """
    typer = Typer(kinds, ints or {}, pow_in_float64)
    try:
        value = typer.build(root)
    except _Refused:
        if reduces:
            return None
        raise ValueError("unsupported construct in expression") from None
    result = typer.strong(value)
    only_float64 = typer.only_float64 and (isinstance(value, Typed) or type(value) is float) and result.dtype == _F64
    # The inputs the program still loads (a function such as `imag` of a real
    # value reads none), numbered in order.
    registered = sorted(typer.inputs, key=typer.inputs.__getitem__)
    flat = laid_out(result.code)
    used = sorted({instr[3] for instr in flat if instr[0] == LOAD})
    number = {old: new for new, old in enumerate(used)}
    code = tuple((kind, op, dtype, number[payload] if kind == LOAD else payload) for kind, op, dtype, payload in flat)
    inputs = tuple(registered[old] for old in used)
    program = _typed_compile(code, tuple(typer.constants), len(inputs), math)
    fast = math == "fast" and any(kind == APPLY and (op, dtype) in _FAST_MATH_LOOPS for kind, op, dtype, _ in code)
    return Plan(program, result.dtype, inputs, only_float64 and not fast, fast)
