"""What a command tells its user: exit statuses, one-line errors, and text or JSON reports.

Text meant for a terminal goes through `printable`, so that nothing taken from a page or a
file name can move the cursor, change colours or fake a line of the report; JSON is exact.
"""

from __future__ import annotations

import sys

from . import files

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

EXIT_OK = 0
EXIT_VERIFICATION_FAILED = 1
EXIT_USAGE = 2  # bad usage or input, a file that cannot be read or written, anything unexpected
EXIT_BROKEN_PIPE = 141  # what a shell reports for a program ended by SIGPIPE

PROGRAM = "velmora"
# Why an empty reference is refused, which the module would write into a link all the same.
EMPTY_HREF = "the link would have no href to resolve, and readers reject the page"


class Failure(Exception):
    """An error reported in one line on standard error, with its exit status.

    `details` are extra keys for the JSON error object, `program` the name the line starts with.
    """

    def __init__(
        self,
        message: str,
        status: int = EXIT_USAGE,
        details: dict[str, Any] | None = None,
        program: str = PROGRAM,
    ) -> None:
        super().__init__(message)
        self.message = message
        self.status = status
        self.details = details or {}
        self.program = program


class Report:
    """A command's result for people (`text`, already escaped) and for programs (`data`)."""

    def __init__(self, data: Any, text: str) -> None:
        self.data = data
        self.text = text


def printable(text: str) -> str:
    """`text` with every character a terminal could act on, and the backslash, escaped as in a
    Python string literal; a byte of a file name that is not UTF-8 shows as \\xNN."""
    if text.isprintable() and "\\" not in text:
        return text
    return "".join(c if c.isprintable() and c != "\\" else _escape(c) for c in text)


SHORT_ESCAPES = {"\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _escape(character: str) -> str:
    code = ord(character)
    if character in SHORT_ESCAPES:
        return SHORT_ESCAPES[character]
    if 0xDC80 <= code <= 0xDCFF:  # how Python carries an undecodable byte of a file name
        return f"\\x{code - 0xDC00:02x}"
    if code < 0x100:
        return f"\\x{code:02x}"
    return f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}"


def status_code(message: str) -> str | None:
    """The status code that ends a message in brackets: `... [assertion.dataHash.mismatch]`."""
    if not message.endswith("]") or "[" not in message:
        return None
    code = message[message.rindex("[") + 1 : -1]
    return code if code and " " not in code else None


def show_text(text: str) -> None:
    """Prints a line on standard output, in its encoding, never failing on a character."""
    encoding = getattr(sys.stdout, "encoding", None) or "utf-8"
    files.write_output(None, f"{text}\n".encode(encoding, "backslashreplace"))


def show_json(data: Any) -> None:
    import json  # only the commands asked for JSON pay for it

    files.write_output(None, f"{json.dumps(data, indent=2)}\n".encode("ascii"))


def show(report: Report, as_json: bool) -> None:
    if as_json:
        show_json(report.data)
    else:
        show_text(report.text)


def fail(failure: Failure, as_json: bool) -> int:
    """Reports `failure`: one line on standard error and, with `as_json`, one JSON object
    `{...details, "error": message, "status_code": code or null}` on standard output.
    Returns the exit status."""
    if as_json:
        error = {"error": failure.message, "status_code": status_code(failure.message)}
        show_json({**failure.details, **error})
    print_error(f"{failure.program}: {failure.message}")
    return failure.status


def print_error(line: str) -> None:
    if sys.stderr is None:
        return
    sys.stderr.write(f"{printable(line)}\n")
    sys.stderr.flush()
