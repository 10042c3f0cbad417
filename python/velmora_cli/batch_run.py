"""What `velmora batch` and `velmora survey` run (they are declared in `batch`)."""

from __future__ import annotations

import argparse
import collections
import contextlib
import errno
import fnmatch
import functools
import io
import itertools
import json
import os
import re
import signal
import stat
import sys
import time
from collections.abc import Callable, Generator, Iterable, Iterator, Mapping
from typing import IO, Any, NoReturn, Optional, TypeVar, Union, cast

from . import engines, files, reports, signals, units
from .batch import WRITING_OPERATIONS

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED, EXIT_BROKEN_PIPE = 0, 1, 2, 130, 141
MALLOC_TRIM_THRESHOLD, MALLOC_MMAP_THRESHOLD = -1, -3  # glibc's mallopt parameters
CHUNK_SIZE = 64  # pages per task: large enough that passing results costs little
LAST_RECORD_MAX = 1 << 20  # bytes read from the end of a survey's records to find the last
DEFAULT_GLOBS = ("*.html", "*.htm")
STDIO = "-"
# For a records file that the command names itself, where -o could not send them elsewhere.
OWN_LINKS_ADVICE = "remove the other links"
UNREAD_FILES = "unread files"  # a survey's count of WARC files not read to their end
Counts = dict[str, int]
Result = TypeVar("Result")


class UsageError(Exception):
    """Bad arguments or unreadable inputs of the batch itself (not of one page)."""


# ---------------------------------------------------------------------------
# velmora batch


def run_batch(args: argparse.Namespace) -> NoReturn:
    raise SystemExit(guarded(lambda: batch(args)))


def run_survey(args: argparse.Namespace) -> NoReturn:
    raise SystemExit(guarded(lambda: survey(args)))


def batch(args: argparse.Namespace) -> int:
    require_engine(args, "batch --dask")
    if args.sync_once and not hasattr(os, "sync"):
        raise UsageError("--sync-once needs a system that can flush every file at once")
    if args.resume == STDIO:
        raise UsageError("--resume needs the records file: standard output cannot be read back")
    if args.resume is not None and files.own_descriptor(args.resume) is not None:
        # Read and written at once through the same descriptor, appended records would be
        # read back again and again.
        raise UsageError(f"--resume needs the records file by its own name, not {args.resume}")
    unread: list[str] = []  # folders the walk could not list
    items = work_items(args, unread)
    destination = args.resume or args.output
    guard_records(destination, args)
    done = recorded_ok(args.resume, args.force) if args.resume else set()
    if done:
        items = (item for item in items if item_path(item) not in done)
    root = os.getcwd() if args.dask else None  # Dask workers run in folders of their own
    began = time.monotonic()
    with synced_at_the_end(args), open_output(destination, bool(args.resume), args.force) as out:
        if out is not None:
            items = never_the_records(items, os.fstat(out.fileno()), destination)
        tasks = (
            (args.operation, chunk, args.alg, not args.sync_once, root, args.force)
            for chunk in chunked(items)
        )

        def deliver(result: tuple[str, Counts]) -> Counts:
            if out is None:
                write_standard_output(result[0])
                return result[1]
            try:
                out.write(result[0])
                out.flush()
            except OSError as error:  # named, as the per-file commands name their outputs
                raise OSError(error.errno, error.strerror, destination) from None
            return result[1]

        results = engines.completed(chunk_lines, tasks, jobs_of(args), args.dask)
        counts, interrupted = consume(results, deliver, "page")
    what = f"batch {args.operation}{' interrupted' if interrupted else ''}"
    unlisted = f", {len(unread)} folder{'' if len(unread) == 1 else 's'} not read" if unread else ""
    report_summary(what, counts, began, "page", unlisted)
    if interrupted:
        return EXIT_INTERRUPTED
    return EXIT_OK if counts[units.OK] == sum(counts.values()) and not unread else EXIT_FAILED


