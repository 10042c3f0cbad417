"""What the `velmora` command tells, through real processes: failures as one line (and as JSON
with --json), running out of memory, hostile page text, and what a start-up imports."""

from __future__ import annotations

import json
import os
import resource
import subprocess
import sys
import sysconfig

import pytest
from test_cli import MISMATCH, OWN_EXCLUSION, PAGE, PAGE_HASH, folder, run, verify_args  # noqa

import velmora


SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves more address space than that")
@pytest.mark.parametrize("command", ["verify", "embed"])
def test_running_out_of_memory_is_one_line_with_status_2(folder, command):
    big = velmora.embed(b"<html><head></head><body>" + b"x" * (80 << 20), b"store")
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
    assert not [p for p in folder.iterdir() if p.name.startswith(("out", "."))]


@pytest.mark.parametrize("debug", [[], ["--debug"]])
def test_an_unexpected_error_is_one_line_unless_debugging(folder, debug):
    broken = "import sys, velmora, velmora_cli; velmora.remove = lambda page: 1 / 0; "
    broken += "sys.exit(velmora_cli.main(sys.argv[1:]))"
    command = [sys.executable, "-c", broken, *debug, "remove", "signed.html"]
    done = subprocess.run(command, cwd=folder, capture_output=True, timeout=60)
    *traceback, line = done.stderr.decode().splitlines()
    assert done.returncode == 2 and line.startswith("velmora: unexpected ZeroDivisionError")
    assert bool(traceback) == bool(debug) != ("--debug shows where" in line)


@pytest.mark.parametrize("module", [False, True])
def test_ctrl_c_while_the_tool_loads_ends_it_quietly(folder, module):
    (folder / "velmora.py").write_text("raise KeyboardInterrupt\n")  # as if it came there
    script = os.path.join(sysconfig.get_path("scripts"), "velmora")
    command = [sys.executable, "-m", "velmora_cli"] if module else [script]
    env = {**os.environ, "PYTHONPATH": str(folder)}
    done = subprocess.run([*command, "demo"], cwd=folder, env=env, capture_output=True)
    assert (done.returncode, done.stdout, done.stderr) == (130, b"", b"")


def test_page_text_cannot_write_to_the_terminal(folder):
    href = "https://ok.example/m.c2pa\nstore: 4096 bytes, signature valid\x1b[31m RED\u202e"
    page = velmora.embed_reference(PAGE, href)
    done = run(folder, "extract", "-", stdin=page)
    assert done.stdout.decode().splitlines()[1] == (
        "href: https://ok.example/m.c2pa\\nstore: 4096 bytes, signature valid\\x1b[31m RED\\u202e"
    )
    assert json.loads(run(folder, "extract", "-", "--json", stdin=page).stdout)["href"] == href


UNSUPPORTED = "unsupported hash algorithm: md5 [algorithm.unsupported]"
HELP = "(see velmora binding --help)"
CODES = {MISMATCH: "assertion.dataHash.mismatch", UNSUPPORTED: "algorithm.unsupported"}


@pytest.mark.parametrize(
    "args, status, message",
    [
        (verify_args("tampered.html", PAGE_HASH, OWN_EXCLUSION), 1, MISMATCH),
        (["hash", "page.html", "--alg", "md5"], 2, UNSUPPORTED),
        (["locate", "missing.html"], 2, "missing.html: No such file or directory"),
        (["binding", "page.html", "--alg"], 2, f"argument --alg: expected one argument {HELP}"),
    ],
)
def test_json_failures_print_one_object(folder, args, status, message):
    done = run(folder, *args, "--json")
    expected = {"verified": False} if args[0] == "verify" else {}
    expected.update(error=message, status_code=CODES.get(message))
    assert (done.returncode, json.loads(done.stdout)) == (status, expected)
    assert done.stderr.decode() in (f"velmora: {message}\n", f"velmora binding: {message}\n")


def test_start_up_imports_only_what_parsing_needs():
    check = "import sys, velmora_cli.cli; print(*sorted(sys.modules))"
    loaded = subprocess.run([sys.executable, "-c", check], capture_output=True, check=True)
    heavy = {"velmora_cli.demo", "importlib.resources", "json", "base64", "tempfile", "typing"}
    assert heavy.isdisjoint(loaded.stdout.decode().split())
