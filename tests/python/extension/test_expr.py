import math

import numpy as np
import pytest

import _brindlemox as ext
from conftest import run_python

BOOL_MESSAGE = "cannot convert Expr to bool; use kernel.where(cond, t, f) for conditional expressions"


def ids(*exprs):
    return [e.get_referenced_args()[0] for e in exprs]


def test_arg_prints_its_name(k):
    x = k.arg("x")
    (i,) = ids(x)
    assert repr(x) == "Expr(x)"
    assert repr(-x) == f"Expr(Unary(Neg, ArgRef({i})))"
    assert repr(abs(x)) == f"Expr(Unary(Abs, ArgRef({i})))"
    assert x.get_temp_args() == {i: "x"}


def test_the_documented_example(k):
    x = k.arg("x")
    (i,) = ids(x)
    assert repr(x * 2 + 1) == f"Expr(Binary(Add, Binary(Mul, ArgRef({i}), Const(2.0)), Const(1.0)))"


@pytest.mark.parametrize(
    "build, text",
    [
        (lambda x: x + 2.5, "Binary(Add, ArgRef(X), Const(2.5))"),
        (lambda x: 2 - x, "Binary(Sub, Const(2.0), ArgRef(X))"),
        (lambda x: x - 2, "Binary(Sub, ArgRef(X), Const(2.0))"),
        (lambda x: 3 * x, "Binary(Mul, Const(3.0), ArgRef(X))"),
        (lambda x: 1 / x, "Binary(Div, Const(1.0), ArgRef(X))"),
        (lambda x: 2**x, "Binary(Pow, Const(2.0), ArgRef(X))"),
        (lambda x: pow(x, 2, 5), "Binary(Pow, ArgRef(X), Const(2.0))"),
        (lambda x: x + True, "Binary(Add, ArgRef(X), Const(1.0))"),
        (lambda x: x + -1, "Binary(Add, ArgRef(X), Const(-1.0))"),
        (lambda x: x + -1.0, "Binary(Add, ArgRef(X), Const(-1.0))"),
        (lambda x: x + 2**63, "Binary(Add, ArgRef(X), Const(9.223372036854776e18))"),
        (lambda x: x < 1, "Compare(Lt, ArgRef(X), Const(1.0))"),
        (lambda x: x <= 1, "Compare(Le, ArgRef(X), Const(1.0))"),
        (lambda x: x == 1, "Compare(Eq, ArgRef(X), Const(1.0))"),
        (lambda x: x != 1, "Compare(Ne, ArgRef(X), Const(1.0))"),
        (lambda x: x > 1, "Compare(Gt, ArgRef(X), Const(1.0))"),
        (lambda x: x >= 1, "Compare(Ge, ArgRef(X), Const(1.0))"),
        (lambda x: 2 < x, "Compare(Gt, ArgRef(X), Const(2.0))"),
    ],
)
def test_operators_build_trees(k, build, text):
    x = k.arg("x")
    (i,) = ids(x)
    assert repr(build(x)) == "Expr(" + text.replace("ArgRef(X)", f"ArgRef({i})") + ")"


class Indexable:
    def __index__(self):
        return 7


class Floaty:
    def __float__(self):
        return 0.25


def test_numeric_coercion_protocols(k):
    x = k.arg("x")
    assert repr(x + Indexable()).endswith(", Const(7.0)))")
    assert repr(x + Floaty()).endswith(", Const(0.25)))")


@pytest.mark.parametrize(
    "value, text",
    [
        (1e16, "1e16"),
        (1e15, "1000000000000000.0"),
        (0.0001, "0.0001"),
        (1e-5, "1e-5"),
        (1.5e-5, "1.5e-5"),
        (-2.5e20, "-2.5e20"),
        (math.nan, "NaN"),
        (math.inf, "inf"),
        (-math.inf, "-inf"),
        (-0.0, "-0.0"),
        (0.1, "0.1"),
        (5e-324, "5e-324"),
        (1.7976931348623157e308, "1.7976931348623157e308"),
    ],
)
def test_constant_formatting(k, value, text):
    assert repr(k.arg("x") + value).endswith(f", Const({text})))")


