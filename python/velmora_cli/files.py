"""Reading inputs and writing outputs so that a failure never costs the user a file.

The rules every command that writes follows, through `write_output` or `write_file`:

- `-` (or no path at all) is standard output.
- A path to something other than a regular file (a character or block device, a FIFO, a
  socket, or one of this process's open descriptors such as /dev/stdout or /dev/fd/3) is
  written to directly, as the shell's `>` writes to it; it is never replaced.
- A regular file, or a path that does not exist yet, receives the whole content in a
  temporary file in the same folder, which then replaces it by rename: a reader sees the old
  file or the new one, never a part. The new file keeps the old one's permissions, owner and
  group; where the process may not give it that owner and group, nothing is replaced. A
  symbolic link stays a link and its target is replaced.
- An existing file that the user could not write with `>` is refused unless `force` is
  given. The superuser can write any file, so for root a file counts as writable only when
  at least one of its write permission bits is set.
- A regular file with more than one hard link is refused: replacing it would leave the other
  links with the old content, and writing into it would not be whole or nothing.
- Every byte is written or an OSError is raised, and errors name the path the caller gave,
  never the temporary file. The signals `signals.trap` turns into exceptions (SIGINT,
  SIGTERM, SIGHUP and the others that end a process) remove the temporary file on their way
  out.
"""

from __future__ import annotations

import errno
import os
import stat
import sys
from collections.abc import Iterable

from . import signals

STDIO = "-"
STDIN_NAME = "standard input"
STDOUT_NAME = "standard output"
CHUNK = 1 << 24  # bytes per write call, so that a signal is answered between two of them
# Flags that exist on some systems only: binary mode matters on Windows, where files open as
# text by default and every line feed written would gain a carriage return.
PORTABLE_FLAGS = getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0)
FORCE_HINT = "write-protected (--force replaces it anyway)"
LINKS_ADVICE = "write to another file, or remove the other links"


class FileRefused(OSError):
    """A file left alone on purpose; `str` of it names the file and why."""

    def __init__(self, path: str, reason: str) -> None:
        super().__init__(errno.EPERM, reason, path)


def stand_in_for_closed_streams() -> None:
    """Puts the null device on each of descriptors 0, 1 and 2 that the process was started
    without, and a stream on it where Python has none. Standard input and output are opened
    the wrong way round, so that reading or writing them still fails as on a closed
    descriptor; standard error takes what it is told away, as /dev/null would. No file
    opened later then takes one of those numbers, and with it the tool's output."""
    for descriptor, flags, stream, mode in (
        (0, os.O_WRONLY, "stdin", "r"),
        (1, os.O_RDONLY, "stdout", "w"),
        (2, os.O_WRONLY, "stderr", "w"),
    ):
        try:
            os.fstat(descriptor)
        except OSError:
            os.open(os.devnull, flags)  # the lowest free number: this one
            _STOOD_IN.add(descriptor)
        if getattr(sys, stream) is None:
            setattr(sys, stream, open(descriptor, mode, closefd=False))


# The standard descriptors the process was started without, which the null device stands in
# for: a path naming one of them (/dev/stdin, /dev/fd/1) names a closed stream.
_STOOD_IN: set[int] = set()


def read_input(path: str) -> bytes:
    """The whole content of `path`, or of standard input for `-`."""
    if path != STDIO:
        _refuse_closed_stream(path, own_descriptor(path) if _STOOD_IN else None)
        with open(path, "rb") as file:
            return file.read()
    descriptor = sys.stdin.fileno() if sys.stdin else 0
    try:
        if not _is_blocking(descriptor):
            return _read_waiting(descriptor)
        with open(descriptor, "rb", closefd=False) as stream:
            return stream.read()
    except OSError as error:
        raise OSError(error.errno, error.strerror, STDIN_NAME) from None


def _refuse_closed_stream(path: str, descriptor: int | None) -> None:
    """Fails as on a closed descriptor where `path` names one (`descriptor`, from
    `own_descriptor`) that the process started without."""
    if descriptor in _STOOD_IN:
        raise OSError(errno.EBADF, os.strerror(errno.EBADF), path)


def _is_blocking(descriptor: int) -> bool:
    try:
        return os.get_blocking(descriptor)
    except (AttributeError, OSError):  # Windows before Python 3.12, or not a descriptor
        return True


def _read_waiting(descriptor: int) -> bytes:
    """All that is left on a non-blocking `descriptor`, waiting for what has not come yet:
    a buffered read would give what had come so far, or nothing at all."""
    import select

    pieces: list[bytes] = []
    while True:
        try:
            piece = os.read(descriptor, CHUNK)
        except BlockingIOError:
            select.select([descriptor], [], [])
            continue
        if not piece:
            return b"".join(pieces)
        pieces.append(piece)


