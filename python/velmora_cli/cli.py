"""The `velmora` command: the extension module's operations on files and pipes.

A subcommand is one `add_command` call. A module with subcommands of its own defines
`add_commands(commands, options)`, making its calls with the shared option groups in
`options` (see `option_parents`), and is listed in COMMAND_MODULES. Handlers take the parsed
arguments and the contents of their inputs and return an `Outcome`; they raise
`reports.Failure` for an error with its exit status. Anything a command needs beyond parsing
is imported when it runs, so that `velmora --help` and every command start quickly.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import os
import re  # argparse's own import: no cost
import signal
import stat
import sys

import velmora

from . import files, reports, signals
from .reports import (
    EXIT_BROKEN_PIPE,
    EXIT_OK,
    EXIT_USAGE,
    EXIT_VERIFICATION_FAILED,
    Failure,
    Report,
    printable,
)

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Sequence
    from typing import Any, NoReturn, Union

    # A command yields a report, a document to write out, or nothing (it printed its own).
    Outcome = Union[Report, bytes, None]
    Range = tuple[int, int]

# Modules that add subcommands of their own through `add_commands(commands, options)`.
COMMAND_MODULES = ("velmora_cli.batch", "velmora_cli.check")

# The status codes that mean a binding was checked and did not hold, as
# opposed to a page or an algorithm that could not be checked at all.
VERIFICATION_CODES = ("[assertion.dataHash.mismatch]", "[assertion.dataHash.malformed]")

ALGORITHM_HELP = "hash algorithm: sha256 (default), sha384 or sha512"
MAX_OFFSET = 2**64
# What a command's failures carry in JSON besides the error, even when its words are wrong.
FAILURE_DETAILS: dict[str, dict[str, object]] = {"verify": {"verified": False}}


class Parser(argparse.ArgumentParser):
    """Usage errors reported like every other failure, with the same exit status as bad input."""

    def error(self, message: str) -> NoReturn:
        raise Failure(f"{message} (see {self.prog} --help)", EXIT_USAGE, program=self.prog)

    def _print_message(self, message: str, file: Any = None) -> None:
        # argparse would drop a failed write of --help or --version and exit 0.
        if message and file is sys.stdout:
            reports.show_text(message.removesuffix("\n"))
        elif message:
            super()._print_message(message, file)


# ---------------------------------------------------------------------------
# Commands. Each takes the parsed arguments and the contents of its inputs.


def locate(args: argparse.Namespace, page: bytes) -> Report:
    ranges = velmora.locate_all(page)
    lines = [f"{len(ranges)} manifest element{'' if len(ranges) == 1 else 's'} in the head"]
    lines += [f"  start {start}, length {length}" for start, length in ranges]
    return Report([range_object(r) for r in ranges], "\n".join(lines))


def extract(args: argparse.Namespace, page: bytes) -> Report | None:
    found = velmora.extract(page)
    if args.store_out is not None:
        if found is None or found["kind"] != "embedded":
            raise Failure("the page carries no embedded manifest store to write")
        guard_output(args.store_out, args)
    # The report is whole before any file is written, so that it cannot fail after one is.
    report = association_report(found, args.store_out)
    if args.store_out is not None:
        assert found is not None and found["kind"] == "embedded"
        files.write_output(args.store_out, found["store"], force=args.force)
        if files.is_standard_output(args.store_out):
            return None  # standard output carries the store alone
    return report


def association_report(found: Any, store_out: str | None) -> Report:
    if found is None:
        return Report(None, "no manifest element in the head")
    place = {"kind": found["kind"], "start": found["start"], "length": found["length"]}
    text = f"{found['kind']} manifest element at start {found['start']}, length {found['length']}"
    if found["kind"] == "embedded":
        import base64

        store = found["store"]
        written = "" if store_out is None else f", written to {printable(store_out)}"
        data = {**place, "store": base64.b64encode(store).decode("ascii")}
        size = f"{len(store)} byte{'' if len(store) == 1 else 's'}"
        return Report(data, f"{text}\nstore: {size}{written}")
    return Report({**place, "href": found["href"]}, f"{text}\nhref: {printable(found['href'])}")


def embed(args: argparse.Namespace, page: bytes, store: bytes) -> bytes:
    from . import check

    check.warn(args, page)
    return velmora.embed(page, store)


def reference(args: argparse.Namespace, page: bytes) -> bytes:
    from . import check

    if not is_utf8(args.href):
        raise Failure(f"HREF is not UTF-8 text: {args.href}")
    if not args.href:
        raise Failure(f"HREF is empty: {reports.EMPTY_HREF}")
    check.warn(args, page)
    return velmora.embed_reference(page, args.href)


def is_utf8(word: str) -> bool:
    """Whether a command-line word came as UTF-8: bytes that are not stand as lone surrogates."""
    return not any("\udc80" <= c <= "\udcff" for c in word)


def as_text(word: str) -> str:
    """A command-line word as text, with what was not UTF-8 in it replaced by U+FFFD: the
    module then tells what is wrong with it, as with any other word."""
    return word.encode("utf-8", "surrogateescape").decode("utf-8", "replace")


def remove(args: argparse.Namespace, page: bytes) -> bytes:
    return velmora.remove(page)


def hash_before_embed(args: argparse.Namespace, page: bytes) -> Report:
    digest = velmora.inline_hash_before_embed(page, args.alg).hex()
    return Report({"alg": args.alg, "hash": digest}, f"{args.alg} {digest}")


def binding(args: argparse.Namespace, page: bytes) -> Report:
    computed = velmora.compute_data_hash(page, args.alg)
    digest = computed["hash"].hex()
    exclusions = computed["exclusions"]
    data = {
        "alg": computed["alg"],
        "hash": digest,
        "exclusions": [range_object(e) for e in exclusions],
    }
    listed = " ".join(f"{start}:{length}" for start, length in exclusions) or "none"
    return Report(data, f"alg: {computed['alg']}\nhash: {digest}\nexclusions: {listed}")


def verify(args: argparse.Namespace, page: bytes) -> Report:
    try:
        velmora.verify_data_hash(page, args.hash, args.exclusion, args.alg)
    except ValueError as error:
        message = str(error)
        failed = message.endswith(VERIFICATION_CODES)
        status = EXIT_VERIFICATION_FAILED if failed else EXIT_USAGE
        raise Failure(message, status) from None
    return Report(
        {"verified": True, "alg": args.alg}, f"verified: the {args.alg} data hash matches"
    )


def run_demo(args: argparse.Namespace) -> None:
    from . import demo

    demo.run()


def range_object(pair: Range) -> dict[str, int]:
    start, length = pair
    return {"start": start, "length": length}


# ---------------------------------------------------------------------------
# Inputs and outputs.


def read_inputs(args: argparse.Namespace) -> list[bytes]:
    paths = [getattr(args, name) for name in args.inputs]
    if sum(map(files.is_standard_input, paths)) > 1:
        raise Failure("only one input can be read from standard input")
    return [files.read_input(path) for path in paths]


def guard_output(path: str | None, args: argparse.Namespace) -> None:
    """Refuses to write `path` (None: standard output) when it is one of the inputs."""
    for name in args.inputs:
        source = getattr(args, name)
        if not files.is_same_file(path, source):
            continue
        to_output = path is None or files.is_standard_output(path)
        written = files.STDOUT_NAME if path is None or to_output else printable(path)
        if source == files.STDIO:  # --in-place cannot help there
            raise Failure(f"refusing to overwrite {written}, which standard input reads")
        if to_output:
            raise Failure(
                f"refusing to overwrite the input {printable(source)}, {written} is on it"
            )
        hint = " (use --in-place for PAGE)" if name == "page" and hasattr(args, "in_place") else ""
        raise Failure(f"refusing to overwrite the input {printable(source)}{hint}")


def document_destination(args: argparse.Namespace) -> str | None:
    """Where the new document goes, checked before any input is read."""
    if args.in_place:
        if args.page == files.STDIO:
            raise Failure("--in-place needs PAGE to be a file, not standard input")
        if not stat.S_ISREG(os.stat(args.page).st_mode):
            raise Failure(f"--in-place needs PAGE to be a regular file: {printable(args.page)}")
        return str(args.page)
    output: str | None = args.output
    guard_output(output, args)
    return output


def run(args: argparse.Namespace) -> None:
    if hasattr(args, "in_place"):
        destination = document_destination(args)
    else:  # a report, written where the shell put standard output
        destination = None
        guard_output(None, args)
    outcome = args.handler(args, *read_inputs(args))
    if isinstance(outcome, bytes):
        files.write_output(destination, outcome, force=args.force)
    elif outcome is not None:
        reports.show(outcome, args.json)


# ---------------------------------------------------------------------------
# Argument parsing.


def hex_bytes(text: str) -> bytes:
    try:
        digest = bytes.fromhex(text)
    except ValueError:
        digest = b""
    if not digest:  # an empty word would only ever fail to match, as if the page had changed
        raise argparse.ArgumentTypeError(f"not a hexadecimal hash: {text!r}")
    return digest


def exclusion(text: str) -> Range:
    match = re.fullmatch(r"([0-9]+):([0-9]+)", text)
    if match is None:
        raise argparse.ArgumentTypeError(f"expected START:LENGTH, not {text!r}")
    start, length = int(match[1]), int(match[2])
    if start >= MAX_OFFSET or length >= MAX_OFFSET:
        raise argparse.ArgumentTypeError(f"START and LENGTH must be below 2**64: {text!r}")
    return start, length


def option_parents() -> dict[str, argparse.ArgumentParser]:
    """The option groups that commands share, to pass as `parents` to `add_command`:
    "json" (--json), "alg" (--alg), "force" (--force), "writes" (-o/--in-place, --force), and
    "debug" (--debug)."""
    json_flag = Parser(add_help=False)
    json_flag.add_argument(
        "--json", action="store_true", help="print JSON instead of text (hashes in hex)"
    )
    alg = Parser(add_help=False)
    alg.add_argument("--alg", default="sha256", type=as_text, help=ALGORITHM_HELP)
    force = Parser(add_help=False)
    force.add_argument(
        "--force", action="store_true", help="replace an output file even if it is write-protected"
    )
    writes = Parser(add_help=False, parents=[force])
    where = writes.add_mutually_exclusive_group()
    where.add_argument(
        "-o", "--output", metavar="OUT", help="write to OUT (- for standard output, the default)"
    )
    where.add_argument("--in-place", action="store_true", help="overwrite PAGE with the result")
    debug = debug_flag(argparse.SUPPRESS)  # after the command as before it
    return {"json": json_flag, "alg": alg, "force": force, "writes": writes, "debug": debug}


def debug_flag(default: object) -> argparse.ArgumentParser:
    debug = Parser(add_help=False)
    debug.add_argument(
        "--debug", action="store_true", default=default, help="show a traceback on internal errors"
    )
    return debug


def add_command(
    commands: Any,
    name: str,
    handler: Callable[..., Outcome],
    summary: str,
    parents: Sequence[argparse.ArgumentParser] = (),
    inputs: Sequence[str] = ("page",),
) -> argparse.ArgumentParser:
    """Adds subcommand `name`; `inputs` names the arguments whose files are read for `handler`."""
    # After the command as before it, --debug must not reset what the main parser set.
    every = [*parents, debug_flag(argparse.SUPPRESS)]
    command: argparse.ArgumentParser = commands.add_parser(
        name, help=summary, description=summary, parents=every
    )
    if "page" in inputs:
        command.add_argument("page", metavar="PAGE", help="HTML file, or - for standard input")
    command.set_defaults(handler=handler, inputs=tuple(inputs))
    return command


def add_builtin_commands(commands: Any, p: dict[str, argparse.ArgumentParser]) -> None:
    add_command(commands, "locate", locate, "list the manifest elements in the head", [p["json"]])
    add_command(
        commands,
        "extract",
        extract,
        "read the page's manifest association",
        [p["json"], p["force"]],
    ).add_argument(
        "--store-out",
        metavar="FILE",
        help="write the embedded manifest store to FILE (- for standard output, without report)",
    )
    add_command(
        commands, "embed", embed, "embed a manifest store inline", [p["writes"]], ("page", "store")
    ).add_argument("store", metavar="STORE", help="manifest store file, or - for standard input")
    add_command(
        commands, "reference", reference, "reference an external manifest store", [p["writes"]]
    ).add_argument("href", metavar="HREF", help="where the manifest store can be fetched")
    add_command(commands, "remove", remove, "remove every manifest element", [p["writes"]])
    add_command(
        commands,
        "hash",
        hash_before_embed,
        "the hash an inline binding will have, taken before embedding",
        [p["json"], p["alg"]],
    )
    add_command(
        commands, "binding", binding, "compute the page's data-hash binding", [p["json"], p["alg"]]
    )
    checks = add_command(
        commands, "verify", verify, "verify a data-hash binding", [p["json"], p["alg"]]
    )
    checks.set_defaults(failure_details=FAILURE_DETAILS["verify"])
    checks.add_argument(
        "--hash", metavar="HEX", type=hex_bytes, required=True, help="the hash to check, in hex"
    )
    checks.add_argument(
        "--exclusion",
        metavar="START:LENGTH",
        type=exclusion,
        action="append",
        default=[],
        help="an excluded byte range, one per --exclusion (none for a referenced manifest)",
    )
    add_command(commands, "demo", run_demo, "run the whole sequence on a bundled page", [], ())


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog=reports.PROGRAM,
        description="Tie C2PA manifests to HTML pages and check their data-hash binding.",
        epilog="Start with: velmora demo",
        parents=[debug_flag(False)],
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {velmora.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    options = option_parents()
    add_builtin_commands(commands, options)
    for module in COMMAND_MODULES:
        importlib.import_module(module).add_commands(commands, options)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line `argv` (the process's own by default); returns the exit status."""
    replaced = signals.trap(once=True)
    try:
        return run_trapped(sys.argv[1:] if argv is None else list(argv))
    finally:
        signals.restore(replaced)