@pytest.mark.parametrize("bad", ["a", None, [1], 10**400, object()])
def test_bad_operands(k, bad):
    x = k.arg("x")
    for build in [lambda: x + bad, lambda: bad + x, lambda: x == bad, lambda: x * bad, lambda: x**bad]:
        with pytest.raises(TypeError) as info:
            build()
        assert str(info.value) == "expected Expr or numeric value"


@pytest.mark.parametrize(
    "build",
    [lambda x: x // 2, lambda x: x % 2, lambda x: +x, lambda x: ~x, lambda x: x & 1, lambda x: x << 1,
     lambda x: x @ x, lambda x: divmod(x, 2)],
)  # fmt: skip
def test_unsupported_operators(k, build):
    with pytest.raises(TypeError) as info:
        build(k.arg("x"))
    assert "unsupported operand" in str(info.value) or "bad operand" in str(info.value)


def test_truth_value_is_refused(k):
    x, y = k.args("x", "y")
    for use in [lambda: bool(x), lambda: not x, lambda: x and y, lambda: x < y < x]:
        with pytest.raises(TypeError) as info:
            use()
        assert str(info.value) == BOOL_MESSAGE
    with pytest.raises(TypeError):
        if x == y:
            pass


def test_augmented_assignment_builds_new_expr(k):
    x = k.arg("x")
    e = x
    e += 1
    assert e is not x and repr(x) == "Expr(x)"


def test_temp_args_and_references(k):
    a = k.arg("same")
    b = k.arg("same")
    assert len((a + b).get_temp_args()) == 2
    assert len((a + a).get_referenced_args()) == 1
    (i,) = ids(a)
    assert (a + 1).get_referenced_args() == [i]
    assert (a + 1).get_temp_args() == {i: "same"}


def test_rewrite_args(k):
    x = k.arg("x")
    (i,) = ids(x)
    moved = x.rewrite_args({i: 5})
    assert repr(moved) == "Expr(x)"
    assert moved.get_referenced_args() == [5]
    assert moved.get_temp_args() == {5: "x"}
    assert repr(x) == "Expr(x)" and x.get_referenced_args() == [i]


def test_rewrite_args_collisions_keep_the_greatest_old_id(k):
    a, b = k.args("a", "b")
    i, j = ids(a, b)
    merged = (a + b).rewrite_args({i: 0, j: 0})
    assert merged.get_temp_args() == {0: "b"}
    assert repr(merged) == "Expr(Binary(Add, ArgRef(0), ArgRef(0)))"
    assert repr((a + b).rewrite_args({})) == repr(a + b)
    assert (a + b).rewrite_args({i: 10**6}).get_referenced_args() == sorted([10**6, j])


@pytest.mark.parametrize("mapping", [[1, 2], {"a": 1}, {1: "b"}, {1.5: 2}, None])
def test_rewrite_args_conversion_errors(k, mapping):
    with pytest.raises(TypeError) as info:
        k.arg("x").rewrite_args(mapping)
    assert str(info.value).startswith("argument 'mapping': ")


@pytest.mark.parametrize("mapping", [{-1: 0}, {0: -1}, {2**64: 0}])
def test_rewrite_args_overflow(k, mapping):
    with pytest.raises(OverflowError):
        k.arg("x").rewrite_args(mapping)


def test_deep_chain_survives_every_tree_operation():
    result = run_python(
        """
        import time, _brindlemox as ext
        k = ext._KernelModule()
        x = k.arg("x")
        e = x
        start = time.perf_counter()
        for _ in range(20_000):
            e = e + x
        build = time.perf_counter() - start
        for _ in range(40_000):
            e = -e
        e = k.sqrt(e) * 2
        print(len(repr(e)))
        i = e.get_referenced_args()[0]
        e = e.rewrite_args({i: i + 1})
        print(e.get_referenced_args() == [i + 1])
        spec = k.elementwise(e)
        del e, spec
        print("built 20000 in %.3f s" % build)
        """,
        timeout=240,
    )
    assert result.returncode == 0, result.stderr[-2000:]
    lines = result.stdout.split()
    assert int(lines[0]) > 100_000
    assert lines[1] == "True"


