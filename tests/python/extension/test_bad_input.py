"""Every registered callable, given bad values, raises an exception of the right class."""

import numpy as np
import pytest

import _brindlemox as ext

pytestmark = pytest.mark.numpy


class BadIndex:
    def __index__(self):
        raise ZeroDivisionError("no index")


def read_only():
    array = np.zeros(3)
    array.flags.writeable = False
    return array


BAD_VALUES = {
    "None": None,
    "str": "text",
    "float": 1.5,
    "2-D array": np.zeros((2, 2)),
    "read-only array": read_only(),
    "bad __index__": BadIndex(),
    "huge int": 2**80,
    "negative int": -5,
}

k = ext._KernelModule()
rt = ext._RuntimeModule()
x = k.arg("x")
buf = rt.asarray(np.arange(3.0))
spec = k.elementwise(x + 1)
mapped = k.map(spec, x=buf)
channel = rt.chan(4)

# callable, valid positional arguments, and for each position which bad values
# are acceptable there (numbers coerce into operands) and which exception the
# others must raise.
EXPR_STRICT = {name: TypeError for name in BAD_VALUES}
OPERAND = {**EXPR_STRICT, "float": None, "negative int": None, "huge int": None}
TEXT = {**EXPR_STRICT, "str": None}
BUFFER = EXPR_STRICT
U64 = {**EXPR_STRICT, "huge int": OverflowError, "negative int": OverflowError, "bad __index__": ZeroDivisionError}
ARRAY = {**EXPR_STRICT, "read-only array": None}

CASES = [
    ("arg", k.arg, ["x"], [TEXT]),
    ("args", k.args, ["x", "y"], [TEXT, TEXT]),
    ("elementwise", k.elementwise, [x], [EXPR_STRICT]),
    ("map", k.map, [spec], [EXPR_STRICT]),
    *[(name, getattr(k, name), [x], [EXPR_STRICT]) for name in
      ["sqrt", "abs", "log", "exp", "log2", "log10", "floor", "ceil", "round", "sin", "cos", "tan"]],
    *[(name, getattr(k, name), [x, x], [EXPR_STRICT, EXPR_STRICT]) for name in ["pow", "atan2", "min", "max"]],
    ("where_", k.where_, [x > 0, x, 0], [EXPR_STRICT, OPERAND, OPERAND]),
    *[(name, getattr(k, name), [buf], [BUFFER]) for name in ["sum", "mean", "min_reduce", "max_reduce"]],
    ("asarray", rt.asarray, [np.zeros(2)], [ARRAY]),
    ("rewrite_args", x.rewrite_args, [{}], [EXPR_STRICT]),
    ("RecvCase", ext.RecvCase, [channel], [EXPR_STRICT]),
    ("go", rt.go, [mapped], [EXPR_STRICT]),
    ("go out", lambda out: rt.go(mapped, out=out), [None], [{**EXPR_STRICT, "None": None}]),
    ("chan", rt.chan, [1], [U64]),
    ("send", channel.send, [buf], [BUFFER]),
    ("py_select", lambda case: ext.py_select(case, default=True), [ext.RecvCase(channel)], [EXPR_STRICT]),
    ("py_select default", lambda d: ext.py_select(ext.RecvCase(channel), default=d), [True], [EXPR_STRICT]),
]  # fmt: skip


@pytest.mark.parametrize("name, function, valid, kinds", CASES, ids=[case[0] for case in CASES])
@pytest.mark.parametrize("bad", sorted(BAD_VALUES))
def test_bad_values_raise(name, function, valid, kinds, bad):
    for position, expected in enumerate(kinds):
        outcome = expected[bad]
        arguments = list(valid)
        arguments[position] = BAD_VALUES[bad]
        if outcome is None:
            function(*arguments)
            continue
        with pytest.raises(outcome):
            function(*arguments)


@pytest.mark.parametrize("bad", sorted(BAD_VALUES))
def test_bad_operands_of_operators(bad):
    value = BAD_VALUES[bad]
    if isinstance(value, (int, float)):
        assert isinstance(x + value, ext.Expr)
        return
    with pytest.raises(TypeError):
        x + value
    with pytest.raises(TypeError):
        x < value
    if not isinstance(value, np.ndarray):  # NumPy answers reflected operators itself
        with pytest.raises(TypeError):
            value * x


@pytest.mark.parametrize("bad", sorted(BAD_VALUES))
def test_bad_map_bindings(bad):
    value = BAD_VALUES[bad]
    if isinstance(value, (int, float)):
        assert isinstance(k.map(spec, x=value), ext.MapSpec)
        return
    with pytest.raises(TypeError) as info:
        k.map(spec, x=value)
    assert str(info.value) == "argument 'x' must be Buffer or numeric"


