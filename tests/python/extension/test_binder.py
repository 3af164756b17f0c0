"""Argument binding: the interpreter's wording, prefixed by the qualified name."""

import inspect
import types

import numpy as np
import pytest

import _brindlemox as ext


def message(call):
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value)


def test_too_many_positional(k, rt):
    assert message(lambda: rt.asarray(1, 2)) == (
        "_RuntimeModule.asarray() takes 1 positional arguments but 2 were given"
    )
    assert message(lambda: rt.go(1, 2, 3)) == (
        "_RuntimeModule.go() takes from 1 to 2 positional arguments but 3 were given"
    )
    assert message(lambda: k.sum(1, 2)) == "_KernelModule.sum() takes 1 positional arguments but 2 were given"


def test_unexpected_and_duplicate_keywords(k, rt):
    assert message(lambda: rt.go(1, out=None, extra=1)) == (
        "_RuntimeModule.go() got an unexpected keyword argument 'extra'"
    )
    assert message(lambda: rt.asarray(1, array=2)) == "_RuntimeModule.asarray() got multiple values for argument 'array'"
    assert message(lambda: k.arg(nam="x")) == "_KernelModule.arg() got an unexpected keyword argument 'nam'"


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda k, rt: rt.asarray(), "_RuntimeModule.asarray() missing 1 required positional argument: 'array'"),
        (lambda k, rt: k.pow(), "_KernelModule.pow() missing 2 required positional arguments: 'base' and 'exp'"),
        (
            lambda k, rt: k.where_(),
            "_KernelModule.where_() missing 3 required positional arguments: 'cond', 'true_val', and 'false_val'",
        ),
        (
            lambda k, rt: k.atan2(x=k.arg("x")),
            "_KernelModule.atan2() missing 1 required positional argument: 'y'",
        ),
        (lambda k, rt: rt.go(), "_RuntimeModule.go() missing 1 required positional argument: 'spec'"),
    ],
)
def test_missing_arguments(k, rt, call, text):
    assert message(lambda: call(k, rt)) == text


def test_keywords_bind_by_name(k):
    x, y = k.args("x", "y")
    assert repr(k.pow(exp=y, base=x)) == repr(k.pow(x, y))


def test_conversion_error_names_the_argument_and_keeps_the_cause(k):
    with pytest.raises(TypeError) as info:
        k.sqrt(2.0)
    assert str(info.value) == "argument 'expr': 'float' object cannot be converted to 'Expr'"
    assert isinstance(info.value.__cause__, TypeError)
    assert str(info.value.__cause__) == "'float' object cannot be converted to 'Expr'"
    assert info.value.args == ("argument 'expr': 'float' object cannot be converted to 'Expr'",)


def test_conversion_reports_the_first_bad_argument(k):
    x = k.arg("x")
    assert message(lambda: k.max(x, 0)) == "argument 'b': 'int' object cannot be converted to 'Expr'"
    assert message(lambda: k.pow(2, x)) == "argument 'base': 'int' object cannot be converted to 'Expr'"


def test_non_type_errors_propagate_unchanged(k, rt):
    with pytest.raises(OverflowError):
        k.arg("x").rewrite_args({-1: 0})
    with pytest.raises(UnicodeEncodeError):
        k.arg("\udc80")


def test_receiver_must_be_an_instance(rt):
    buffer = rt.asarray(np.zeros(2))
    with pytest.raises(TypeError):
        ext.Buffer.numpy(3)
    assert len(ext.Buffer.numpy(buffer)) == 2


def quoted(names):
    """Parameter names listed as the interpreter lists them in binding messages."""
    items = [f"'{name}'" for name in names]
    if len(items) <= 2:
        return " and ".join(items)
    return ", ".join(items[:-1]) + ", and " + items[-1]


RECEIVER_CLASSES = ["_KernelModule", "_RuntimeModule", "Expr", "Buffer", "TaskHandle", "Channel"]
CALLABLES = [
    (cls, name)
    for cls in RECEIVER_CLASSES
    for name, member in vars(getattr(ext, cls)).items()
    if isinstance(member, types.MethodDescriptorType)
] + [("RecvCase", "__new__"), (None, "py_select")] + [
    (None, name)
    for name in (
        "_compile",
        "_compile_uncached",
        "_evaluate_into",
        "_reduce",
        "_get_num_threads",
        "_set_num_threads",
        "_expr_to_bytes",
        "_expr_from_bytes",
        "_kernel_spec_to_bytes",
        "_kernel_spec_from_bytes",
    )
]


def bound_callable(k, rt, cls, name):
    """The callable and the qualified name its binding messages start with."""
    if cls is None:
        return getattr(ext, name), f"{name}()"
    if name == "__new__":
        return getattr(ext, cls), f"{cls}.__new__()"
    buffer = rt.asarray(np.zeros(1))
    receivers = {
        "_KernelModule": k,
        "_RuntimeModule": rt,
        "Expr": k.arg("x"),
        "Buffer": buffer,
        "TaskHandle": rt.go(k.sum(buffer)),
        "Channel": rt.chan(1),
    }
    return getattr(receivers[cls], name), f"{cls}.{name}()"


@pytest.mark.parametrize("cls, name", CALLABLES)
def test_binding_follows_the_text_signature(k, rt, cls, name):
    # The signature Python shows and the binder come from one parameter table;
    # every refusal the signature predicts is the one the call gets.
    function, qualified = bound_callable(k, rt, cls, name)
    params = list(inspect.signature(function).parameters.values())
    kinds = {param.kind for param in params}
    positional = [param for param in params if param.kind is param.POSITIONAL_OR_KEYWORD]
    required = [param.name for param in positional if param.default is param.empty]
    if required:
        plural = "argument" if len(required) == 1 else "arguments"
        assert message(function) == f"{qualified} missing {len(required)} required positional {plural}: {quoted(required)}"
    if inspect.Parameter.VAR_POSITIONAL not in kinds:
        given = len(positional) + 1
        takes = str(len(positional)) if len(required) == len(positional) else f"from {len(required)} to {len(positional)}"
        verb = "was" if given == 1 else "were"
        assert message(lambda: function(*range(given))) == (
            f"{qualified} takes {takes} positional arguments but {given} {verb} given"
        )
    if inspect.Parameter.VAR_KEYWORD not in kinds:
        assert message(lambda: function(no_such_parameter=1)) == (
            f"{qualified} got an unexpected keyword argument 'no_such_parameter'"
        )