@contextlib.contextmanager
def synced_at_the_end(args: argparse.Namespace) -> Iterator[None]:
    """With --sync-once, flushes the pages written however the batch ends (on a cluster,
    only when it ends well); when it ends in a failure, that failure is the one reported."""
    if not (args.sync_once and args.operation in WRITING_OPERATIONS):
        yield
        return
    try:
        yield
    except BaseException:
        # Here only: a cluster that failed is not to be asked again, and waited for.
        if args.dask is None:
            with contextlib.suppress(OSError):
                engines.sync_everywhere(None)
        raise
    engines.sync_everywhere(args.dask)


def chunk_lines(
    operation: str,
    items: list[units.Item],
    alg: str,
    sync_each: bool,
    root: Optional[str],
    force: bool,
) -> tuple[str, Counts]:
    """One task, run in a worker: the chunk's records as JSON Lines, and counts per status."""
    keep_freed_memory()
    return as_lines(units.run_chunk(operation, items, alg, sync_each, root, force))


def as_lines(records: list[units.Record]) -> tuple[str, Counts]:
    text = "".join(json.dumps(record) + "\n" for record in records)
    return text, dict(collections.Counter(record["status"] for record in records))


def require_engine(args: argparse.Namespace, command: str) -> None:
    if args.dask is not None:
        require("distributed", "dask", command)


def jobs_of(args: argparse.Namespace) -> int:
    return args.jobs if args.jobs is not None else engines.usable_cores()


def chunked(items: Iterable[units.Item]) -> Iterator[list[units.Item]]:
    iterator = iter(items)
    while chunk := list(itertools.islice(iterator, CHUNK_SIZE)):
        yield chunk


def item_path(item: units.Item) -> Any:
    return item if isinstance(item, str) else item.get("path")


# --- where the pages come from ------------------------------------------------


def work_items(args: argparse.Namespace, unread: list[str]) -> Iterator[units.Item]:
    """The pages to work on; the walk adds each folder it cannot list to `unread`."""
    mapping = {"embed": "stores", "reference": "stores", "verify": "bindings"}.get(args.operation)
    for name in ("stores", "bindings"):
        if getattr(args, name) is not None and name != mapping:
            raise UsageError(f"--{name} does not go with batch {args.operation}")
    if mapping is not None:
        source = getattr(args, mapping)
        if source is None:
            raise UsageError(f"batch {args.operation} needs --{mapping}")
        if args.paths or args.files_from:
            raise UsageError(f"batch {args.operation} takes its pages from --{mapping} only")
        return mapping_entries(source)
    if not args.paths and args.files_from is None:
        raise UsageError("no pages: give PATH arguments or --files-from")
    listed = listed_paths(args.files_from, args.null) if args.files_from else iter(())
    return walked(itertools.chain(args.paths, listed), args.glob or DEFAULT_GLOBS, unread)


def work_lists(args: argparse.Namespace) -> list[str]:
    """The files the batch reads its work from, `-` for standard input."""
    named = [getattr(args, name, None) for name in ("stores", "bindings", "files_from")]
    return [path for path in named if path is not None]


def guard_records(destination: Optional[str], args: argparse.Namespace) -> None:
    """Refuses a records file that is one of the batch's inputs, or a page of a folder it
    walks, before anything is written: the records would replace what the batch is about to
    read. The files named in the lists are looked at too, where the lists can be read twice.
    Also checks, before the records file is emptied, that every input can be read."""
    lists = work_lists(args)
    for source in lists:
        if source != STDIO:
            require_readable(source)
    if destination is None or destination == STDIO or not os.path.exists(destination):
        return
    records = os.stat(destination)
    if stat.S_ISREG(records.st_mode):
        # Its other names may be pages: emptied, or read back, they would lose them.
        files.refuse_if_linked(destination, records, OWN_LINKS_ADVICE)
    for source in itertools.chain(lists, args.paths, named_in_lists(lists, args)):
        if is_file(source, records) or is_walked_page(destination, source, args):
            raise UsageError(f"refusing to overwrite the input {destination} with the records")
    if os.path.isfile(destination) and not args.force and files.is_write_protected(destination):
        raise UsageError(f"{destination}: {files.FORCE_HINT}")


