"""Ending a command on a signal by unwinding it like any other failure.

The signal becomes an `Interrupted` exception, so that the `except` and `finally` blocks on the
way out remove temporary files, and the command ends quietly with 128 plus the signal's number,
the status a shell reports for a program that the signal ended.
"""

from __future__ import annotations

import signal
from types import FrameType

TYPE_CHECKING = False
if TYPE_CHECKING:  # typing costs every command's start-up
    from typing import Any

# The signals that end a process unless it handles them and that someone may send on
# purpose: Ctrl-C, Ctrl-\, kill, a closed terminal, a CPU time limit. SIGPROF and SIGVTALRM
# are left to profilers, whose timers send them. Windows has only the first two.
TRAPPED = tuple(
    getattr(signal, name)
    for name in (
        "SIGINT", "SIGTERM", "SIGHUP", "SIGQUIT", "SIGUSR1", "SIGUSR2", "SIGALRM", "SIGXCPU"
    )
    if hasattr(signal, name)
)
# Windows cannot hold signals back: there `Held` holds nothing.
CAN_HOLD = hasattr(signal, "pthread_sigmask")


class Interrupted(BaseException):
    """Raised by a trapped signal; a BaseException so that `except Exception` lets it through."""

    def __init__(self, number: int) -> None:
        super().__init__(number)
        self.status = 128 + number


def _interrupt(number: int, frame: FrameType | None) -> None:
    raise Interrupted(number)


_leaving: list[int] = []  # the signal a process trapped `once` is leaving on


def _interrupt_once(number: int, frame: FrameType | None) -> None:
    if _leaving:
        return
    _leaving.append(number)
    raise Interrupted(number)


def trap(once: bool = False) -> dict[int, Any]:
    """Turns the trapped signals into `Interrupted`, leaving alone any that the caller ignored
    (as `nohup`, or a shell starting a job in the background, does). With `once`, only the
    first one is raised: the others would only cut short its way out. Returns the handlers
    it replaced, for `restore`."""
    handler = _interrupt_once if once else _interrupt
    replaced = {}
    for number in TRAPPED:
        previous = signal.getsignal(number)
        if previous is not signal.SIG_IGN:
            replaced[number] = signal.signal(number, handler)
    return replaced


def restore(replaced: dict[int, Any]) -> None:
    """Puts back the handlers `trap` replaced, for a caller that goes on after the command,
    and forgets any signal it was leaving on."""
    for number, handler in replaced.items():
        signal.signal(number, handler)
    _leaving.clear()


class Held:
    """Defers the trapped signals (or those given) while a block runs, so that no signal can
    fall between creating a resource and recording that it must be cleaned up; they arrive
    on leaving."""

    def __init__(self, held: tuple[int, ...] = TRAPPED) -> None:
        self._held = held

    def __enter__(self) -> None:
        if CAN_HOLD:
            self._previous = signal.pthread_sigmask(signal.SIG_BLOCK, self._held)

    def __exit__(self, *exception: object) -> None:
        if CAN_HOLD:
            signal.pthread_sigmask(signal.SIG_SETMASK, self._previous)


def hold_from_now(held: tuple[int, ...]) -> None:
    """Holds the signals given back in this thread from here on, and in the threads it
    starts, which must leave them to the main one."""
    if CAN_HOLD:
        signal.pthread_sigmask(signal.SIG_BLOCK, held)


def release() -> None:
    """Lets the trapped signals in, in a process that began with them held."""
    if CAN_HOLD:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, TRAPPED)
