import numpy as np
import pytest

import _brindlemox as ext

UNARY = ["sqrt", "abs", "log", "exp", "log2", "log10", "floor", "ceil", "round", "sin", "cos", "tan"]
UNARY_OPS = ["Sqrt", "Abs", "Log", "Exp", "Log2", "Log10", "Floor", "Ceil", "Round", "Sin", "Cos", "Tan"]


def ident(e):
    return e.get_referenced_args()[0]


def test_arg_ids_are_fresh_and_consecutive(k):
    a = k.arg("x")
    b = k.arg("x")
    assert ident(a) != ident(b)
    x, y = k.args("x", "y")
    assert [repr(x), repr(y)] == ["Expr(x)", "Expr(y)"]
    assert ident(y) == ident(x) + 1
    assert k.args() == []


def test_failed_args_draws_no_id(k):
    before = ident(k.arg("a"))
    with pytest.raises(TypeError) as info:
        k.args("a", 1)
    assert str(info.value) == "argument 'names': 'int' object cannot be converted to 'PyString'"
    with pytest.raises(UnicodeEncodeError):
        k.args("ok", "\udc80")
    with pytest.raises(TypeError):
        k.arg(3)
    assert ident(k.arg("b")) == before + 1


def test_any_name_is_accepted(k):
    assert repr(k.arg("")) == "Expr()"
    assert repr(k.arg("a b\u00e9")) == "Expr(a b\u00e9)"


@pytest.mark.parametrize("name, op", list(zip(UNARY, UNARY_OPS)))
def test_unary_factories(k, name, op):
    x = k.arg("x")
    assert repr(getattr(k, name)(x)) == f"Expr(Unary({op}, ArgRef({ident(x)})))"
    with pytest.raises(TypeError) as info:
        getattr(k, name)(2.0)
    assert str(info.value) == "argument 'expr': 'float' object cannot be converted to 'Expr'"


@pytest.mark.parametrize(
    "name, op, params", [("pow", "Pow", ("base", "exp")), ("atan2", "Atan2", ("y", "x")),
                         ("min", "Min", ("a", "b")), ("max", "Max", ("a", "b"))]
)  # fmt: skip
def test_binary_factories(k, name, op, params):
    x, y = k.args("x", "y")
    i, j = ident(x), ident(y)
    built = getattr(k, name)(y, x)
    assert repr(built) == f"Expr(Binary({op}, ArgRef({j}), ArgRef({i})))"
    assert built.get_temp_args() == {i: "x", j: "y"}
    with pytest.raises(TypeError) as info:
        getattr(k, name)(x, 0)
    assert str(info.value).startswith(f"argument '{params[1]}': ")
    assert repr(getattr(k, name)(**{params[0]: y, params[1]: x})) == repr(built)


def test_operators_by_name(k):
    # The package's route to every operator: the same trees as the factories and Python operators.
    x, y = k.args("x", "y")
    i, j = ident(x), ident(y)
    assert {"Neg", *UNARY_OPS} <= set(ext._UNARY_OPS)
    assert {"Add", "Sub", "Mul", "Div", "Pow", "Atan2", "Min", "Max"} <= set(ext._BINARY_OPS)
    for name in ext._UNARY_OPS:
        assert repr(ext._unary(name, x)) == f"Expr(Unary({name}, ArgRef({i})))"
    for name in ext._BINARY_OPS:
        built = ext._binary(name, y, right=x)
        assert repr(built) == f"Expr(Binary({name}, ArgRef({j}), ArgRef({i})))"
        assert built.get_temp_args() == {i: "x", j: "y"}
    # A number on either side is a constant.
    assert repr(ext._binary("Min", x, 0)) == f"Expr(Binary(Min, ArgRef({i}), Const(0.0)))"
    assert repr(ext._binary("Atan2", -2.5, x)) == f"Expr(Binary(Atan2, Const(-2.5), ArgRef({i})))"
    assert (ext._unary.__text_signature__, ext._binary.__text_signature__) == ("(op, operand)", "(op, left, right)")


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda x: ext._unary("Hypot", x), ValueError, "unknown unary operator 'Hypot'"),
        (lambda x: ext._binary("Sqrt", x, x), ValueError, "unknown binary operator 'Sqrt'"),
        (lambda x: ext._unary(2, x), TypeError, "argument 'op': 'int' object cannot be converted to 'PyString'"),
        (lambda x: ext._unary("Sqrt", 2.0), TypeError,
         "argument 'operand': 'float' object cannot be converted to 'Expr'"),
        (lambda x: ext._binary("Min", x, "0"), TypeError, "argument 'right': expected Expr or numeric value"),
        (lambda x: ext._binary("Min", None, x), TypeError, "argument 'left': expected Expr or numeric value"),
        (lambda x: ext._binary("Min", x), TypeError, "_binary() missing 1 required positional argument: 'right'"),
    ],
)  # fmt: skip
def test_operators_by_name_refuse(k, call, error, message):
    with pytest.raises(error) as info:
        call(k.arg("x"))
    assert str(info.value) == message


