"""The elementwise functions of `_functions`, by every name they are known by."""

from collections.abc import Callable, Mapping
from types import MappingProxyType
from typing import Final

from . import _functions
from ._build import Entry, Operand, entry_of

#: Every public name of `_functions` (aliases included), in its order, with
#: the function it is bound to. The package exports each of them.
FUNCTIONS: Final[Mapping[str, Callable[..., Operand]]] = MappingProxyType(
    {name: value for name, value in vars(_functions).items() if entry_of(value) is not None}
)


def entry(function: Callable[..., Operand]) -> Entry:
    """The entry of a function of `FUNCTIONS`."""
    found = entry_of(function)
    assert found is not None
    return found


#: Every function name of expression text: the public ones and each
#: function's further text names.
TEXT_FUNCTIONS: Final[Mapping[str, Callable[..., Operand]]] = MappingProxyType(
    {**FUNCTIONS, **{name: function for function in FUNCTIONS.values() for name in entry(function).text_names}}
)