def is_file(path: str, status: os.stat_result) -> bool:
    """Whether `path` names the regular file whose status is `status` (`-`: the file standard
    input is redirected from); a missing one does not."""
    found = status_of(path)
    return found is not None and stat.S_ISREG(found.st_mode) and os.path.samestat(found, status)


def status_of(path: str) -> Optional[os.stat_result]:
    """The status of `path` (`-`: of standard input), or None where there is none: a missing
    page gets its own error record."""
    try:
        return os.fstat(0) if path == STDIO else os.stat(path)
    except (OSError, ValueError):
        return None


def named_in_lists(lists: list[str], args: argparse.Namespace) -> Iterator[str]:
    """The pages and stores that the lists name, where a list is a regular file that can be
    read again from the start (standard input too, redirected from one)."""
    for source in lists:
        if not is_regular(source):
            continue
        stream = sys.stdin.buffer if source == STDIO else None
        start = stream.tell() if stream is not None else 0
        if source == args.files_from:
            yield from listed_paths(source, args.null)
        else:
            for entry in mapping_entries(source):
                yield from named_files(entry)
        if stream is not None:
            stream.seek(start)


def is_regular(source: str) -> bool:
    status = status_of(source)
    return status is not None and stat.S_ISREG(status.st_mode)


def named_files(item: units.Item) -> list[str]:
    """The files an item names: its page, and for embed its store."""
    if isinstance(item, str):
        return [item]
    return [name for name in (item.get("path"), item.get("store")) if isinstance(name, str)]


def never_the_records(
    items: Iterable[units.Item], records: os.stat_result, destination: str
) -> Iterator[units.Item]:
    """The items, up to one that names the records file, where the batch stops: read now,
    it would hold the records so far. Lists that could not be read ahead (from a pipe), and
    a folder that the new records file is in, can name it."""
    for item in items:
        if any(is_file(name, records) for name in named_files(item)):
            raise UsageError(f"refusing to read the records file {destination} as an input")
        yield item


def require_readable(source: str) -> None:
    """Fails as opening `source` would, without opening it: a pipe opened and closed again
    would leave its writer nobody to write to."""
    try:
        status = os.stat(source)
    except OSError as error:
        raise UsageError(f"{source}: {error.strerror}") from None
    if stat.S_ISDIR(status.st_mode):
        raise UsageError(f"{source}: {os.strerror(errno.EISDIR)}")
    if not os.access(source, os.R_OK):
        raise UsageError(f"{source}: {os.strerror(errno.EACCES)}")


def is_walked_page(path: str, folder: str, args: argparse.Namespace) -> bool:
    """Whether `path`, or the file a link at `path` leads to, is a page the walk of `folder`
    would find."""
    if not os.path.isdir(folder):
        return False
    folder, target = os.path.realpath(folder), os.path.realpath(path)
    if os.path.commonpath([folder, target]) != folder:
        return False
    return any(fnmatch.fnmatch(os.path.basename(target), g) for g in args.glob or DEFAULT_GLOBS)


def listed_paths(source: str, null_separated: bool) -> Iterator[str]:
    separator = b"\0" if null_separated else b"\n"
    with open_input(source) as stream:
        pending = b""
        for block in iter(lambda: stream.read1(1 << 16), b""):  # what a pipe has so far
            *whole, pending = (pending + block).split(separator)
            yield from (os.fsdecode(path) for path in whole if path)
        if pending:
            yield os.fsdecode(pending)


def walked(paths: Iterable[str], globs: Iterable[str], unread: list[str]) -> Iterator[str]:
    """Paths as given, with each folder replaced by its pages matching `globs`, sorted. A
    folder that cannot be listed is named on standard error and added to `unread`, and the
    walk goes on, as find's does."""
    # One expression for all the patterns: the main process walks while the workers hash,
    # so each microsecond per name is taken from them.
    matches = re.compile("|".join(fnmatch.translate(glob) for glob in globs)).match
    for path in paths:
        if not os.path.isdir(path):
            yield path
            continue
        for folder, subfolders, names in os.walk(path, onerror=skipped_into(unread)):
            subfolders.sort()
            prefix = os.path.join(folder, "")
            yield from (prefix + name for name in sorted(names) if matches(name))


