"""The `velmora` command: the extension module's operations on files and pipes."""

from __future__ import annotations

import argparse
import base64
import json
import os
import re
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any, NoReturn, Union

import velmora

from . import check, demo, files

EXIT_OK = 0
EXIT_VERIFICATION_FAILED = 1
EXIT_USAGE = 2
EXIT_BROKEN_PIPE = 141  # what a shell reports for a program ended by SIGPIPE

# The status codes that mean a binding was checked and did not hold, as
# opposed to a page or an algorithm that could not be checked at all.
VERIFICATION_CODES = ("[assertion.dataHash.mismatch]", "[assertion.dataHash.malformed]")

ALGORITHM_HELP = "hash algorithm: sha256 (default), sha384 or sha512"
MAX_OFFSET = 2**64


class Failure(Exception):
    """An error reported in one line on standard error, with its exit status."""

    def __init__(self, message: str, status: int = EXIT_USAGE) -> None:
        super().__init__(message)
        self.status = status


@dataclass
class Report:
    """A command's result for people (`text`) and for programs (`data`, printed as JSON)."""

    data: Any
    text: str


# A command yields a report, a document to write out, or nothing (it printed its own).
Outcome = Union[Report, bytes, None]
Range = tuple[int, int]


class Parser(argparse.ArgumentParser):
    """Usage errors in one line, with the same exit status as bad input."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: {message} (see {self.prog} --help)\n")


# ---------------------------------------------------------------------------
# Commands. Each takes the parsed arguments and the contents of its inputs.


def locate(args: argparse.Namespace, page: bytes) -> Report:
    ranges = velmora.locate_all(page)
    lines = [f"{len(ranges)} manifest element{'' if len(ranges) == 1 else 's'} in the head"]
    lines += [f"  start {start}, length {length}" for start, length in ranges]
    return Report([range_object(r) for r in ranges], "\n".join(lines))


def extract(args: argparse.Namespace, page: bytes) -> Report:
    found = velmora.extract(page)
    if args.store_out is not None:
        if found is None or found["kind"] != "embedded":
            raise Failure("the page carries no embedded manifest store to write")
        guard_output(args.store_out, args)
        files.write_atomically(args.store_out, found["store"])
    if found is None:
        return Report(None, "no manifest element in the head")
    place = {"kind": found["kind"], "start": found["start"], "length": found["length"]}
    text = f"{found['kind']} manifest element at start {found['start']}, length {found['length']}"
    if found["kind"] == "embedded":
        store = found["store"]
        written = "" if args.store_out is None else f", written to {args.store_out}"
        data = {**place, "store": base64.b64encode(store).decode("ascii")}
        return Report(data, f"{text}\nstore: {len(store)} bytes{written}")
    return Report({**place, "href": found["href"]}, f"{text}\nhref: {found['href']}")


def embed(args: argparse.Namespace, page: bytes, store: bytes) -> bytes:
    check.warn(args, page)
    return velmora.embed(page, store)


def reference(args: argparse.Namespace, page: bytes) -> bytes:
    check.warn(args, page)
    return velmora.embed_reference(page, args.href)


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
        raise Failure(message, EXIT_VERIFICATION_FAILED if failed else EXIT_USAGE) from None
    return Report(
        {"verified": True, "alg": args.alg}, f"verified: the {args.alg} data hash matches"
    )


def run_demo(args: argparse.Namespace) -> None:
    demo.run()


def range_object(pair: Range) -> dict[str, int]:
    start, length = pair
    return {"start": start, "length": length}


# ---------------------------------------------------------------------------
# Inputs and outputs.


def read_inputs(args: argparse.Namespace) -> list[bytes]:
    paths = [getattr(args, name) for name in args.inputs]
    if paths.count(files.STDIO) > 1:
        raise Failure("only one input can be read from standard input")
    return [files.read_input(path) for path in paths]


def guard_output(path: str, args: argparse.Namespace) -> None:
    for name in args.inputs:
        source = getattr(args, name)
        if files.is_same_file(path, source):
            raise Failure(f"refusing to overwrite the input {source} (use --in-place for PAGE)")


def document_destination(args: argparse.Namespace) -> str | None:
    if args.in_place:
        if args.page == files.STDIO:
            raise Failure("--in-place needs PAGE to be a file, not standard input")
        return str(args.page)
    output: str | None = args.output
    if output is not None:
        guard_output(output, args)
    return output


def deliver(outcome: Outcome, args: argparse.Namespace) -> None:
    if isinstance(outcome, bytes):
        files.write_output(document_destination(args), outcome)
    elif outcome is not None:
        print(json.dumps(outcome.data, indent=2) if args.json else outcome.text)


# ---------------------------------------------------------------------------
# Argument parsing.


def hex_bytes(text: str) -> bytes:
    try:
        return bytes.fromhex(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a hexadecimal hash: {text!r}") from None


def exclusion(text: str) -> Range:
    match = re.fullmatch(r"([0-9]+):([0-9]+)", text)
    if match is None:
        raise argparse.ArgumentTypeError(f"expected START:LENGTH, not {text!r}")
    start, length = int(match[1]), int(match[2])
    if start >= MAX_OFFSET or length >= MAX_OFFSET:
        raise argparse.ArgumentTypeError(f"START and LENGTH must be below 2**64: {text!r}")
    return start, length


def option_parents() -> dict[str, argparse.ArgumentParser]:
    json_flag = Parser(add_help=False)
    json_flag.add_argument(
        "--json", action="store_true", help="print JSON instead of text (hashes in hex)"
    )
    alg = Parser(add_help=False)
    alg.add_argument("--alg", default="sha256", help=ALGORITHM_HELP)
    writes = Parser(add_help=False)
    where = writes.add_mutually_exclusive_group()
    where.add_argument("-o", "--output", metavar="OUT", help="write to OUT, not standard output")
    where.add_argument("--in-place", action="store_true", help="overwrite PAGE with the result")
    return {"json": json_flag, "alg": alg, "writes": writes}


def add_command(
    commands: Any,
    name: str,
    handler: Callable[..., Outcome],
    summary: str,
    parents: Sequence[argparse.ArgumentParser] = (),
    inputs: Sequence[str] = ("page",),
) -> argparse.ArgumentParser:
    command: argparse.ArgumentParser = commands.add_parser(
        name, help=summary, description=summary, parents=list(parents)
    )
    if "page" in inputs:
        command.add_argument("page", metavar="PAGE", help="HTML file, or - for standard input")
    command.set_defaults(handler=handler, inputs=tuple(inputs))
    return command


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(
        prog="velmora",
        description="Tie C2PA manifests to HTML pages and check their data-hash binding.",
        epilog="Start with: velmora demo",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {velmora.__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    p = option_parents()

    add_command(commands, "locate", locate, "list the manifest elements in the head", [p["json"]])
    add_command(
        commands, "extract", extract, "read the page's manifest association", [p["json"]]
    ).add_argument("--store-out", metavar="FILE", help="write the embedded manifest store to FILE")
    writes_checked = [p["writes"], check.strict_option()]
    add_command(
        commands, "embed", embed, "embed a manifest store inline", writes_checked, ("page", "store")
    ).add_argument("store", metavar="STORE", help="manifest store file, or - for standard input")
    add_command(
        commands, "reference", reference, "reference an external manifest store", writes_checked
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
    checks.add_argument(
        "--hash", metavar="HEX", type=hex_bytes, required=True, help="the hash to check, in hex"
    )
    checks.add_argument(
        "--exclusion",
        metavar="START:LENGTH",
        type=exclusion,
        action="extend",
        nargs="+",
        default=[],
        help="an excluded byte range (repeatable; none for a referenced manifest)",
    )
    add_command(
        commands, "check", check.command, "compare the head with browsers' view", [p["json"]]
    )
    add_command(commands, "demo", run_demo, "run the whole sequence on a bundled page", [], ())
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        deliver(args.handler(args, *read_inputs(args)), args)
    except Failure as failure:
        return report_error(str(failure), failure.status)
    except BrokenPipeError:
        # The reader left early (velmora ... | head): there is no one to tell, and
        # the interpreter's own final flush must not fail on the closed pipe either.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_BROKEN_PIPE
    except OSError as error:
        where = f"{error.filename}: " if error.filename is not None else ""
        return report_error(f"{where}{error.strerror or error}", EXIT_USAGE)
    except ValueError as error:
        return report_error(str(error), EXIT_USAGE)
    return EXIT_OK


def report_error(message: str, status: int) -> int:
    print(f"velmora: {message}", file=sys.stderr)
    return status
