"""The one settler thread: how engine completions reach Python.

Every asynchronous operation is an engine task that posts a token (an integer
chosen here) to the engine's settle queue when it becomes terminal. One daemon
thread, started on first use, waits in `_take_settled` without the
interpreter lock and hands each batch of tokens to whatever registered them,
so pending work costs no Python thread and no polling however much of it
there is. A token can arrive before its registration (the work finished
while it was being submitted); it is then kept until the registration comes.

After fork() the child starts its own thread on first use; what was pending
in the parent is failed there, since the engine threads that would have
finished it exist only in the parent.
"""

from __future__ import annotations

import itertools
import os
import sys
import threading
from collections.abc import Callable
from typing import TYPE_CHECKING, Final

from _brindlemox import _take_settled

if TYPE_CHECKING:
    import asyncio

#: Called on the settler thread with nothing held, and must not block; its
#: argument says that a fork left the work behind in the parent.
Settle = Callable[[bool], None]

_LOST_AT_FORK: Final = "the work was submitted in the parent process, which alone runs it"


class _Registry:
    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.pending: dict[int, Settle] = {}
        # Tokens settled before they were registered.
        self.early: set[int] = set()
        self.tokens = itertools.count(1)
        self.thread: threading.Thread | None = None


_registry = _Registry()


def new_token() -> int:
    """A token no pending operation of this process uses."""
    return next(_registry.tokens)


def register(token: int, settle: Settle) -> None:
    """Calls `settle` once the engine posts `token` (at once, on this thread,
    if it already has)."""
    registry = _registry
    with registry.lock:
        if token not in registry.early:
            registry.pending[token] = settle
            if registry.thread is None:
                registry.thread = _start()
            return
        registry.early.discard(token)
    settle(False)


def _start() -> threading.Thread:
    thread = threading.Thread(target=_run, name="brindlemox-settler", daemon=True)
    thread.start()
    return thread


def _run() -> None:
    registry = _registry
    while True:
        tokens = _take_settled()
        with registry.lock:
            ready = []
            for token in tokens:
                settle = registry.pending.pop(token, None)
                if settle is None:
                    registry.early.add(token)
                else:
                    ready.append(settle)
        for settle in ready:
            try:
                settle(False)
            except BaseException:
                # One failing settlement must not strand every later one.
                sys.excepthook(*sys.exc_info())


def _after_fork_in_child() -> None:
    global _registry
    orphans = list(_registry.pending.values())
    _registry = _Registry()
    for settle in orphans:
        settle(True)


def wake_loop(loop: asyncio.AbstractEventLoop, waiter: asyncio.Future[None], lost: bool) -> None:
    """Settles `waiter` on its loop's thread: one call_soon_threadsafe. A
    waiter cancelled by then, or whose loop is closed, has nobody waiting."""
    try:
        loop.call_soon_threadsafe(_resolve, waiter, lost)
    except RuntimeError:  # the loop is closed
        pass


def _resolve(waiter: asyncio.Future[None], lost: bool) -> None:
    if waiter.done():
        return
    if lost:
        waiter.set_exception(lost_at_fork())
    else:
        waiter.set_result(None)


def lost_at_fork() -> RuntimeError:
    """The error of work that a fork left behind in the parent."""
    return RuntimeError(_LOST_AT_FORK)


os.register_at_fork(after_in_child=_after_fork_in_child)