def skipped_into(unread: list[str]) -> Callable[[OSError], None]:
    def skip(error: OSError) -> None:
        reports.print_error(f"velmora: {error.filename}: {error.strerror}")
        unread.append(error.filename)

    return skip


def mapping_entries(source: str) -> Iterator[units.Item]:
    for number, line in numbered_lines(source, whole_only=False):
        entry = json_object(line)
        if entry is None:
            raise UsageError(f"{source}, line {number}: not a JSON object")
        yield entry


def json_object(line: Union[str, bytes]) -> Optional[dict[str, Any]]:
    """The JSON object on `line`, or None for anything else: other JSON, text that is not
    JSON, or JSON nested deeper than the parser goes."""
    try:
        value = json.loads(line)
    except (ValueError, RecursionError):
        return None
    return value if isinstance(value, dict) else None


def numbered_lines(source: str, whole_only: bool) -> Iterator[tuple[int, str]]:
    """The non-empty lines of a JSON Lines file, numbered from 1. `whole_only` drops a last
    line without its line feed, which an interrupted writer leaves; a file written by hand
    may well end that way."""
    with open_input(source) as stream:
        for number, raw in enumerate(stream, 1):
            if (raw.endswith(b"\n") or not whole_only) and raw.strip():
                yield number, raw.decode("utf-8", "surrogateescape")


@contextlib.contextmanager
def open_input(source: str) -> Iterator[io.BufferedIOBase]:
    if source == STDIO:
        try:
            yield cast(io.BufferedIOBase, sys.stdin.buffer)
        except OSError as error:  # a read failed: named as a file's would be
            raise UsageError(f"{files.STDIN_NAME}: {error.strerror}") from None
        return
    try:
        file = open(source, "rb")
    except OSError as error:
        raise UsageError(f"{source}: {error.strerror}") from None
    with file:
        yield file


# --- output and resuming ------------------------------------------------------


def recorded_ok(output: str, force: bool = False) -> set[str]:
    """Paths recorded as ok in a previous run's output, which keeps only their lines.

    Records of pages that failed, and a last line cut off by an interruption, are dropped
    (the file is replaced whole), so that each page has one record once the batch is done.
    """
    done: set[str] = set()
    if not os.path.exists(output):
        return done

    def kept_lines() -> Iterator[str]:
        for _, line in numbered_lines(output, whole_only=True):
            path = ok_path(line)
            if path is not None:
                done.add(path)
                yield line

    # --resume names this file, and -o does not go with it. The kept lines go to the new
    # file as they are read: a records file can be larger than the memory.
    files.write_file(
        output, encoded_pieces(kept_lines()), links_advice=OWN_LINKS_ADVICE, force=force
    )
    return done


def ok_path(line: str) -> Optional[str]:
    """The path of a record of a page done well, or None for any other line."""
    record = json_object(line)
    if record is not None and record.get("status") == units.OK:
        path = record.get("path")
        return path if isinstance(path, str) else None
    return None


def encoded_pieces(lines: Iterable[str], size: int = 1 << 20) -> Iterator[bytes]:
    """`lines` encoded and joined into pieces of about `size` bytes, for writing."""
    piece: list[bytes] = []
    length = 0
    for line in lines:
        piece.append(line.encode("utf-8", "surrogateescape"))
        length += len(piece[-1])
        if length >= size:
            yield b"".join(piece)
            piece, length = [], 0
    yield b"".join(piece)