def run_trapped(words: list[str]) -> int:
    files.stand_in_for_closed_streams()
    try:
        return run_reporting_failures(words)
    except signals.Interrupted as interrupted:
        return interrupted.status
    except KeyboardInterrupt:  # SIGINT before it was trapped
        return 128 + signal.SIGINT
    except BrokenPipeError:
        # The reader left early (velmora ... | head): there is no one to tell, and
        # the interpreter's own final flush must not fail on the closed pipe either.
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
        return EXIT_BROKEN_PIPE
    except OSError as error:  # standard output or error failed while reporting
        with contextlib.suppress(OSError):  # if it was standard error, nobody can be told
            reports.print_error(f"{reports.PROGRAM}: {describe(error)}")
        return EXIT_USAGE


def run_reporting_failures(words: list[str]) -> int:
    # Until the words are parsed, a usage error is reported as the words ask.
    as_json, debug = "--json" in words, "--debug" in words
    args = None
    try:
        args = parse(build_parser(), words)
        as_json, debug = getattr(args, "json", False), args.debug
        run(args)
        return EXIT_OK
    except (BrokenPipeError, SystemExit, KeyboardInterrupt, signals.Interrupted):
        raise
    except BaseException as error:  # velmora's InternalError is a BaseException too
        failure = as_failure(error, debug)
        details = getattr(args, "failure_details", None) or details_before_parsing(words)
        failure.details = {**details, **failure.details}
        return reports.fail(failure, as_json)