@pytest.mark.parametrize(
    "call",
    [lambda: k.arg(), lambda: k.arg("a", "b"), lambda: k.map(), lambda: rt.asarray(a=1), lambda: buf.numpy(1),
     lambda: buf.scalar(x=1), lambda: x.get_temp_args(1), lambda: x.rewrite_args(), lambda: k.where_(x, x)],
)  # fmt: skip
def test_wrong_argument_counts(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize(
    "call, name, given, expected",
    [
        (lambda: ext._evaluate_into(ext._compile(spec), [1.0], None), "operands", "list", "tuple"),
        (lambda: ext._evaluate_into(spec, (1.0,), None), "kernel", "KernelSpec", "_CompiledKernel"),
        (lambda: ext._typed_evaluate(None, (), np.zeros(1)), "program", "NoneType", "_TypedProgram"),
        (lambda: ext._typed_compile([], (), 0), "program", "list", "tuple"),
        (lambda: ext._typed_compile((), [], 0), "constants", "list", "tuple"),
        (lambda: ext._select_until([channel], 0.0), "channels", "list", "tuple"),
    ],
)
def test_private_entry_points_name_the_argument_they_refuse(call, name, given, expected):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == f"argument '{name}': '{given}' object cannot be converted to '{expected}'"


F8 = ext._DTYPES.index("float64")
I8 = ext._DTYPES.index("int64")
LOAD, APPLY, CAST, WHERE, REPEAT = 1, 3, 2, 4, 5


@pytest.mark.parametrize(
    "program, inputs, message",
    [
        ((), 0, "the program must leave exactly one value"),
        (((LOAD, 0, F8, 0), (LOAD, 0, F8, 0)), 1, "the program must leave exactly one value"),
        (((0, 0, F8, 0),), 0, "constant index beyond the constants"),
        (((LOAD, 0, F8, 0),), 0, "input index beyond the inputs"),
        (((LOAD, 0, F8, 0), (LOAD, 0, I8, 0)), 1, "an input loaded as two types"),
        (((REPEAT, 0, F8, 0),), 0, "repeat of a step not made yet"),
        (((CAST, 0, F8, 0),), 0, "stack empty at cast"),
        (((LOAD, 0, F8, 0), (APPLY, 250, F8, 0)), 1, "unknown operation code 250"),
        (((LOAD, 0, F8, 0), (APPLY, ext._TYPED_OPS["left_shift"], F8, 0)), 1, "no loop of left_shift for float64"),
        (((LOAD, 0, I8, 0), (LOAD, 1, F8, 1), (APPLY, ext._TYPED_OPS["add"], I8, 0)), 2, "add takes int64, not float64"),
        (((LOAD, 0, I8, 0), (APPLY, ext._TYPED_OPS["add"], I8, 0)), 1, "stack empty at add"),
        (((LOAD, 0, F8, 0), (WHERE, 0, F8, 0)), 1, "stack empty at where"),
        (((LOAD, 0, F8, 0),) * 3 + ((WHERE, 0, F8, 0),), 1, "where's condition takes bool, not float64"),
        (((9, 0, F8, 0),), 0, "unknown instruction kind 9"),
    ],
)  # fmt: skip
def test_typed_programs_whose_types_do_not_fit_are_refused_in_words(program, inputs, message):
    with pytest.raises(ValueError) as info:
        ext._typed_compile(program, (), inputs)
    assert str(info.value) == message


# One argument refused at a time, the others valid: the message names the
# parameter the bad value was given for, as the signature table spells it.
NAMED_REFUSALS = [
    (lambda: ext._compile(1), "spec"),
    (lambda: ext._compile_uncached(1), "spec"),
    (lambda: rt.asarray(1), "array"),
    (lambda: rt.chan("x"), "capacity"),
    (lambda: rt.go(mapped, out=1), "out"),
    (lambda: k.arg(1), "name"),
    (lambda: k.args("a", 1), "names"),
    (lambda: k.elementwise(1), "expr"),
    (lambda: k.map(1), "spec"),
    (lambda: k.sqrt(1), "expr"),
    (lambda: k.where_(1, x, x), "cond"),
    (lambda: k.sum(1), "buf"),
    (lambda: channel.send(1), "buf"),
    (lambda: ext.RecvCase(1), "channel"),
    (lambda: ext.py_select(1), "cases"),
    (lambda: ext.py_select(ext.RecvCase(channel), default=1), "default"),
    (lambda: x.rewrite_args(1), "mapping"),
    (lambda: ext._go_async(mapped, 0, 1), "out"),
    (lambda: ext._go_async(mapped, "t"), "token"),
    (lambda: ext._evaluate_async(None, (), None, "t"), "token"),
    (lambda: ext._typed_evaluate_async(None, (), None, "t"), "token"),
    (lambda: ext._recv_async(1, 0), "channel"),
    (lambda: ext._recv_async(channel, "t"), "token"),
    (lambda: ext._send_async(1, buf, 0), "channel"),
    (lambda: ext._send_async(channel, 1, 0), "buf"),
    (lambda: ext._send_async(channel, buf, "t"), "token"),
    (lambda: ext._withdraw(1), "task"),
    (lambda: ext._withdraw_receive(1), "task"),
    (lambda: ext._give_back(1, buf), "channel"),
    (lambda: ext._give_back(channel, 1), "buf"),
    (lambda: ext._recv_array(1), "channel"),
    (lambda: ext._buffered(1), "channel"),
    (lambda: ext._as_array(1), "buf"),
    (lambda: ext._recv_until(1, 0.0), "channel"),
    (lambda: ext._recv_until(channel, "t"), "timeout"),
    (lambda: ext._send_until(1, buf, 0.0), "channel"),
    (lambda: ext._send_until(channel, 1, 0.0), "buf"),
    (lambda: ext._send_until(channel, buf, "t"), "timeout"),
    (lambda: ext._select_until(1, 0.0), "channels"),
    (lambda: ext._select_until((1,), 0.0), "channels"),
    (lambda: ext._select_until((channel,), "t"), "timeout"),
    (lambda: ext._typed_compile(1, (), 0), "program"),
    (lambda: ext._typed_compile((), 1, 0), "constants"),
]


@pytest.mark.parametrize("call, name", NAMED_REFUSALS)
def test_a_refused_argument_is_named_by_its_parameter(call, name):
    with pytest.raises(TypeError) as info:
        call()
    assert isinstance(info.value.__cause__, TypeError)
    assert str(info.value) == f"argument '{name}': {info.value.__cause__}"