@contextlib.contextmanager
def open_output(
    path: Optional[str], append: bool = False, force: bool = False
) -> Iterator[Optional[IO[str]]]:
    """The records file at `path`, or None for standard output (see `write_standard_output`).
    With `force`, a write-protected file is opened all the same."""
    if path is None or path == STDIO:
        yield None
        return
    try:
        file = open_records(path, "a" if append else "w", force)
    except OSError as error:
        raise UsageError(f"{path}: {error.strerror}") from None
    try:
        yield file
    except BaseException:
        # The failure on the way out is the one to report, not the same one again on closing.
        with contextlib.suppress(OSError):
            file.close()
        raise
    try:
        file.close()
    except OSError as error:
        raise OSError(error.errno, error.strerror, path) from None


def open_records(path: str, mode: str, force: bool) -> IO[str]:
    def opened() -> IO[str]:
        return open(path, mode, encoding="utf-8", errors="surrogateescape")

    if not (force and os.path.isfile(path) and files.is_write_protected(path)):
        return opened()
    status = os.stat(path)
    files.refuse_if_linked(path, status, OWN_LINKS_ADVICE)  # what --force may not change
    # Its owner lends the file write permission for this one opening, which keeps it after;
    # a signal in between must not leave it lent.
    permissions = stat.S_IMODE(status.st_mode)
    with signals.Held():
        os.chmod(path, permissions | stat.S_IWUSR)
        try:
            return opened()
        finally:
            os.chmod(path, permissions)


# ---------------------------------------------------------------------------
# velmora survey


@functools.lru_cache(maxsize=None)  # once per process: each Dask worker asks for itself
def keep_freed_memory() -> None:
    """Asks glibc's allocator to keep the memory a page's buffers free for the next page.

    A batch allocates and frees buffers of 16 KiB to a few MiB for every page (the page, the
    bytes a binding hashes, the written page). A new process maps each one above 128 KiB
    afresh and returns freed memory to the system at once, so every page paid its page
    faults again: a quarter of `batch binding`'s time. Elsewhere than glibc there is nothing
    to ask.
    """
    if not sys.platform.startswith("linux"):
        return
    import ctypes

    try:
        mallopt = ctypes.CDLL(None).mallopt
    except (AttributeError, OSError):  # a C library other than glibc
        return
    mallopt(MALLOC_TRIM_THRESHOLD, 32 << 20)
    mallopt(MALLOC_MMAP_THRESHOLD, 32 << 20)


def survey(args: argparse.Namespace) -> int:
    require_engine(args, "survey --dask")
    if args.dask is None:
        require_warc_reader()
    targets = survey_targets(args.warcs, args.out_dir, args.force)
    skipped = len(dict.fromkeys(args.warcs)) - len(targets)  # a file named twice is one
    began = time.monotonic()

    def deliver(result: tuple[str, Surveyed]) -> Counts:
        warc, (lines, counts, failure) = result
        output = targets[warc]
        if failure is not None:
            raise OSError(*failure, output)
        if output is None:
            write_standard_output(lines)
        return counts

    root = os.getcwd() if args.dask else None
    tasks = ((warc, root, output, args.force) for warc, output in targets.items())
    results = engines.completed(warc_lines, tasks, jobs_of(args), args.dask)
    counts, interrupted = consume(results, deliver, "response")
    unread = counts.pop(UNREAD_FILES, 0)
    done_before = f" ({skipped} done before)" if skipped else ""
    what = f"survey of {len(targets)} WARC file{'' if len(targets) == 1 else 's'}{done_before}"
    not_read = f", {unread} not read to the end" if unread else ""
    report_summary(
        what + (" interrupted" if interrupted else ""), counts, began, "response", not_read
    )
    if interrupted:
        return EXIT_INTERRUPTED
    return EXIT_FAILED if counts[units.ERROR] or unread else EXIT_OK


def require(module: str, extra: str, command: str) -> None:
    """Stops with a usage error naming the extra to install when `module` is missing."""
    import importlib.util

    if importlib.util.find_spec(module) is None:
        raise UsageError(f'{command} needs {module}: pip install "velmora[{extra}]"')