def details_before_parsing(words: list[str]) -> dict[str, object]:
    """What a command's failures carry, for words that could not be parsed: the first word
    that is no option names the command, as it does once they are."""
    command = next((word for word in words if not word.startswith("-")), None)
    return FAILURE_DETAILS.get(command or "", {})


def parse(parser: argparse.ArgumentParser, words: list[str]) -> argparse.Namespace:
    """The parsed words. argparse gives a list of positionals only the words before the
    first option that follows it; a command whose list may run on (`velmora batch hash
    --jobs 2 site`) names it in `more_words` and gets the words left over after options."""
    args, extras = parser.parse_known_args(words)
    if not extras:
        return args
    more: str | None = getattr(args, "more_words", None)
    before, after = split_at_marker(extras)
    unknown = extras if more is None else [w for w in before if w.startswith("-") and w != "-"]
    if more is None or unknown:
        parser.error(f"unrecognized arguments: {' '.join(unknown)}")
    getattr(args, more).extend([*before, *after])
    return args


def split_at_marker(words: list[str]) -> tuple[list[str], list[str]]:
    """The words before and after the first "--" (after which none is an option)."""
    if "--" not in words:
        return words, []
    at = words.index("--")
    return words[:at], words[at + 1 :]


def as_failure(error: BaseException, debug: bool) -> Failure:
    if isinstance(error, Failure):
        return error
    if isinstance(error, (OSError, ValueError)):
        return Failure(describe(error))
    if debug:
        import traceback

        traceback.print_exc()
    if isinstance(error, MemoryError):
        return Failure("out of memory")
    message = f"unexpected {type(error).__name__}: {error}"
    return Failure(message if debug else f"{message} (--debug shows where)")


def describe(error: BaseException) -> str:
    if isinstance(error, OSError):
        where = f"{error.filename}: " if error.filename is not None else ""
        return f"{where}{error.strerror or error}"
    return str(error)
