"""Where the names of an expression text are looked up: the dicts a call
gives, else its caller's variables."""

import sys
from collections.abc import Iterator, Mapping
from types import FrameType
from typing import Final

from _brindlemox import _frame_variable

_EMPTY: Final[Mapping[str, object]] = {}
#: The code flag of a function's frame, whose variables live in the frame
#: rather than in a dict (`inspect.CO_OPTIMIZED`).
_OPTIMIZED: Final = 0x1


class _FrameLocals(Mapping[str, object]):
    """A function frame's variables, each read alone when asked for:
    `frame.f_locals` would copy every one of them on every call."""

    __slots__ = ("_frame",)

    def __init__(self, frame: FrameType) -> None:
        self._frame = frame

    def __getitem__(self, name: str) -> object:
        return _frame_variable(self._frame, name)

    def __iter__(self) -> Iterator[str]:
        return iter(self._frame.f_locals)

    def __len__(self) -> int:
        return len(self._frame.f_locals)


def namespaces(
    local_dict: Mapping[str, object] | None, global_dict: Mapping[str, object] | None
) -> tuple[Mapping[str, object], Mapping[str, object]]:
    """Where names are looked up: the dicts given, with the caller's frame (two
    calls up) standing in for them when neither is given, and its globals
    behind a `local_dict` given alone. The binding finds a call seen before
    its names where this does (`_seen_text`)."""
    if global_dict is not None:
        return _EMPTY if local_dict is None else local_dict, global_dict
    if local_dict is not None:
        return local_dict, sys._getframe(2).f_globals
    frame = sys._getframe(2)
    try:
        function = frame.f_code.co_flags & _OPTIMIZED
        return _FrameLocals(frame) if function else frame.f_locals, frame.f_globals
    finally:
        del frame


def _lookup_one(name: str, local_dict: Mapping[str, object], global_dict: Mapping[str, object]) -> object:
    # Indexing, not `in`: a defaultdict or a lazy mapping answers names it
    # does not list.
    try:
        return local_dict[name]
    except KeyError:
        pass
    try:
        return global_dict[name]
    except KeyError:
        raise NameError(f"name '{name}' is not defined", name=name) from None


def lookup(
    names: tuple[str, ...], local_dict: Mapping[str, object], global_dict: Mapping[str, object]
) -> tuple[object, ...]:
    """The values of `names`, each from `local_dict`, else `global_dict`;
    NameError for a name in neither."""
    try:
        return tuple([local_dict[name] for name in names])
    except KeyError:
        return tuple([_lookup_one(name, local_dict, global_dict) for name in names])