def test_where(k):
    x = k.arg("x")
    i = ident(x)
    assert repr(k.where_(x > 0, x, 0)) == (
        f"Expr(Select(Compare(Gt, ArgRef({i}), Const(0.0)), ArgRef({i}), Const(0.0)))"
    )
    assert k.where_(x > 0, x, 0).get_temp_args() == {i: "x"}
    with pytest.raises(TypeError) as info:
        k.where_(0, x, 1)
    assert str(info.value).startswith("argument 'cond': ")
    with pytest.raises(TypeError) as info:
        k.where_(x > 0, "a", 1)
    assert str(info.value) == "expected Expr or numeric value"
    assert not hasattr(k, "where")


def test_elementwise_renumbers_by_id(k):
    y = k.arg("y")
    x = k.arg("x")
    spec = k.elementwise(x * 2 + y)
    assert type(spec) is ext.KernelSpec
    assert repr(x * 2 + y) == f"Expr(Binary(Add, Binary(Mul, ArgRef({ident(x)}), Const(2.0)), ArgRef({ident(y)})))"


def test_elementwise_errors(k):
    with pytest.raises(ValueError) as info:
        k.elementwise(k.arg("x") + k.arg("x"))
    assert str(info.value) == "duplicate arg name: x"
    with pytest.raises(TypeError) as info:
        k.elementwise(3.0)
    assert str(info.value) == "argument 'expr': 'float' object cannot be converted to 'Expr'"
    a, b = k.args("a", "b")
    merged = (a + b).rewrite_args({ident(a): ident(b)})
    assert isinstance(k.elementwise(merged), ext.KernelSpec)


@pytest.mark.numpy
def test_map_bindings(k, rt):
    x, y = k.args("x", "y")
    spec = k.elementwise(x + y)
    buf = rt.asarray(np.zeros(3))
    for value in [2, True, -1, 2.5, 2**70, buf]:
        assert type(k.map(spec, x=buf, y=value)) is ext.MapSpec
    assert type(k.map(spec)) is ext.MapSpec
    assert type(k.map(spec=spec, x=buf, z=1)) is ext.MapSpec
    for bad in ["a", None, [1], np.zeros(3), 10**400]:
        with pytest.raises(TypeError) as info:
            k.map(spec, x=buf, y=bad)
        assert str(info.value) == "argument 'y' must be Buffer or numeric"
    with pytest.raises(TypeError) as info:
        k.map(x + y, x=buf)
    assert str(info.value) == "argument 'spec': 'Expr' object cannot be converted to 'KernelSpec'"
    with pytest.raises(TypeError) as info:
        k.map(k.map(spec), x=buf)
    assert str(info.value) == "argument 'spec': 'MapSpec' object cannot be converted to 'KernelSpec'"


@pytest.mark.numpy
@pytest.mark.parametrize("name", ["sum", "mean", "min_reduce", "max_reduce"])
def test_reduce_factories(k, rt, name):
    buf = rt.asarray(np.arange(3.0))
    assert type(getattr(k, name)(buf)) is ext.ReduceSpec
    assert type(getattr(k, name)(rt.asarray(np.zeros(0)))) is ext.ReduceSpec
    with pytest.raises(TypeError) as info:
        getattr(k, name)(k.arg("x"))
    assert str(info.value) == "argument 'buf': 'Expr' object cannot be converted to 'Buffer'"
