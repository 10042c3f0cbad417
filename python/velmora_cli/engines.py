"""Mapping a unit function over many tasks: in this process, a process pool, or Dask.

Each engine yields results as they complete and keeps only a few tasks in flight, so that
memory stays the same whether there are a thousand tasks or ten million.
"""

from __future__ import annotations

import contextlib
import itertools
import os
import signal
from collections.abc import Callable, Iterable, Iterator
from typing import Any, Optional, TypeVar

Result = TypeVar("Result")
Task = tuple[Any, ...]

# Tasks queued per Dask worker beyond the one it runs: enough that no worker waits for the
# scheduler's round trip, few enough that results do not pile up.
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
    """Each worker holds one task at a time and gets the next as soon as it hands a result
    in, so nothing queues anywhere but in `tasks` itself.

    A pipe per worker and no helper threads: the main process costs a few microseconds per
    task, where a `concurrent.futures` pool, with its queues and threads, cost as much as
    a tenth of a worker's time on a 2-core machine.
    """
    import multiprocessing
    from multiprocessing.connection import wait

    workers = [Worker(multiprocessing.get_context(), unit) for _ in range(jobs)]
    queue = iter(tasks)
    busy: dict[Any, Worker] = {}
    try:
        for worker in workers:
            if worker.take(queue):
                busy[worker.connection] = worker
        while busy:
            for connection in wait(list(busy)):
                worker = busy.pop(connection)
                result = worker.result()
                if worker.take(queue):
                    busy[connection] = worker
                yield result
    except KeyboardInterrupt:
        # The tasks in flight finish (workers ignore Ctrl-C) and their results are kept; a
        # second Ctrl-C stops the wait.
        yield from (worker.result() for worker in busy.values())
        raise
    finally:
        for worker in workers:
            worker.stop()


class Worker:
    """A process running `unit` on the tasks sent down its pipe."""

    def __init__(self, context: Any, unit: Callable[..., Any]) -> None:
        self.connection, theirs = context.Pipe()
        self.process = context.Process(target=serve, args=(theirs, unit), daemon=True)
        self.process.start()
        theirs.close()
        self.busy = False

    def take(self, queue: Iterator[Task]) -> bool:
        """Sends the next task of `queue`; False when there is none."""
        task = next(queue, None)
        if task is None:
            return False
        self.connection.send(task)
        self.busy = True
        return True

    def result(self) -> Any:
        self.busy = False
        try:
            failed, value = self.connection.recv()
        except (EOFError, OSError):
            self.process.join()
            raise EngineError(f"a worker died (exit status {self.process.exitcode})") from None
        if failed:
            raise EngineError(f"a worker failed: {value}")
        return value

    def stop(self) -> None:
        """Ends the process; one still at work has its result thrown away, so it is ended
        at once rather than waited for."""
        if self.busy:
            self.process.terminate()
        else:  # said, not left to the pipe's end: forked siblings hold copies of this end
            with contextlib.suppress(OSError):
                self.connection.send(None)
        self.connection.close()
        self.process.join()


def serve(connection: Any, unit: Callable[..., Any]) -> None:
    """A worker's life: a task in, its result out, until told to stop or the pipe closes."""
    ignore_interrupts()
    while True:
        try:
            task = connection.recv()
        except EOFError:
            return
        if task is None:
            return
        try:
            reply = (False, unit(*task))
        except Exception as error:  # the unit functions raise only when the worker itself fails
            reply = (True, f"{type(error).__name__}: {error}")
        try:
            connection.send(reply)
        except OSError:  # the main process is gone or stopped listening
            return


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
