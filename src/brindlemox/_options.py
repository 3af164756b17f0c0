"""The keywords of `evaluate` and `validate` beyond the expression and its names,
checked before any work: the result's `order`, the `casting` into `out`, and
the keywords numexpr takes that change nothing here."""

import ast
import functools
import os
import re
from collections.abc import Mapping
from typing import Final

import numpy as np

from ._inputs import Order

_F64: Final = np.dtype(np.float64)
#: numexpr's (and NumPy's) layout letters.
ORDERS: Final = ("K", "A", "C", "F")
# The defaults of `order` and `casting`.
DEFAULT_ORDER: Final = "K"
DEFAULT_CASTING: Final = "same_kind"
#: NumPy's casting rules; each lets a dtype be cast to itself.
RULES: Final = frozenset(("no", "equiv", "safe", "same_kind", "unsafe"))

# Both choose between ways of computing that give the same float64 results here:
# every operation is float64 and `/` is always true division.
_COMPATIBLE: Final[Mapping[str, tuple[object, ...]]] = {
    "optimization": ("none", "moderate", "aggressive"),
    "truediv": (False, True, "auto"),
}


def check_order(order: object) -> Order:
    """`order` if it is one of numexpr's (and NumPy's) layout letters."""
    if type(order) is not str or order not in ORDERS:
        raise ValueError(f"order must be one of 'C', 'F', 'A', or 'K' (got {order!r})")
    return order  # type: ignore[return-value]


def check_casting_rule(casting: object) -> None:
    """NumPy's ValueError when `casting` is not one of its casting rules."""
    if type(casting) is not str or casting not in RULES:
        np.can_cast(_F64, _F64, casting=casting)  # type: ignore[arg-type]


def check_casting(function: str, casting: object, out: object, dtype: np.dtype = _F64) -> None:
    """Raises NumPy's ValueError for an unknown `casting` rule, and TypeError
    when the rule forbids casting a result of `dtype` to `out`'s dtype."""
    target = out.dtype if isinstance(out, np.ndarray) else dtype
    if target == dtype and type(casting) is str and casting in RULES:
        return
    # NumPy's own check, so that its words for an unknown rule are the ones seen.
    if not np.can_cast(dtype, target, casting=casting):  # type: ignore[arg-type]
        raise TypeError(f"Cannot cast {function}() output from {dtype!r} to {target!r} with casting rule {casting!r}")


def check_keywords(function: str, keywords: Mapping[str, object]) -> bool:
    """Checks the further keywords of a call; returns whether it asked not to
    be cached (numexpr's `disable_cache`)."""
    for name, value in keywords.items():
        if name == "disable_cache":
            continue
        allowed = _COMPATIBLE.get(name)
        if allowed is None:
            raise TypeError(f"{function}() got an unexpected keyword argument '{name}'")
        # numexpr's own test, so 1 stands for True as it does there.
        if type(value) not in (str, bool, int) or value not in allowed:
            listed = ", ".join(repr(choice) for choice in allowed)
            raise ValueError(f"{name} must be one of {listed} (got {value!r})")
    return bool(keywords.get("disable_cache", False))


def check_options(
    function: str, out: object, order: object, casting: object, keywords: Mapping[str, object]
) -> tuple[Order, bool]:
    """The checked `order`, and whether the call may use and fill the caches."""
    cached = not check_keywords(function, keywords) if keywords else True
    # The checks' own calls only for a word they refuse: the others cost a call nothing.
    if type(order) is not str or order not in ORDERS:
        check_order(order)
    if type(casting) is not str or casting not in RULES:
        check_casting_rule(casting)
    return order, cached  # type: ignore[return-value]


# What sanitizing refuses outside string literals and numbers (whose dots
# are no attributes): statements, slices and lambdas, subscripts, and
# attributes but the parts of a complex value.
_STRING_LITERAL: Final = re.compile(r"'[^']*'|\"[^\"]*\"")
_NUMBER: Final = re.compile(r"(?<![\w.])(?:\d[\d_]*\.?[\d_]*|\.\d[\d_]*)(?:[eE][+-]?\d+)?[jJ]?")
_FORBIDDEN: Final = re.compile(r"[;:\[]|\.(?!\s*(?:real|imag)\b)")


@functools.lru_cache(maxsize=256)
def forbidden(text: str) -> str | None:
    """What in `text` sanitizing refuses, or None. Text the language reads
    refuses attributes, subscripts and lambdas by itself, with ValueErrors
    that name them; sanitizing adds dunder names, which are names to the
    language, and text that is no expression, which Python's parser refuses
    with a SyntaxError."""
    cleaned = _NUMBER.sub("0", _STRING_LITERAL.sub("''", text))
    if "__" in cleaned:
        return "__"
    found = _FORBIDDEN.search(cleaned)
    if found is None:
        return None
    try:
        ast.parse(text.strip(), mode="eval")
    except SyntaxError:
        return found.group()
    return None


def check_sanitized(text: str, sanitize: object) -> None:
    """numexpr's ValueError for text that sanitizing refuses, when `sanitize`
    is True, or None with ``NUMEXPR_SANITIZE=1`` set as numexpr reads it.
    Unasked, nothing is refused: the text is never run by the interpreter,
    so a dunder name is a name like any other."""
    refused = forbidden(text)
    if refused is None or sanitize is False:
        return
    if sanitize is None and os.environ.get("NUMEXPR_SANITIZE") != "1":
        return
    raise ValueError(f"expression {text!r} holds {refused!r}, which sanitize refuses")
