"""Argument binding: the interpreter's wording, prefixed by the qualified name."""

import numpy as np
import pytest

import _brindlemox as bm


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
        bm.Buffer.numpy(3)
    assert len(bm.Buffer.numpy(buffer)) == 2