def require_warc_reader() -> None:
    """Stops with a usage error unless FastWARC 2 is there: the releases before it end a
    file at an error they raise as their own type, and miss records without one."""
    needs = "survey needs FastWARC 2.0 or later"
    if sys.version_info < (3, 10):
        raise UsageError(f"{needs}, which needs Python 3.10 or later")
    require("fastwarc", "warc", "survey")
    from importlib.metadata import version

    if int(version("fastwarc").split(".")[0]) < 2:
        raise UsageError(f'{needs}: pip install "velmora[warc]"')


# A WARC file's records as JSON Lines (none when the worker wrote them to their file), the
# counts per status, and the failure to write that file (errno and message).
Surveyed = tuple[str, Counts, Optional[tuple[Optional[int], Optional[str]]]]


def warc_lines(
    warc: str, root: Optional[str], output: Optional[str], force: bool
) -> tuple[str, Surveyed]:
    """One task, run in a worker: a WARC file's records, written to `output` as they are
    read, so that a file of any size costs the same memory, or handed back for standard
    output. The failure to read the file on is counted apart from the responses."""
    keep_freed_memory()
    tally = Tally()
    lines = (json.dumps(record) + "\n" for record in tally.of(units.iter_survey_warc(warc, root)))
    if output is None:
        return warc, ("".join(lines), tally.counts(), None)
    try:
        files.write_file(
            units.located(output, root),
            encoded_pieces(lines),
            links_advice=OWN_LINKS_ADVICE,
            force=force,
        )
    except OSError as error:  # named by the caller, as its own writes are
        return warc, ("", tally.counts(), (error.errno, error.strerror))
    return warc, ("", tally.counts(), None)


class Tally:
    """Counts records per status as they pass, the last one's failure to read its file on
    apart (it has no "uri")."""

    def __init__(self) -> None:
        self.statuses: collections.Counter[str] = collections.Counter()
        self.last: Optional[units.Record] = None

    def of(self, records: Iterable[units.Record]) -> Iterator[units.Record]:
        for record in records:
            self.statuses[record["status"]] += 1
            self.last = record
            yield record

    def counts(self) -> Counts:
        counts = dict(self.statuses)
        if self.last is not None and "uri" not in self.last:
            counts[units.ERROR] -= 1
            counts = {status: number for status, number in counts.items() if number}
            counts[UNREAD_FILES] = 1
        return counts


def survey_targets(
    warcs: list[str], out_dir: Optional[str], force: bool
) -> dict[str, Optional[str]]:
    """Each WARC file still to survey, with where its records go (None: standard output).
    Every output that would be replaced is checked here, before any work is done."""
    if out_dir is None:
        return dict.fromkeys(warcs)
    if not os.path.isdir(out_dir):
        raise UsageError(f"{out_dir}: not a folder")
    targets: dict[str, Optional[str]] = {}
    outputs: dict[str, str] = {}
    for warc in warcs:
        output = os.path.join(out_dir, os.path.basename(os.path.normpath(warc)) + ".jsonl")
        if outputs.setdefault(output, warc) != warc:
            raise UsageError(f"{outputs[output]} and {warc} would both be surveyed into {output}")
        if still_to_survey(warc, output, force):
            targets[warc] = output
    return targets


def still_to_survey(warc: str, output: str, force: bool) -> bool:
    """Whether `warc` is to be surveyed into `output`: when there is none yet, or the one
    there ends with the failure to read the file. Refuses an output that is not a regular
    file, holds another WARC file's survey, or could not be replaced."""
    try:
        status = os.stat(output)
    except FileNotFoundError:
        return True
    if not stat.S_ISREG(status.st_mode):
        raise UsageError(f"{output}: not a regular file")
    other = surveyed_file(output)
    if other is not None and other != warc and is_other_file(other, warc):
        raise UsageError(f"{output} holds the survey of {other}, not of {warc}")
    if not ended_in_failure(output):
        return False
    files.refuse_if_linked(output, status, OWN_LINKS_ADVICE)
    if not force and files.is_write_protected(output):
        raise files.FileRefused(output, files.FORCE_HINT)
    return True


