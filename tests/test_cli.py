"""The `velmora` command, run as a real process: outputs, JSON shapes, exit statuses, files."""

from __future__ import annotations

import base64
import hashlib
import json
import os
import pathlib
import stat
import subprocess
import sys
import sysconfig
from typing import Any

import pytest

import velmora

PAGE = b"<!DOCTYPE html><html><head><title>t</title></head><body><p>Hello</p></body></html>"
NO_HEAD = b"<p>only a paragraph"
STORE = bytes(range(256)) * 3
HREF = "https://manifests.example/a.c2pa"
ALGS = ["sha256", "sha384", "sha512"]
SIGNED = velmora.embed(PAGE, STORE)
(ELEMENT,) = velmora.locate_all(SIGNED)
OWN_EXCLUSION = f"{ELEMENT[0]}:{ELEMENT[1]}"
TAMPERED = SIGNED.replace(b"Hello", b"Hallo")
LINK = f'<link rel="c2pa-manifest" href="{HREF}">'.encode()
TWO = SIGNED.replace(b"</head>", LINK + b"</head>")
FILES = {
    "page.html": PAGE,
    "store.bin": STORE,
    "signed.html": SIGNED,
    "tampered.html": TAMPERED,
    "nohead.html": NO_HEAD,
    "two.html": TWO,
}


@pytest.fixture
def folder(tmp_path: pathlib.Path) -> pathlib.Path:
    for name, content in FILES.items():
        (tmp_path / name).write_bytes(content)
    return tmp_path


def run(
    folder: pathlib.Path, *args: str, stdin: bytes = b"", **options: Any
) -> subprocess.CompletedProcess[bytes]:
    """Runs the command in `folder`; `options` go to subprocess.run (stdout=, env=, ...)."""
    streams = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, **options}
    return subprocess.run(
        [sys.executable, "-m", "velmora_cli", *args], input=stdin, cwd=folder, timeout=60, **streams
    )


def succeed(folder: pathlib.Path, *args: str, stdin: bytes = b"") -> bytes:
    done = run(folder, *args, stdin=stdin)
    assert (done.returncode, done.stderr) == (0, b"")
    return done.stdout


def json_of(folder: pathlib.Path, *args: str, stdin: bytes = b"") -> object:
    return json.loads(succeed(folder, *args, "--json", stdin=stdin))


def verify_args(page: str, hex_hash: str, *exclusions: str) -> list[str]:
    # PAGE last, as the usage line shows it: one value per --exclusion leaves it alone.
    repeated = [word for each in exclusions for word in ("--exclusion", each)]
    return ["verify", "--hash", hex_hash, *repeated, page]


# --- documents out --------------------------------------------------------------


DOCUMENT_COMMANDS = [
    (["embed", "page.html", "store.bin"], velmora.embed(PAGE, STORE)),
    (["reference", "page.html", HREF], velmora.embed_reference(PAGE, HREF)),
    (["remove", "signed.html"], PAGE),
]


@pytest.mark.parametrize("args, expected", DOCUMENT_COMMANDS)
def test_documents_go_to_stdout_as_raw_bytes(folder, args, expected):
    assert succeed(folder, *args) == expected


@pytest.mark.parametrize("args, expected", DOCUMENT_COMMANDS)
def test_documents_go_to_the_output_file(folder, args, expected):
    assert succeed(folder, *args, "-o", "out.html") == b""
    assert (folder / "out.html").read_bytes() == expected


@pytest.mark.parametrize(
    "args, stdin, expected",
    [
        (["embed", "-", "store.bin"], PAGE, SIGNED),
        (["embed", "page.html", "-"], STORE, SIGNED),
        (["remove", "-"], SIGNED, PAGE),
        (["hash", "-"], PAGE, f"sha256 {hashlib.sha256(PAGE).hexdigest()}\n".encode()),
    ],
)
def test_standard_input(folder, args, stdin, expected):
    assert succeed(folder, *args, stdin=stdin) == expected


