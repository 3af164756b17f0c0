"""The engine's threads in a ``distributed`` worker's own process: its first
brindlemox task sizes the pool to the worker's share of the host's CPUs, so
that workers x threads x pool threads never exceeds them. Workers in the
caller's process (an in-process cluster) leave its pool alone."""

# distributed ships without type annotations: its calls return Any.
# mypy: disable-error-code="no-any-return"

from __future__ import annotations

import os
import sys
import threading
from typing import TYPE_CHECKING

from ._threads import set_num_threads

if TYPE_CHECKING:
    from distributed import Worker

_settled_lock = threading.Lock()
_settled = False  # whether this process has sized its engine pool, or found it is not its to size


def use_share_of_cpus() -> None:
    """In a ``distributed`` worker's own process, size the engine pool once to its share of CPUs.

    The engine's default pool takes every CPU of the process; W worker processes of T threads
    each would then run W x T x CPUs threads. The share is the CPUs this process may use divided
    by the task threads of all workers on its host, at least 1 (the calling thread alone).
    """
    global _settled
    if _settled:
        return
    worker = _current_worker()
    if worker is None:
        return
    with _settled_lock:
        if not _settled:
            if _runs_workers_only():
                set_num_threads(_share_of_cpus(worker))
            _settled = True


def _runs_workers_only() -> bool:
    """Whether this process holds no scheduler and no client but those its workers made.

    Workers of an in-process cluster share the caller's engine, whose pool size is the
    caller's to choose.
    """
    from distributed import Client, Scheduler, Worker

    return not Scheduler._instances and all(client in Worker._initialized_clients for client in Client._instances)


def _current_worker() -> Worker | None:
    distributed = sys.modules.get("distributed")
    if distributed is None:  # nothing has imported it, so this is no worker
        return None
    try:
        return distributed.get_worker()
    except ValueError:  # not inside a worker's task
        return None


def _share_of_cpus(worker: Worker) -> int:
    from distributed.comm.addressing import get_address_host
    from distributed.utils import sync

    threads = worker.state.nthreads
    try:
        identity = sync(worker.loop, worker.scheduler.identity)
    except OSError:  # the scheduler is unreachable: count this worker's threads alone
        pass
    else:
        host = get_address_host(worker.address)
        threads = max(threads, sum(info["nthreads"] for info in identity["workers"].values() if info["host"] == host))
    return max(1, len(os.sched_getaffinity(0)) // threads)