def surveyed_file(output: str) -> Optional[str]:
    """The WARC file named by the first record of a survey's output, if any."""
    with open(output, "rb") as records:
        first = records.readline(LAST_RECORD_MAX)
    record = json_object(first)
    warc = record.get("warc") if record is not None else None
    return warc if isinstance(warc, str) else None


def is_other_file(recorded: str, warc: str) -> bool:
    """Whether two names are surely of different files; a survey run again from another
    folder names the same file otherwise, and is let be."""
    try:
        return not os.path.samefile(recorded, warc)
    except OSError:
        return False


def ended_in_failure(output: str) -> bool:
    """Whether a WARC file's records end with the failure to read the file on (its record
    has no "uri"): a survey run again tries such a file again."""
    with open(output, "rb") as records:
        records.seek(max(0, records.seek(0, os.SEEK_END) - LAST_RECORD_MAX))
        last = records.read().rstrip(b"\n").rpartition(b"\n")[2]
    record = json_object(last)
    return record is not None and record.get("status") == units.ERROR and "uri" not in record


def write_standard_output(lines: str) -> None:
    """Writes records as the per-file commands write their output: whole, and with nothing
    kept back in a buffer that the interpreter would fail to flush again on its way out."""
    files.write_output(None, lines.encode("utf-8", "surrogateescape"))


# ---------------------------------------------------------------------------
# What both commands share.


def guarded(command: Any) -> int:
    # Ctrl-C ends a batch by flushing what is done (see `consume`), not by unwinding at once
    # as the per-file commands do; SIGTERM and SIGHUP still unwind.
    if signal.getsignal(signal.SIGINT) is not signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        status: int = command()
    except (UsageError, engines.EngineError) as error:
        print(f"velmora: {error}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader left early: nobody to tell, and the final flush must not fail either.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_BROKEN_PIPE
    return status


def consume(
    results: Generator[Result, None, None], deliver: Callable[[Result], Counts], unit: str
) -> tuple[Counts, bool]:
    """Delivers each result as it comes; the counts per status, and whether Ctrl-C ended it.

    A result is delivered whole: Ctrl-C waits until it is written and counted. After a
    Ctrl-C the results of the work in flight are still delivered, as the engine lets it
    finish; a second Ctrl-C stops that.
    """
    counts: Counts = collections.Counter()
    bar = progress_bar(unit)

    def take(result: Result) -> None:
        # Ctrl-C only: SIGTERM and SIGHUP must still end a write stuck on a reader that
        # does not read, and --resume drops the cut-off line they may leave.
        with signals.Held((signal.SIGINT,)):
            delivered = deliver(result)
            counts.update(delivered)
            if bar is not None:
                bar.update(sum(delivered.values()))

    try:
        for result in results:
            take(result)
    except KeyboardInterrupt:
        # Raised here rather than in the engine, it must be passed on for the engine to
        # wind down; raised in the engine, passing it on ends at once.
        with contextlib.suppress(KeyboardInterrupt, StopIteration):
            take(results.throw(KeyboardInterrupt))
            for result in results:
                take(result)
        return counts, True
    finally:
        results.close()
        if bar is not None:
            bar.close()
    return counts, False


def progress_bar(unit: str) -> Any:
    """A progress bar on standard error when it is a terminal and tqdm is installed."""
    if not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    # No monitor thread: the pool's workers are forked after the bar is made, and forking a
    # process that runs more than one thread can leave locks held in the child.
    tqdm.monitor_interval = 0
    return tqdm(unit=f" {unit}s", disable=None, file=sys.stderr, smoothing=0.1)


def report_summary(
    what: str, counts: Mapping[str, int], began: float, unit: str, more: str = ""
) -> None:
    total = sum(counts.values())
    seconds = time.monotonic() - began
    rate = f", {total / seconds:,.0f}/s" if seconds > 0 else ""
    parts = ", ".join(f"{number:,} {status}" for status, number in sorted(counts.items()))
    print(
        f"velmora: {what}: {total:,} {unit}{'' if total == 1 else 's'} in {seconds:.1f} s{rate}"
        + (f": {parts}" if parts else "")
        + more,
        file=sys.stderr,
    )