def test_in_place_replaces_the_page_and_keeps_its_mode(folder):
    (folder / "signed.html").chmod(0o640)
    assert succeed(folder, "remove", "signed.html", "--in-place") == b""
    assert (folder / "signed.html").read_bytes() == PAGE
    assert stat.S_IMODE((folder / "signed.html").stat().st_mode) == 0o640


def test_new_outputs_follow_the_umask(folder):
    umask = os.umask(0)
    os.umask(umask)
    succeed(folder, "embed", "page.html", "store.bin", "-o", "new.html")
    assert stat.S_IMODE((folder / "new.html").stat().st_mode) == 0o666 & ~umask


@pytest.mark.parametrize("previous", [None, b"previous output"])
@pytest.mark.parametrize(
    "args",
    [
        ["embed", "nohead.html", "store.bin", "-o", "out"],
        ["extract", "page.html", "--store-out", "out"],
    ],
)
def test_a_failing_command_leaves_the_output_as_it_was(folder, args, previous):
    if previous is not None:
        (folder / "out").write_bytes(previous)
    before = sorted(os.listdir(folder))
    assert run(folder, *args).returncode == 2
    assert sorted(os.listdir(folder)) == before
    assert (folder / "out").exists() == (previous is not None)
    if previous is not None:
        assert (folder / "out").read_bytes() == previous


# --- reports -------------------------------------------------------------------


@pytest.mark.parametrize("alg", ALGS)
def test_hash_is_the_digest_of_the_whole_page(folder, alg):
    digest = hashlib.new(alg, PAGE).hexdigest()
    assert succeed(folder, "hash", "page.html", "--alg", alg) == f"{alg} {digest}\n".encode()
    assert json_of(folder, "hash", "page.html", "--alg", alg) == {"alg": alg, "hash": digest}


@pytest.mark.parametrize("alg", ALGS)
def test_binding_covers_the_page_minus_the_element_and_verifies(folder, alg):
    start, length = ELEMENT
    binding = json_of(folder, "binding", "signed.html", "--alg", alg)
    assert binding == {
        "alg": alg,
        "hash": hashlib.new(alg, PAGE).hexdigest(),
        "exclusions": [{"start": start, "length": length}],
    }
    assert succeed(folder, "binding", "signed.html", "--alg", alg).decode().splitlines() == [
        f"alg: {alg}",
        f"hash: {binding['hash']}",
        f"exclusions: {start}:{length}",
    ]
    check = [*verify_args("signed.html", binding["hash"], OWN_EXCLUSION), "--alg", alg]
    assert succeed(folder, *check) == f"verified: the {alg} data hash matches\n".encode()
    assert json_of(folder, *check) == {"verified": True, "alg": alg}


def test_a_referenced_manifest_verifies_without_exclusions(folder):
    succeed(folder, "reference", "page.html", HREF, "-o", "ref.html")
    binding = json_of(folder, "binding", "ref.html")
    assert binding["exclusions"] == []
    succeed(folder, *verify_args("ref.html", binding["hash"]))


def test_locate_lists_every_element(folder):
    two = [{"start": s, "length": n} for s, n in velmora.locate_all(TWO)]
    assert len(two) == 2 and json_of(folder, "locate", "two.html") == two
    assert json_of(folder, "locate", "page.html") == []
    assert succeed(folder, "locate", "signed.html").decode().splitlines() == [
        "1 manifest element in the head",
        f"  start {ELEMENT[0]}, length {ELEMENT[1]}",
    ]


def test_extract_reports_both_forms_and_writes_the_store(folder):
    start, length = ELEMENT
    assert json_of(folder, "extract", "signed.html") == {
        "kind": "embedded",
        "start": start,
        "length": length,
        "store": base64.b64encode(STORE).decode(),
    }
    assert json_of(folder, "extract", "-", stdin=PAGE.replace(b"</head>", LINK + b"</head>")) == {
        "kind": "referenced",
        "start": PAGE.index(b"</head>"),
        "length": len(LINK),
        "href": HREF,
    }
    assert json_of(folder, "extract", "page.html") is None
    succeed(folder, "extract", "signed.html", "--store-out", "store.out")
    assert (folder / "store.out").read_bytes() == STORE
    assert succeed(folder, "extract", "signed.html", "--store-out", "-") == STORE
    assert not (folder / "-").exists()


