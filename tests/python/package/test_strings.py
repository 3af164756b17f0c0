"""Strings in text: bytes and unicode arrays and constants compared and
searched as NumPy compares them (trailing NULs do not count, shorter strings
are padded), elementwise with broadcasting, into booleans that combine with
everything else; arithmetic on strings refused."""

import itertools
import operator

import numpy as np
import pytest

import brindlemox as bm

_WORDS = [b"", b"a", b"ab", b"ab\0", b"abc", b"b", b"\0", b"a\0b", b"ab\0\0", b"zz", b"foo", b"foobar", b"foo\0bar"]
_COMPARE = {"<": operator.lt, "<=": operator.le, ">": operator.gt, ">=": operator.ge, "==": operator.eq,
            "!=": operator.ne}  # fmt: skip


def _arrays(kind: str) -> tuple[np.ndarray, np.ndarray]:
    words = _WORDS if kind == "S" else [word.decode() for word in _WORDS]
    pairs = list(itertools.product(words, repeat=2))
    left = np.array([a for a, _ in pairs])
    right = np.array([b for _, b in pairs], dtype=f"{kind}9")
    return left, right


@pytest.mark.parametrize("kind", ["S", "U"])
@pytest.mark.parametrize("symbol", list(_COMPARE))
def test_comparisons_are_numpys(kind, symbol):
    a, b = _arrays(kind)
    expected = _COMPARE[symbol](a, b)
    got = bm.evaluate(f"a {symbol} b", {"a": a, "b": b})
    assert got.dtype == np.bool_ and got.tolist() == expected.tolist()
    # Broadcast against a constant of the text and against a column.
    constant = b"ab" if kind == "S" else "ab"
    assert bm.evaluate(f"a {symbol} {constant!r}", {"a": a}).tolist() == _COMPARE[symbol](a, constant).tolist()
    column = a[:4].reshape(4, 1)
    assert bm.evaluate(f"c {symbol} b", {"c": column, "b": b}).tolist() == _COMPARE[symbol](column, b).tolist()


@pytest.mark.parametrize(
    ("s1", "s2"), [(b"foo", b"foobar"), (b"foo", b"foo\0bar"), (b"foo\0a", b"foo\0bar")]
)
def test_a_prefix_is_less(s1, s2):
    values = {"s1": s1, "s2": s2}
    for text in ["s1 < s2", "s1 <= s2", "~(s1 == s2)", "~(s1 >= s2)", "~(s1 > s2)"]:
        assert bm.evaluate(text, values)
    assert bm.evaluate("s1 == s2", {"s1": b"foo", "s2": b"foo\0\0"})


def test_contains_is_pythons_in():
    words = [b"", b"a", b"ab", b"ba", b"abc", b"test abc here", b" abc ", b"\tabc", b"x" * 40, b"1" + b"x" * 40]
    pairs = list(itertools.product(words, repeat=2))
    haystacks = np.array([a for a, _ in pairs])
    needles = np.array([b for _, b in pairs])
    got = bm.evaluate("contains(h, n)", {"h": haystacks, "n": needles})
    assert got.tolist() == [needle in haystack for haystack, needle in pairs]
    assert bm.evaluate('contains(b"abcd", n)', {"n": np.array([b"abc", b"def", b""])}).tolist() == [True, False, True]
    assert bm.evaluate('contains(b"abc", b"ab")')


def test_results_combine_with_the_rest():
    a = np.array([b"", b"pepe", b"x"])
    b = np.array([b"pepe2", b"", b"x"])
    x = np.array([1.0, 2.0, 3.0])
    assert bm.evaluate("(a == b'') & (b == b'pepe2')", {"a": a, "b": b}).tolist() == [True, False, False]
    assert bm.evaluate("(a == b) | ~(x > 1)", {"a": a, "b": b, "x": x}).tolist() == [True, False, True]
    got = bm.evaluate("where(contains(a, b'pe'), x * 2, -x)", {"a": a, "x": x})
    assert got.dtype == np.float64 and got.tolist() == [-1.0, 4.0, -3.0]
    assert bm.evaluate("b'a' < a < b'q'", {"a": a}).tolist() == [False, True, False]
    column = np.array([[b"q"], [b"a"]])
    chained = bm.evaluate("b'' < a < c", {"a": a, "c": column})
    assert chained.tolist() == ((b"" < a) & (a < column)).tolist()


def test_a_bare_string_is_copied_whole():
    for s in [b"\0\0\0", b"\0\0foo\0", b"foo\0b\0", b"foo\0bar\0baz\0\0"]:
        assert bm.evaluate("s", {"s": s}).tobytes() == s
    array = np.array([b"foo", b"bar"])
    got = bm.evaluate("s", {"s": array})
    assert got is not array and got.tolist() == array.tolist()


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("a + b", "operator '+' is not defined for strings (only comparisons and contains are)"),
        ("-a", "operator '-' is not defined for strings (only comparisons and contains are)"),
        ("sqrt(a)", "function 'sqrt' is not defined for strings (only comparisons and contains are)"),
        ("a >= n", "strings compare with strings only, not with numbers"),
        ("a == 1", "strings compare with strings only, not with numbers"),
        ("contains(a, n)", "contains() takes strings, not numbers"),
        ("where(n > 0, a, b)", "function 'where' is not defined for strings (only comparisons and contains are)"),
    ],
)
def test_arithmetic_on_strings_is_refused(text, message):
    values = {"a": np.array([b"foo", b"x"]), "b": np.array([b"", b"y"]), "n": np.arange(2, dtype=np.int32)}
    with pytest.raises(bm.UnsupportedOperation) as error:
        bm.evaluate(text, values)
    assert str(error.value) == message


def test_validate_computes_nothing_and_says_what_evaluate_raises():
    values = {"a": np.array([b"x", b"y"]), "b": np.array([b"x"]), "c": np.array([b"x", b"y", b"z"])}
    assert bm.validate("(a == b) | contains(a, b'y')", values) is None
    assert isinstance(bm.validate("a + b", values), bm.UnsupportedOperation)
    for text, shapes in [("a == c", "(2,) (3,)"), ("contains(c, a)", "(3,) (2,)")]:
        error = bm.validate(text, values)
        assert type(error) is ValueError
        assert str(error) == f"operands could not be broadcast together with shapes {shapes}"
        with pytest.raises(ValueError) as raised:
            bm.evaluate(text, values)
        assert str(raised.value) == str(error)


def test_a_str_constant_meets_bytes_as_bytes():
    x = np.array([b"a", b"b:"])
    assert bm.evaluate("x == 'b:'", {"x": x}).tolist() == [False, True]
    assert bm.evaluate("contains(x, ':')", {"x": x}).tolist() == [False, True]
    with pytest.raises(bm.UnsupportedOperation) as error:
        bm.evaluate("x == '\u00e9'", {"x": x})
    assert str(error.value) == "'\u00e9' is not ASCII, and compares with bytes only as ASCII"


def test_lists_of_strings_are_strings():
    got = bm.evaluate("contains(h, n)", {"h": [b"cab", b"y"], "n": [b"ab", b"x"]})
    assert got.tolist() == [True, False]