def is_same_file(output: str | None, source: str) -> bool:
    """Whether writing `output` would overwrite `source`, through links or relative paths
    too; for `-` as `source`, the file standard input is open on, and for `-` (or None) as
    `output`, the file standard output is open on, as after `>>` or `1<>`."""
    if output is None or output == STDIO:
        return _standard_output_holds(source)
    if not os.path.exists(output):
        return False
    if source != STDIO:
        return os.path.samefile(output, source)
    try:
        standard_input = os.fstat(0)
    except OSError:  # there is none
        return False
    # A terminal or a pipe read to its end loses nothing when written to.
    return stat.S_ISREG(standard_input.st_mode) and os.path.samestat(
        os.stat(output), standard_input
    )


def _standard_output_holds(source: str) -> bool:
    """Whether standard output is open on the regular file `source` while it holds
    something to lose: after `>` it is empty, and nothing is (as `cat` judges)."""
    try:
        written = os.fstat(1)
        read = os.fstat(0) if source == STDIO else os.stat(source)
    except OSError:
        return False
    if not stat.S_ISREG(written.st_mode) or written.st_size == 0:
        return False
    return os.path.samestat(written, read)


def is_standard_input(path: str) -> bool:
    """Whether reading `path` means reading standard input: `-`, /dev/stdin..."""
    return path == STDIO or own_descriptor(path) == 0


def is_standard_output(path: str | None) -> bool:
    """Whether writing to `path` means writing to standard output: None, `-`, /dev/stdout..."""
    return path is None or path == STDIO or own_descriptor(path) == 1


def write_output(path: str | None, data: bytes, *, force: bool = False) -> None:
    """Writes `data` to `path` by the rules above, or to standard output for None or `-`."""
    if path is None or path == STDIO:
        if sys.stdout is not None:
            sys.stdout.flush()  # whatever was printed before goes first
        write_all(1, data, STDOUT_NAME)
    else:
        write_file(path, data, force=force)