# --- errors --------------------------------------------------------------------


MISMATCH = "data hash does not match the document content [assertion.dataHash.mismatch]"
MALFORMED = "data hash exclusion range is malformed [assertion.dataHash.malformed]"
PAGE_HASH = hashlib.sha256(PAGE).hexdigest()


def test_main_gives_the_caller_its_signal_handlers_back(folder, monkeypatch, capfd):
    import signal

    from velmora_cli import cli, signals

    monkeypatch.chdir(folder)
    before = {number: signal.getsignal(number) for number in signals.TRAPPED}
    assert cli.main(["hash", "page.html"]) == 0
    assert {number: signal.getsignal(number) for number in signals.TRAPPED} == before


@pytest.mark.parametrize("mode", ["r+b", "ab"])  # as after `1<>` and `>>`
@pytest.mark.parametrize(
    "args, victim",
    [
        (["remove", "signed.html"], "signed.html"),
        (["extract", "signed.html", "--store-out", "-"], "signed.html"),
        (["embed", "page.html", "store.bin"], "store.bin"),
        (["locate", "signed.html"], "signed.html"),
    ],
)
def test_standard_output_open_on_an_input_is_refused(folder, args, victim, mode):
    before = (folder / victim).read_bytes()
    with open(folder / victim, mode) as output:
        done = run(folder, *args, stdout=output)
    message = f"velmora: refusing to overwrite the input {victim}, standard output is on it\n"
    assert (done.returncode, done.stderr.decode()) == (2, message)
    assert (folder / victim).read_bytes() == before


@pytest.mark.parametrize(
    "args, status, message",
    [
        (verify_args("tampered.html", PAGE_HASH, OWN_EXCLUSION), 1, MISMATCH),
        (verify_args("signed.html", PAGE_HASH), 1, MALFORMED),
        (verify_args("signed.html", PAGE_HASH, "0:5", OWN_EXCLUSION), 1, MISMATCH),
        (verify_args("signed.html", PAGE_HASH, f"{ELEMENT[0]}:99999"), 1, MALFORMED),
        (
            verify_args("page.html", PAGE_HASH),
            2,
            "no C2PA manifest element found in the document head",
        ),
        (
            ["hash", "page.html", "--alg", "md5"],
            2,
            "unsupported hash algorithm: md5 [algorithm.unsupported]",
        ),
        (
            ["extract", "two.html"],
            2,
            "more than one C2PA manifest element found [manifest.html.multipleManifests]",
        ),
        (
            ["embed", "nohead.html", "store.bin"],
            2,
            "the document has no head element to embed into",
        ),
        (["binding", "missing.html"], 2, "missing.html: No such file or directory"),
        (
            ["extract", "page.html", "--store-out", "s"],
            2,
            "the page carries no embedded manifest store to write",
        ),
        (
            ["remove", "signed.html", "-o", "./signed.html"],
            2,
            "refusing to overwrite the input signed.html (use --in-place for PAGE)",
        ),
        (
            ["embed", "page.html", "store.bin", "-o", "store.bin"],
            2,
            "refusing to overwrite the input store.bin",
        ),
        (
            ["remove", "-", "--in-place"],
            2,
            "--in-place needs PAGE to be a file, not standard input",
        ),
        (["embed", "-", "-"], 2, "only one input can be read from standard input"),
        (["embed", "/dev/stdin", "-"], 2, "only one input can be read from standard input"),
        (["remove", "signed.html", "-o", "no/x"], 2, "no/x: No such file or directory"),
        (["remove", "signed.html", "-o", "."], 2, ".: Is a directory"),
        (["remove", "signed.html", "-o", ""], 2, ": No such file or directory"),
        # Words that are not UTF-8 (lone surrogates once decoded) are told apart from text.
        (
            ["hash", "page.html", "--alg", "sha\udcff"],
            2,
            "unsupported hash algorithm: sha\ufffd [algorithm.unsupported]",
        ),
        (
            ["reference", "page.html", "https://x/\udcff"],
            2,
            "HREF is not UTF-8 text: https://x/\\xff",
        ),
        (
            ["reference", "page.html", ""],
            2,
            "HREF is empty: the link would have no href to resolve, and readers reject the page",
        ),
    ],
)
def test_errors_are_one_line_with_their_exit_status(folder, args, status, message):
    before = {p.name: p.read_bytes() for p in folder.iterdir()}
    done = run(folder, *args)
    assert (done.returncode, done.stdout, done.stderr.decode()) == (
        status,
        b"",
        f"velmora: {message}\n",
    )
    assert {p.name: p.read_bytes() for p in folder.iterdir()} == before