def test_operands_stay_valid_when_results_built_on_them_are_dropped(k):
    x, y = k.args("x", "y")
    (i, j) = ids(x, y)
    base = x * 2
    built = [base + y, base - y, -base]
    del built[0]
    assert repr(base) == f"Expr(Binary(Mul, ArgRef({i}), Const(2.0)))"
    assert repr(built[0]) == f"Expr(Binary(Sub, Binary(Mul, ArgRef({i}), Const(2.0)), ArgRef({j})))"
    del base
    assert repr(built[1]) == f"Expr(Unary(Neg, Binary(Mul, ArgRef({i}), Const(2.0))))"
    assert built[1].get_temp_args() == {i: "x"}


def test_long_chain_built_used_and_dropped_on_a_small_stack():
    # A thread with 256 KiB of stack: any recursion over 300,000 levels, in
    # building, querying, compiling or freeing, would crash the child.
    result = run_python(
        """
        import threading, _brindlemox as ext
        def work():
            k = ext._KernelModule()
            x, y = k.args("x", "y")
            e = x
            for n in range(100_000):
                e = -(e + y) if n % 2 else e * x
            i, j = e.get_referenced_args()
            print(len(repr(e)), e.get_temp_args() == {i: "x", j: "y"})
            moved = e.rewrite_args({i: 7})
            print(moved.get_referenced_args() == sorted([7, j]))
            spec = k.elementwise(moved)
            outer = k.where_(x > 0, e, y)
            del e, moved, spec
            print(repr(outer).startswith("Expr(Select(Compare(Gt, ArgRef"))
            del outer
        threading.stack_size(256 * 1024)
        thread = threading.Thread(target=work)
        thread.start()
        thread.join()
        print("done")
        """,
        timeout=240,
    )
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.split() == ["3000015", "True", "True", "True", "done"]


def test_numpy_gives_way_to_expr(k):
    x = k.arg("x")
    assert ext.Expr.__array_ufunc__ is None
    # The scalar reaches Expr as given, so its record keeps its dtype.
    for scalar in (np.float32(2.5), np.int8(3)):
        assert ext._expr_record(scalar - x) == (scalar, ("arg", "x"), ("-", 0, 1))
        assert type(ext._expr_record(scalar * x)[0]) is type(scalar)
    with pytest.raises(TypeError, match="does not support ufuncs"):
        np.sin(x)


def test_records_say_how_an_expression_was_built(k):
    x, y = k.args("x", "y")
    # Each distinct step once, after its operands, which it reads by index.
    assert ext._expr_record((x * 2 + True) > -y) == (
        ("arg", "x"), 2, ("*", 0, 1), True, ("+", 2, 3), ("arg", "y"), ("u-", 5), (">", 4, 6))
    assert ext._expr_record(abs(x) ** 1.5 / (x - 1) < y) == (
        ("arg", "x"), ("abs", 0), 1.5, ("**", 1, 2), 1, ("-", 0, 4), ("/", 3, 5), ("arg", "y"), ("<", 6, 7))
    square = x * x
    assert ext._expr_record(square * square) == (("arg", "x"), ("*", 0, 0), ("*", 1, 1))
    # Built otherwise, the record is unknown, and stays so in what is built from it.
    assert ext._expr_record(k.sqrt(x)) is None and ext._expr_record(k.sqrt(x) + 1) is None
    # The package records its functions' results.
    assert ext._expr_record(ext._expr_built(k.sqrt(x), "sqrt", (x,))) == (("arg", "x"), ("sqrt", 0))
    assert ext._expr_record(ext._expr_built(k.sqrt(x), "hypot", (k.sqrt(x), 2))) is None
    with pytest.raises(TypeError, match="'list' object cannot be converted to 'tuple'"):
        ext._expr_built(x, "sqrt", [x])


def test_a_deep_record_is_flat(k):
    # The interpreter frees nested objects recursively (3.13 deep enough to
    # overflow a thread's small stack): however long the chain, its record
    # is one tuple whose entries nest nothing and read earlier ones by index.
    x, y = k.args("x", "y")
    e = x
    for n in range(10_000):
        e = -(e + y) if n % 2 else e * 2
    record = ext._expr_record(e)
    # x and y, then two entries a step: (2, *) or (+, u-).
    assert len(record) == 20_002
    for position, entry in enumerate(record):
        if entry == ("arg", "x") or entry == ("arg", "y") or entry == 2:
            continue
        name, *operands = entry
        assert name in ("*", "+", "u-") and all(type(i) is int and 0 <= i < position for i in operands)
