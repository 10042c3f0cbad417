"""`velmora check PAGE`, and the same check as a warning before `embed` and `reference`.

Only the wiring lives here, so that building the parser costs nothing: the comparison
(`browsers`) and the HTML parser it needs are imported when a check runs.
"""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from typing import Any

EXIT_DIFFERENT = 1
# The commands that write a page and check it first.
CHECKED_WRITERS = ("embed", "reference")


def add_commands(commands: Any, options: dict[str, argparse.ArgumentParser]) -> None:
    from .cli import add_command

    add_command(
        commands, "check", command, "compare the head with browsers' view", [options["json"]]
    )
    for name in CHECKED_WRITERS:
        commands.choices[name].add_argument(
            "--strict",
            action="store_true",
            help="write nothing and exit 2 where browsers would read the page's head differently "
            '(needs "velmora[check]")',
        )


def command(args: argparse.Namespace, page: bytes) -> None:
    """Prints the comparison; exits 0 when the views agree, 1 when they differ, 2
    without the parser."""
    from . import browsers, reports

    try:
        report = browsers.check(page)
    except browsers.ParserMissing as missing:
        raise reports.Failure(f"check {missing}") from None
    text = "\n".join(reports.printable(line) for line in report.text().split("\n"))
    reports.show(reports.Report(report.data(), text), args.json)
    if report.differences:
        raise SystemExit(EXIT_DIFFERENT)


def warn(args: argparse.Namespace, page: bytes) -> None:
    """Before embed or reference: each difference that bears on the written page
    (where the new element goes, and elements only browsers see, which removal
    keeps) as a warning on standard error; with --strict, a failure instead of
    the page. Quiet without the parser, unless --strict asked for the check."""
    from . import browsers, reports

    try:
        report = browsers.check(page)
    except browsers.ParserMissing as missing:
        if args.strict:
            raise reports.Failure(f"--strict {missing}; nothing written") from None
        return
    except Exception as error:  # the parser's own failure (out of memory): the check is advice
        reason = f"the head could not be compared with browsers' view ({type(error).__name__}"
        reason += f": {error})" if str(error) else ")"
        if args.strict:
            raise reports.Failure(f"{reason}; nothing written (--strict)") from None
        reports.print_error(f"{reports.PROGRAM}: warning: {reason}")
        return
    relevant = [d for d in report.differences if d.subject != "element"]
    for difference in relevant:
        reports.print_error(f"{reports.PROGRAM}: warning: {difference.describe()}")
    if relevant and args.strict:
        raise reports.Failure(
            "browsers would read the head differently; nothing written (--strict)"
        )