@pytest.mark.parametrize(
    "args, prefix",
    [
        ([], "velmora: the following arguments are required: COMMAND"),
        (["hash"], "velmora hash: the following arguments are required: PAGE"),
        (
            ["verify", "signed.html", "--hash", "zz"],
            "velmora verify: argument --hash: not a hexadecimal hash",
        ),
        (["verify", "signed.html", "--hash", ""], "velmora verify: argument --hash: not a hex"),
        (
            ["verify", "signed.html", "--hash", "00", "--exclusion", "1-2"],
            "velmora verify: argument --exclusion",
        ),
        (
            ["verify", "signed.html", "--hash", "00", "--exclusion", f"0:{2**64}"],
            "velmora verify: argument --exclusion",
        ),
        (
            ["remove", "signed.html", "-o", "x", "--in-place"],
            "velmora remove: argument --in-place: not allowed",
        ),
    ],
)
def test_bad_usage_is_one_line_with_status_2(folder, args, prefix):
    done = run(folder, *args)
    assert done.returncode == 2 and done.stdout == b""
    (line,) = done.stderr.decode().splitlines()
    assert line.startswith(prefix)


@pytest.mark.parametrize("args", [["--hash", "zz"], []])
def test_verify_says_unverified_in_json_even_when_its_words_are_wrong(folder, args):
    done = run(folder, "verify", "signed.html", "--json", *args)
    assert done.returncode == 2 and json.loads(done.stdout)["verified"] is False


@pytest.mark.parametrize("taken", [0, 10])
def test_a_reader_that_leaves_early_ends_the_command_quietly(folder, taken):
    (folder / "big.bin").write_bytes(STORE * 8192)  # a page far larger than a pipe's buffer
    with subprocess.Popen(
        [sys.executable, "-m", "velmora_cli", "embed", "page.html", "big.bin"],
        cwd=folder,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    ) as process:
        assert len(process.stdout.read(taken)) == taken  # then the rest meets a closed pipe
        process.stdout.close()
        assert process.stderr.read() == b""
    assert process.returncode == 141


def test_the_installed_script_runs_the_demo():
    script = pathlib.Path(sysconfig.get_path("scripts")) / "velmora"
    done = subprocess.run([script, "demo"], capture_output=True, timeout=60, check=True)
    report = done.stdout.decode()
    assert "   verified\n" in report
    assert f"rejected: {MISMATCH}" in report


@pytest.mark.parametrize(
    "words, redirect, error",
    [
        ("demo", ">&-", "Bad file descriptor"),
        ("demo", ">/dev/full", "No space left on device"),
        ("--help", ">/dev/full", "No space left on device"),  # which argparse would ignore
        ("--version", ">&-", "Bad file descriptor"),
    ],
)
def test_a_report_that_cannot_be_written_fails(words, redirect, error):
    done = subprocess.run(
        ["sh", "-c", f'"$0" -m velmora_cli {words} {redirect}', sys.executable],
        capture_output=True,
        timeout=60,
    )
    assert (done.returncode, done.stderr) == (2, f"velmora: standard output: {error}\n".encode())
