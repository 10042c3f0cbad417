"""Mapping a unit function over many tasks: in this process, a process pool, or Dask.

Each engine yields results as they complete and keeps only a few tasks in flight, so that
memory stays the same whether there are a thousand tasks or ten million.
"""

from __future__ import annotations

import itertools
import os
import signal
from collections.abc import Callable, Iterable, Iterator
from typing import Any, Optional, TypeVar

Result = TypeVar("Result")
Task = tuple[Any, ...]

# Tasks queued per worker beyond the one it runs: enough that no worker waits for the
# main process, few enough that results do not pile up.
IN_FLIGHT_PER_WORKER = 2


class EngineError(Exception):
    """A task that failed in a worker: an engine or environment fault, not a bad input."""


def outcome(future: Any) -> Any:
    """A finished task's result; its failure as an `EngineError` naming the cause."""
    try:
        return future.result()
    except Exception as error:  # the unit functions raise only when the worker itself fails
        raise EngineError(f"a worker failed: {type(error).__name__}: {error}") from error


def usable_cores() -> int:
    """The cores this process may run on (its affinity where the system has it)."""
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def completed(
    unit: Callable[..., Result],
    tasks: Iterable[Task],
    jobs: int,
    dask_address: Optional[str] = None,
) -> Iterator[Result]:
    """`unit(*task)` for each task, in the order the results come in."""
    if dask_address is not None:
        return on_dask(unit, tasks, dask_address)
    if jobs == 1:
        return (unit(*task) for task in tasks)
    return in_pool(unit, tasks, jobs)


def ignore_interrupts() -> None:
    # Ctrl-C reaches the whole process group: the main process decides what happens, and
    # a worker finishes its chunk instead of dying with a traceback in the middle of a file.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def in_pool(unit: Callable[..., Result], tasks: Iterable[Task], jobs: int) -> Iterator[Result]:
    from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait

    pool = ProcessPoolExecutor(max_workers=jobs, initializer=ignore_interrupts)
    pending: set[Future[Result]] = set()
    try:
        for task in tasks:
            pending.add(pool.submit(unit, *task))
            if len(pending) >= jobs * (1 + IN_FLIGHT_PER_WORKER):
                done, pending = wait(pending, return_when=FIRST_COMPLETED)
            else:  # results go out as they come, even while the tasks trickle in
                done = {future for future in pending if future.done()}
                pending -= done
            yield from (outcome(future) for future in done)
        while pending:
            done, pending = wait(pending, return_when=FIRST_COMPLETED)
            yield from (outcome(future) for future in done)
    except KeyboardInterrupt:
        # The few tasks in flight finish (workers ignore Ctrl-C) and their results are
        # kept; a second Ctrl-C stops the wait.
        yield from (outcome(future) for future in pending)
        raise
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def on_dask(unit: Callable[..., Result], tasks: Iterable[Task], address: str) -> Iterator[Result]:
    from distributed import Client, as_completed

    with Client(address) as client:
        workers = sum(client.nthreads().values()) or 1
        queue = iter(tasks)
        first = itertools.islice(queue, workers * (1 + IN_FLIGHT_PER_WORKER))
        running = as_completed([client.submit(unit, *task, pure=False) for task in first])
        for future in running:
            yield outcome(future)
            future.release()
            following = next(queue, None)
            if following is not None:
                running.add(client.submit(unit, *following, pure=False))


def sync_everywhere(dask_address: Optional[str]) -> None:
    """Flushes written files to disk on this machine, or on every Dask worker's."""
    if dask_address is None:
        os.sync()
        return
    from distributed import Client

    with Client(dask_address) as client:
        client.run(os.sync)
