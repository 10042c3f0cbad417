"""Mapping a unit function over many tasks: in this process, a process pool, or Dask.

Each engine yields results as they complete and keeps only a few tasks in flight, so that
memory stays the same whether there are a thousand tasks or ten million.
"""

from __future__ import annotations

import contextlib
import itertools
import os
import signal
from collections.abc import Callable, Generator, Iterable, Iterator
from typing import Any, Optional, TypeVar, cast

from . import signals

Result = TypeVar("Result")
Task = tuple[Any, ...]

# Tasks queued per Dask worker beyond the one it runs: enough that no worker waits for the
# scheduler's round trip, few enough that results do not pile up.
IN_FLIGHT_PER_WORKER = 2
# Seconds an idle worker is given to leave when told to, before it is ended.
STOP_WAIT = 5


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
) -> Generator[Result, None, None]:
    """`unit(*task)` for each task, in the order the results come in.

    Run the generator to its end or close it: while it waits for its taker to ask for the
    next result, it holds Ctrl-C back."""
    if dask_address is not None:
        return on_dask(unit, tasks, dask_address)
    if jobs == 1:
        return in_process(unit, tasks)
    return in_pool(unit, tasks, jobs)


def in_process(unit: Callable[..., Result], tasks: Iterable[Task]) -> Generator[Result, None, None]:
    """`unit(*task)` for each task, here. As with workers, a first Ctrl-C lets the task
    running finish and ends the run after its result; a second ends it at once."""
    for task in tasks:
        with InterruptDeferred() as deferred:
            result = unit(*task)
            # Until the result is taken a first Ctrl-C is only noted too: raised in between,
            # it would lose the result of work already done.
            yield result
        if deferred.interrupted:
            raise KeyboardInterrupt


class InterruptDeferred:
    """In the main thread, a first SIGINT within the block is only noted; a second raises
    KeyboardInterrupt. An ignored SIGINT stays ignored."""

    def __enter__(self) -> InterruptDeferred:
        import threading

        self.interrupted = False
        self.previous = signal.getsignal(signal.SIGINT)
        self.active = (
            threading.current_thread() is threading.main_thread()
            and self.previous is not signal.SIG_IGN
        )
        if self.active:
            signal.signal(signal.SIGINT, self.note)
        return self

    def note(self, number: int, frame: Any) -> None:
        if self.interrupted:
            raise KeyboardInterrupt
        self.interrupted = True

    def __exit__(self, *exception: object) -> None:
        if self.active:
            signal.signal(signal.SIGINT, self.previous)


def handing_over() -> signals.Held:
    """Holds Ctrl-C back while a task or a result changes hands. Held across a `yield`, it
    stays held while the taker deals with the result, until it asks for the next."""
    return signals.Held((signal.SIGINT,))


def ignore_interrupts() -> None:
    # Ctrl-C reaches the whole process group: the main process decides what happens, and
    # a worker finishes its chunk instead of dying with a traceback in the middle of a file.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def in_pool(
    unit: Callable[..., Result], tasks: Iterable[Task], jobs: int
) -> Generator[Result, None, None]:
    """Each worker holds one task at a time and gets the next as soon as it hands a result
    in, so nothing queues anywhere but in `tasks` itself.

    A pipe per worker and no helper threads: the main process costs a few microseconds per
    task, where a `concurrent.futures` pool, with its queues and threads, cost as much as
    a tenth of a worker's time on a 2-core machine. Workers start as tasks come, up to `jobs`.

    Whatever ends the run early (Ctrl-C, a task source that fails, a worker that dies) first
    lets the tasks in flight finish and yields their results: a writing operation has done
    its work by then, and its records must not be lost. A second Ctrl-C stops that wait;
    SIGTERM and SIGHUP end the workers at once.
    """
    import multiprocessing

    pool = Pool(multiprocessing.get_context(), unit, jobs)
    queue = iter(tasks)
    try:
        while pool.hand_out(queue):
            yield from pool.results()
        while pool.busy:
            yield from pool.results()
    except (KeyboardInterrupt, Exception) as error:  # not SIGTERM or SIGHUP: they end it at once
        # A Ctrl-C held back until the caller gave up and closed this generator is not a
        # first Ctrl-C: nobody is left to take the results in flight.
        if not isinstance(error.__context__, GeneratorExit):
            yield from pool.results_in_flight()
        raise
    finally:
        pool.stop()


