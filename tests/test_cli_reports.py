"""What the `velmora` command tells, through real processes: failures as one line (and as JSON
with --json), running out of memory, hostile page text, and what a start-up imports."""

from __future__ import annotations

import json
import resource
import subprocess
import sys

import pytest
from test_cli import (  # noqa: F401
    MISMATCH,
    OWN_EXCLUSION,
    PAGE,
    PAGE_HASH,
    folder,
    run,
    verify_args,
)

import velmora

BIG_STORE_PAGE = b"<html><head></head><body>" + b"x" * (80 << 20)


@pytest.mark.parametrize("command", ["verify", "embed"])
def test_running_out_of_memory_is_one_line_with_status_2(folder, command):
    big = velmora.embed(BIG_STORE_PAGE, b"store")
    (folder / "big.html").write_bytes(big)
    binding = velmora.compute_data_hash(big)
    exclusion = "{}:{}".format(*binding["exclusions"][0])
    args = {
        "verify": verify_args("big.html", binding["hash"].hex(), exclusion),
        "embed": ["embed", "big.html", "big.html", "-o", "out.html"],
    }[command]
    limit = lambda: resource.setrlimit(resource.RLIMIT_AS, (150 << 20, 150 << 20))  # noqa: E731
    done = run(folder, *args, preexec_fn=limit)
    assert (done.returncode, done.stdout, done.stderr) == (2, b"", b"velmora: out of memory\n")
    assert sorted(p.name for p in folder.iterdir() if p.name.startswith(("out", "."))) == []


@pytest.mark.parametrize("debug", [[], ["--debug"]])
def test_an_unexpected_error_is_one_line_unless_debugging(folder, debug):
    broken = "import sys, velmora, velmora_cli; velmora.remove = lambda page: 1 / 0; "
    broken += "sys.exit(velmora_cli.main(sys.argv[1:]))"
    done = subprocess.run(
        [sys.executable, "-c", broken, *debug, "remove", "signed.html"],
        cwd=folder,
        capture_output=True,
        timeout=60,
    )
    *traceback, line = done.stderr.decode().splitlines()
    assert done.returncode == 2 and line.startswith("velmora: unexpected ZeroDivisionError")
    assert bool(traceback) == bool(debug) and ("--debug shows where" in line) != bool(debug)


def test_page_text_cannot_write_to_the_terminal(folder):
    href = "https://ok.example/m.c2pa\nstore: 4096 bytes, signature valid\x1b[31m RED\u202e"
    page = velmora.embed_reference(PAGE, href)
    done = run(folder, "extract", "-", stdin=page)
    assert done.stdout.decode().splitlines()[1] == (
        "href: https://ok.example/m.c2pa\\nstore: 4096 bytes, signature valid\\x1b[31m RED\\u202e"
    )
    exact = run(folder, "extract", "-", "--json", stdin=page)
    assert json.loads(exact.stdout)["href"] == href.replace("&", "&amp;")


@pytest.mark.parametrize(
    "args, status, expected",
    [
        (
            verify_args("tampered.html", PAGE_HASH, OWN_EXCLUSION),
            1,
            {"verified": False, "error": MISMATCH, "status_code": "assertion.dataHash.mismatch"},
        ),
        (
            ["hash", "page.html", "--alg", "md5"],
            2,
            {
                "error": "unsupported hash algorithm: md5 [algorithm.unsupported]",
                "status_code": "algorithm.unsupported",
            },
        ),
        (
            ["locate", "missing.html"],
            2,
            {"error": "missing.html: No such file or directory", "status_code": None},
        ),
        (
            ["binding", "page.html", "--alg"],
            2,
            {
                "error": "argument --alg: expected one argument (see velmora binding --help)",
                "status_code": None,
            },
        ),
    ],
)
def test_json_failures_print_one_object(folder, args, status, expected):
    done = run(folder, *args, "--json")
    assert (done.returncode, json.loads(done.stdout)) == (status, expected)
    assert done.stderr.decode().endswith(f": {expected['error']}\n")
    assert done.stderr.count(b"\n") == 1


def test_start_up_imports_only_what_parsing_needs():
    check = "import sys, velmora_cli.cli; print(*sorted(sys.modules))"
    loaded = subprocess.run([sys.executable, "-c", check], capture_output=True, check=True)
    heavy = {"velmora_cli.demo", "importlib.resources", "json", "base64", "tempfile", "typing"}
    assert heavy.isdisjoint(loaded.stdout.decode().split())
