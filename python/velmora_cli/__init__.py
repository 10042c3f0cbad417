"""The `velmora` command-line tool, shipped beside the `velmora` extension module."""

from __future__ import annotations

import signal

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence

__all__ = ["main"]


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line `argv` (the process's own by default); returns the exit status."""
    try:
        from .cli import main as run
    except KeyboardInterrupt:  # Ctrl-C while the tool loads, before it traps the signal
        return 128 + signal.SIGINT
    return run(argv)