class Pool:
    """Worker processes, each with a pipe of its own and at most one task."""

    def __init__(self, context: Any, unit: Callable[..., Any], size: int) -> None:
        self.context, self.unit, self.size = context, unit, size
        self.workers: list[Worker] = []

    @property
    def busy(self) -> dict[Any, Worker]:
        """The workers with a task, by their pipe's end."""
        return {worker.connection: worker for worker in self.workers if worker.busy}

    def hand_out(self, queue: Iterator[Task]) -> bool:
        """Gives a task of `queue` to each idle worker; False once `queue` is exhausted."""
        while len(self.busy) < self.size:
            task = next(queue, None)
            if task is None:
                return False
            self.idle_worker().send(task)
        return True

    def idle_worker(self) -> Worker:
        for worker in self.workers:
            if not worker.busy:
                return worker
        # The main-side ends of the pipes so far, which a forked worker must not keep: a
        # pipe whose other end lingers in a sibling never reads as closed.
        inherited = [worker.connection for worker in self.workers]
        self.workers.append(Worker(self.context, self.unit, inherited))
        return self.workers[-1]

    def results(self) -> Iterator[Any]:
        """The results of the workers done next (at least one, when any is busy)."""
        from multiprocessing.connection import wait

        busy = self.busy
        for connection in wait(list(busy)):
            # Ctrl-C waits from a result's arrival until the taker comes back for the next:
            # a worker marked idle has handed its result over, which must not be dropped.
            with handing_over():
                yield busy[connection].result()

    def results_in_flight(self) -> Iterator[Any]:
        """The results of every busy worker, as they finish; those of dead workers are lost."""
        while self.busy:
            try:
                yield from self.results()
            except EngineError:
                continue

    def stop(self) -> None:
        for worker in self.workers:
            worker.stop()


class Worker:
    """A process running `unit` on the tasks sent down its pipe."""

    def __init__(self, context: Any, unit: Callable[..., Any], inherited: list[Any]) -> None:
        self.connection, theirs = context.Pipe()
        forked = context.get_start_method() == "fork"
        close_first = [*inherited, self.connection] if forked else []
        self.process = context.Process(
            target=serve, args=(theirs, unit, close_first), daemon=True
        )
        with signals.Held():  # until the worker has its own handlers
            self.process.start()
        theirs.close()
        self.busy = False

    def send(self, task: Task) -> None:
        # Ctrl-C waits until the worker is marked busy: a task sent to a worker marked idle
        # would be done with nobody waiting for its result.
        with handing_over():
            try:
                self.connection.send(task)
            except OSError:
                raise self.died() from None
            self.busy = True

    def result(self) -> Any:
        try:
            failed, value = self.connection.recv()
        except (EOFError, OSError):
            self.busy = False
            raise self.died() from None
        self.busy = False
        if failed:
            raise EngineError(f"a worker failed: {value}")
        return value

    def died(self) -> EngineError:
        self.process.join()
        return EngineError(f"a worker died (exit status {self.process.exitcode})")

    def stop(self) -> None:
        """Ends the process; one still at work has its result thrown away, so it is ended
        at once rather than waited for."""
        if not self.busy:
            with contextlib.suppress(OSError):
                self.connection.send(None)
            self.process.join(STOP_WAIT)
        if self.process.is_alive():
            self.process.terminate()
            self.process.join(STOP_WAIT)
        if self.process.is_alive():  # already leaving, and stuck on its way out
            self.process.kill()
            self.process.join()
        self.connection.close()


def serve(connection: Any, unit: Callable[..., Any], close_first: list[Any]) -> None:
    """A worker's life: a task in, its result out, until told to stop or the pipe closes."""
    for inherited in close_first:
        inherited.close()
    ignore_interrupts()
    # SIGTERM and SIGHUP unwind a write in progress, removing its temporary file. The main
    # process's SIGTERM may follow the group's SIGHUP at once: one is enough.
    signals.trap(once=True)
    try:
        signals.release()  # a signal held since the start arrives here, and ends it quietly
        serve_tasks(connection, unit)
    except signals.Interrupted as interrupted:  # ended on purpose: quietly
        raise SystemExit(interrupted.status) from None


def serve_tasks(connection: Any, unit: Callable[..., Any]) -> None:
    while True:
        try:
            task = connection.recv()
        except EOFError:
            return
        if task is None:
            return
        try:
            reply = (False, unit(*task))
        except (KeyboardInterrupt, SystemExit, signals.Interrupted):
            raise
        except BaseException as error:  # the units raise only when the worker itself fails
            reply = (True, f"{type(error).__name__}: {error}")
        try:
            connection.send(reply)
        except OSError:  # the main process is gone or stopped listening
            return


def on_dask(
    unit: Callable[..., Result], tasks: Iterable[Task], address: str
) -> Generator[Result, None, None]:
    """As `in_pool`, on a Dask cluster: whatever ends the run early (except SIGTERM and
    SIGHUP) first yields the results of the tasks submitted, and tasks not yet started are
    cancelled when the run ends (a task running on a worker cannot be stopped)."""
    from distributed import as_completed

    with connected(address) as client:
        workers = sum(client.nthreads().values()) or 1
        queue = iter(tasks)
        submitted: set[Any] = set()
        running = as_completed(loop=client.loop)  # the client is no default one

        def submit(task: Task) -> None:
            future = client.submit(unit, *task, pure=False)
            submitted.add(future)
            running.add(future)

        try:
            for task in itertools.islice(queue, workers * (1 + IN_FLIGHT_PER_WORKER)):
                submit(task)
            for future in running:
                with handing_over():
                    yield outcome(future)
                    submitted.discard(future)  # delivered
                future.release()
                following = next(queue, None)
                if following is not None:
                    submit(following)
        except (KeyboardInterrupt, Exception):
            # Every task submitted and not delivered, the one in hand when it ended included.
            for future in as_completed(list(submitted), loop=client.loop):
                with contextlib.suppress(EngineError), handing_over():
                    yield outcome(future)
                    submitted.discard(future)
            raise
        finally:
            if submitted:
                client.cancel(list(submitted))


def connected(address: str) -> Any:
    """A Dask client of the scheduler at `address`.

    Its threads must start with Ctrl-C held, as they keep it: the signal then reaches the
    main thread alone, where holding it back is holding it back for the process. So the
    client is made in a thread of its own that holds it, and the main thread waits with
    Ctrl-C free: connecting can take long, or forever with a server that is not Dask's."""
    import queue
    import threading

    from distributed import Client

    check_address(address)
    made: queue.Queue[tuple[Any, Optional[BaseException]]] = queue.Queue(maxsize=1)

    def connect() -> None:
        signals.hold_from_now((signal.SIGINT,))
        try:
            made.put((Client(address, set_as_default=False), None))
        except BaseException as error:  # handed to the main thread, which raises it
            made.put((None, error))

    threading.Thread(target=connect, name="velmora-dask-connect", daemon=True).start()
    client, error = made.get()
    if error is not None:
        raise error
    return client


def check_address(address: str) -> None:
    """Refuses the addresses a client fails on only once it is half made, when its clean-up
    at exit waits a minute or forever: one that does not parse, or whose scheme does not
    load; one of a scheduler inside another process (inproc://); a tls:// one without the
    TLS settings it needs."""
    from distributed.comm import resolve_address
    from distributed.comm.addressing import parse_address
    from distributed.security import Security

    try:
        resolve_address(address)
    except Exception as error:  # a scheme's own module may fail to load, as ucx:// does
        raise EngineError(str(error)) from None
    scheme = parse_address(address)[0]
    if scheme == "inproc":
        raise EngineError(
            f"{address}: inproc:// names a scheduler inside one process: give the address it "
            "listens on"
        )
    if scheme != "tls":
        return
    try:
        settings = cast(Any, Security)().get_connection_args("client")  # Dask's are untyped
    except Exception as error:  # a certificate file named there that cannot be read, say
        raise EngineError(f"{address}: Dask's TLS settings: {error}") from None
    if settings["ssl_context"] is None:
        raise EngineError(
            f"{address}: tls:// needs Dask's TLS settings (distributed.comm.tls), and none are set"
        )


def sync_everywhere(dask_address: Optional[str]) -> None:
    """Flushes written files to disk on this machine, or on every Dask worker's."""
    if dask_address is None:
        os.sync()
        return
    from distributed import Client

    with Client(dask_address) as client:
        client.run(os.sync)