def write_file(
    path: str,
    data: bytes | Iterable[bytes],
    *,
    force: bool = False,
    sync: bool = True,
    links_advice: str = LINKS_ADVICE,
) -> None:
    """Writes `data` to the file at `path` by the rules above; `force` overrides protection,
    `sync=False` leaves the flush to disk of a replaced file to the caller, and
    `links_advice` is what the refusal of a file with other hard links suggests. `data` may
    come in pieces, written as they come, so that a long output need not be held whole."""
    if not path:  # as the shell's `> ""` fails, before a temporary file lands beside nothing
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), path)
    descriptor = own_descriptor(path)
    _refuse_closed_stream(path, descriptor)
    if descriptor is not None:
        write_pieces(descriptor, data, path)
        _drop_what_follows(descriptor, path)
        return
    try:
        status: os.stat_result | None = os.stat(path)
    except FileNotFoundError:
        if path.endswith(("/", os.sep)):  # names a folder, which writing cannot create
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path) from None
        status = None
    if status is None or stat.S_ISREG(status.st_mode):
        _replace(path, data, status, force, sync, links_advice)
    elif stat.S_ISDIR(status.st_mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    else:
        _refuse_if_protected(path, status, force)
        _write_special(path, data)


def write_pieces(descriptor: int, data: bytes | Iterable[bytes], name: str) -> None:
    for piece in (data,) if isinstance(data, bytes) else data:
        write_all(descriptor, piece, name)


def write_all(descriptor: int, data: bytes, name: str) -> None:
    """Writes every byte of `data` to `descriptor`, or raises an OSError naming `name`."""
    view = memoryview(data)
    try:
        while view:
            view = view[os.write(descriptor, view[:CHUNK]) :]
    except OSError as error:
        # A short write is followed by one that says why (EFBIG, ENOSPC, EPIPE, ...).
        raise OSError(error.errno, error.strerror, name) from None


def _drop_what_follows(descriptor: int, name: str) -> None:
    """Leaves a regular file behind a descriptor holding nothing after what was just written,
    as the shell's `>` would: one opened with `<>` or read from elsewhere still holds the old
    content there. One opened to append (`>>`) is let be: nothing old follows the end, and
    what another writer appended since must stay."""
    import fcntl  # the descriptors named this way are those of Linux's /proc

    try:
        appending = fcntl.fcntl(descriptor, fcntl.F_GETFL) & os.O_APPEND
        if not appending and stat.S_ISREG(os.fstat(descriptor).st_mode):
            os.ftruncate(descriptor, os.lseek(descriptor, 0, os.SEEK_CUR))
    except OSError as error:
        raise OSError(error.errno, error.strerror, name) from None


def own_descriptor(path: str) -> int | None:
    """The descriptor of this process that `path` names (/dev/stdout, /dev/fd/N,
    /proc/self/fd/N), if it names one: writing there means writing to that descriptor, as a
    shell does, whatever it is open on."""
    own = f"/proc/{os.getpid()}/fd"
    for _ in range(40):  # as many links as the kernel follows
        folder, name = os.path.split(os.path.abspath(path))
        folder = os.path.realpath(folder)
        if folder == own and name.isdigit():
            return int(name)
        link = os.path.join(folder, name)
        if not os.path.islink(link):
            return None
        path = os.path.join(folder, os.readlink(link))
    return None


def refuse_if_linked(path: str, status: os.stat_result, links_advice: str) -> None:
    if status.st_nlink > 1:
        raise FileRefused(
            path,
            f"has {status.st_nlink} hard links, which replacing it would split ({links_advice})",
        )


def _refuse_if_protected(path: str, status: os.stat_result, force: bool) -> None:
    if not force and _is_protected(path, status):
        raise FileRefused(path, FORCE_HINT)


def is_write_protected(path: str) -> bool:
    """Whether the existing file at `path` is one the user could not write with `>`."""
    return _is_protected(path, os.stat(path))


def _is_protected(path: str, status: os.stat_result) -> bool:
    if hasattr(os, "geteuid") and os.geteuid() == 0:
        return not status.st_mode & (stat.S_IWUSR | stat.S_IWGRP | stat.S_IWOTH)
    return not os.access(path, os.W_OK, effective_ids=os.access in os.supports_effective_ids)


def _write_special(path: str, data: bytes | Iterable[bytes]) -> None:
    descriptor = os.open(path, os.O_WRONLY | getattr(os, "O_NOCTTY", 0) | PORTABLE_FLAGS)
    try:
        write_pieces(descriptor, data, path)
    finally:
        os.close(descriptor)


def _replace(
    path: str,
    data: bytes | Iterable[bytes],
    status: os.stat_result | None,
    force: bool,
    sync: bool,
    links_advice: str,
) -> None:
    if status is not None:
        _refuse_if_protected(path, status, force)
        refuse_if_linked(path, status, links_advice)
    target = os.path.realpath(path)
    temporary = None
    try:
        with signals.Held():
            temporary, descriptor = _create_beside(path, target)
        try:
            write_pieces(descriptor, data, path)
            _give_metadata(descriptor, status, path)
            if sync:
                os.fsync(descriptor)
        finally:
            os.close(descriptor)
        os.replace(temporary, target)
        temporary = None
    except FileRefused:
        _discard(temporary)
        raise
    except OSError as error:
        _discard(temporary)
        raise OSError(error.errno, error.strerror, path) from None
    except BaseException:
        _discard(temporary)
        raise


def _create_beside(path: str, target: str) -> tuple[str, int]:
    folder, name = os.path.split(target)
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | PORTABLE_FLAGS
    while True:
        temporary = os.path.join(folder, f".{shortened(name)}.{os.urandom(4).hex()}.tmp")
        try:
            return temporary, os.open(temporary, flags, 0o600)
        except FileExistsError:
            continue
        except PermissionError as error:  # the file itself may well be writable
            reason = f"{error.strerror} (writing it makes a file in its folder)"
            raise FileRefused(path, reason) from None


def shortened(name: str) -> str:
    """At most 200 bytes of `name`, so that the hidden temporary file's name, with its dot and
    suffix, stays within the 255 bytes a file name may have, however the name is encoded."""
    if os.name == "nt":  # counted there in UTF-16 code units, as a character or two each
        return name[:200]
    return os.fsdecode(os.fsencode(name)[:200])


def _give_metadata(descriptor: int, status: os.stat_result | None, path: str) -> None:
    """The old file's owner, group and permissions, or a new file's usual permissions.
    Windows has neither owners nor these permissions to give."""
    if not hasattr(os, "fchown"):
        return
    if status is None:
        umask = os.umask(0)
        os.umask(umask)
        os.fchmod(descriptor, 0o666 & ~umask)
        return
    created = os.fstat(descriptor)
    if (created.st_uid, created.st_gid) != (status.st_uid, status.st_gid):
        try:
            os.fchown(descriptor, status.st_uid, status.st_gid)
        except PermissionError as error:
            raise FileRefused(path, f"cannot keep its owner and group: {error.strerror}") from None
    # After the change of owner, which clears the set-user-ID and set-group-ID bits.
    os.fchmod(descriptor, stat.S_IMODE(status.st_mode))


def _discard(temporary: str | None) -> None:
    if temporary is not None:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
