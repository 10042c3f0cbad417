"""`velmora batch` and `velmora survey`: many pages, or whole web crawls, in one run.

This module only declares the two commands, so that every other command starts as fast as
before; what they run (pools, Dask, the WARC reader, the progress bar) is in `batch_run`,
imported when one of them runs.
"""

from __future__ import annotations

import argparse

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, NoReturn

# Kept here rather than in `units` so that declaring the commands imports nothing more.
READING_OPERATIONS = ("hash", "binding", "locate", "extract")
WRITING_OPERATIONS = ("embed", "reference", "remove")
OPERATIONS = (*READING_OPERATIONS, "verify", *WRITING_OPERATIONS)


def add_commands(commands: Any, options: dict[str, argparse.ArgumentParser]) -> None:
    """Adds `batch` and `survey` to the `velmora` command's subcommands."""
    add_batch(commands, options)
    add_survey(commands, options)


def add_batch(commands: Any, options: dict[str, argparse.ArgumentParser]) -> None:
    summary = "run one operation over many pages, writing JSON Lines"
    command = commands.add_parser(
        "batch",
        help=summary,
        description=f"{summary}: one object per page on standard output or in -o OUT.",
        parents=[options["alg"], options["debug"]],
    )
    command.add_argument(
        "operation",
        choices=OPERATIONS,
        metavar="OPERATION",
        help=f"one of: {', '.join(OPERATIONS)}",
    )
    command.add_argument(
        "paths",
        nargs="*",
        metavar="PATH",
        help="a page, or a folder searched for pages with --glob",
    )
    command.add_argument(
        "--files-from",
        metavar="FILE",
        help="read paths from FILE (- for standard input), one per line",
    )
    command.add_argument(
        "-0",
        "--null",
        action="store_true",
        help="paths in --files-from end with NUL, as find -print0 writes",
    )
    command.add_argument(
        "--glob",
        action="append",
        metavar="PATTERN",
        help="names of pages in folders (repeatable; default *.html and *.htm)",
    )
    command.add_argument(
        "--stores",
        metavar="MAP.jsonl",
        help='embed, reference: lines of {"path": ..., "store": FILE} or '
        '{"path": ..., "href": ...}, which also name the pages',
    )
    command.add_argument(
        "--bindings",
        metavar="BINDINGS.jsonl",
        help="verify: the output of a batch binding, which also names the pages",
    )
    output = command.add_mutually_exclusive_group()
    output.add_argument(
        "-o",
        "--output",
        metavar="OUT.jsonl",
        help="write the records to OUT.jsonl instead of standard output",
    )
    output.add_argument(
        "--resume",
        metavar="OUT.jsonl",
        help="continue the batch that wrote OUT.jsonl: pages recorded as ok "
        "are skipped, the others redone, new records appended",
    )
    command.add_argument(
        "--force",
        action="store_true",
        help="replace pages (writing operations) and OUT.jsonl even if they are "
        "write-protected",
    )
    command.add_argument(
        "--sync-once",
        action="store_true",
        help="writing operations: flush to disk once at the end rather than "
        "after each page (faster; see the README for the trade-off)",
    )
    add_engine_options(command)
    command.set_defaults(handler=run_batch, inputs=(), more_words="paths")


def add_engine_options(command: argparse.ArgumentParser) -> None:
    command.add_argument(
        "--jobs",
        type=positive,
        default=None,
        metavar="N",
        help="worker processes (default: the usable cores; 1 runs in this one)",
    )
    command.add_argument(
        "--dask",
        metavar="ADDRESS",
        help="run on the Dask scheduler at ADDRESS (needs velmora[dask])",
    )


def positive(text: str) -> int:
    if not text.isdigit() or int(text) < 1:
        raise argparse.ArgumentTypeError(f"expected a positive whole number, not {text!r}")
    return int(text)


def run_batch(args: argparse.Namespace) -> NoReturn:
    from . import batch_run

    batch_run.run_batch(args)


def add_survey(commands: Any, options: dict[str, argparse.ArgumentParser]) -> None:
    summary = "find the manifest associations of the HTML responses in WARC files"
    command = commands.add_parser(
        "survey",
        help=summary,
        description=f"{summary}: one JSON object per response (needs velmora[warc]).",
        parents=[options["debug"]],
    )
    command.add_argument("warcs", nargs="+", metavar="WARC", help="a WARC file (gzip or not)")
    command.add_argument(
        "--out-dir",
        metavar="DIR",
        help="write DIR/NAME.jsonl for each WARC file NAME; files already "
        "there are skipped, so an interrupted survey resumes",
    )
    command.add_argument(
        "--force",
        action="store_true",
        help="replace a write-protected DIR/NAME.jsonl of a WARC file surveyed again",
    )
    add_engine_options(command)
    command.set_defaults(handler=run_survey, inputs=(), more_words="warcs")


def run_survey(args: argparse.Namespace) -> NoReturn:
    from . import batch_run

    batch_run.run_survey(args)
