"""Runs the extension built with MinGW-w64 inside CPython for Windows: it
must load through python3.dll and agree with the standard library."""

import base64
import hashlib
import sys

import velmora

page = b"<!doctype html><html><head><title>t</title></head><body>" + bytes(range(256)) * 40
store = bytes(range(256)) * 300 + b"odd tail"
signed = velmora.embed(page, store)
assert base64.b64encode(store) in signed
assert velmora.extract(signed)["store"] == store
assert velmora.remove(signed) == page
for alg in ("sha256", "sha384", "sha512"):
    binding = velmora.compute_data_hash(signed, alg)
    [(start, length)] = binding["exclusions"]
    assert binding["hash"] == hashlib.new(alg, signed[:start] + signed[start + length :]).digest()
    velmora.verify_data_hash(signed, binding["hash"], binding["exclusions"], alg)
print(f"velmora {velmora.__version__} passes on CPython {sys.version.split()[0]} for Windows")

# The command-line tool, as a Windows user runs it: files and standard output must carry the
# bytes exactly (no line ends rewritten), and the pool must start its workers there too.
import json
import os
import subprocess
import tempfile

cli = [sys.executable, "-m", "velmora_cli"]


def run(*args):
    done = subprocess.run([*cli, *args], capture_output=True, stdin=subprocess.DEVNULL)
    assert done.returncode == 0, (args, done.returncode, done.stderr)
    return done.stdout


assert b"verified" in run("demo")
with tempfile.TemporaryDirectory() as folder:
    lines = b"<html>\r\n<head>\n<title>t</title></head>\n<body>\r\n" + bytes(range(256))
    page_path, store_path = os.path.join(folder, "page.html"), os.path.join(folder, "store.c2pa")
    with open(page_path, "wb") as file:
        file.write(lines)
    with open(store_path, "wb") as file:
        file.write(store)
    run("embed", page_path, store_path, "--in-place")
    with open(page_path, "rb") as file:
        assert file.read() == velmora.embed(lines, store)
    assert run("remove", page_path, "-o", "-") == lines
    for jobs in ("1", "2"):
        [record] = [json.loads(line) for line in run("batch", "binding", folder, "--jobs", jobs).splitlines()]
        assert record["hash"] == velmora.compute_data_hash(velmora.embed(lines, store))["hash"].hex()
print(f"velmora's command-line tool passes on CPython {sys.version.split()[0]} for Windows")
