"""Reading inputs and writing outputs so that a failure never costs the user a file."""

from __future__ import annotations

import contextlib
import os
import stat
import sys
import tempfile

STDIO = "-"


def read_input(path: str) -> bytes:
    if path == STDIO:
        return sys.stdin.buffer.read()
    with open(path, "rb") as file:
        return file.read()


def is_same_file(output: str, source: str) -> bool:
    """Whether writing `output` would overwrite `source`, through links or relative paths too."""
    if STDIO in (output, source):
        return False
    return os.path.exists(output) and os.path.samefile(output, source)


def write_output(path: str | None, data: bytes) -> None:
    """Writes to `path`, or to standard output as raw bytes when there is none."""
    if path is None or path == STDIO:
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
    else:
        write_atomically(path, data)


def write_atomically(path: str, data: bytes, sync: bool = True) -> None:
    """Replaces `path` with `data` whole; `sync=False` leaves the flush to disk to the caller."""
    # Replacing the link's target rather than the link keeps the user's links intact.
    target = os.path.realpath(path)
    mode = _mode_for(target)
    descriptor, temporary = tempfile.mkstemp(
        dir=os.path.dirname(target), prefix=f".{os.path.basename(target)}.", suffix=".tmp"
    )
    try:
        with os.fdopen(descriptor, "wb") as file:
            file.write(data)
            file.flush()
            if sync:
                os.fsync(file.fileno())
        os.chmod(temporary, mode)
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


def _mode_for(target: str) -> int:
    """The permissions the file would have had if written in place: mkstemp's 0600 is not."""
    try:
        return stat.S_IMODE(os.stat(target).st_mode)
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask
