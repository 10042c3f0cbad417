"""`velmora batch` and `velmora survey`, run as real processes over generated trees and WARCs."""

from __future__ import annotations

import contextlib
import gzip
import hashlib
import json
import os
import pathlib
import pwd
import resource
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time
import zlib

import pytest
from hypothesis import given
from hypothesis import strategies as st

import velmora
from test_cli_files import as_nobody
import warc_writer
from velmora_cli import units
from warc_writer import Response, chunked, write_warc

PAGES = 70  # more than one chunk of 64
BAD = "site/b/no-head.htm"
STORE = b"stand-in manifest store"


def page(number: int) -> bytes:
    link = f'<link rel="c2pa-manifest" href="https://m.example/{number}.c2pa">'
    return f"<html><head>{link}</head><body>page {number}</body></html>".encode()


@pytest.fixture
def site(tmp_path: pathlib.Path) -> pathlib.Path:
    for number in range(PAGES):
        path = tmp_path / "site" / f"{'ab'[number % 2]}" / f"{number:03}.html"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(page(number))
    (tmp_path / BAD).write_bytes(b"<p>no head")
    (tmp_path / "site" / "notes.txt").write_bytes(b"not a page")
    (tmp_path / "store.bin").write_bytes(STORE)
    return tmp_path


def velmora_run(
    cwd: pathlib.Path, *args: str, stdin: bytes = b""
) -> subprocess.CompletedProcess[bytes]:
    command = [sys.executable, "-m", "velmora_cli", *args]
    return subprocess.run(command, input=stdin, capture_output=True, cwd=cwd, timeout=120)


def records(output: bytes) -> list[dict]:
    return sorted((json.loads(line) for line in output.splitlines()), key=lambda r: r["path"])


def site_pages(folder: pathlib.Path) -> list[str]:
    return sorted(str(p.relative_to(folder)) for p in (folder / "site").rglob("*.htm*"))


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_hash_of_every_page_with_one_bad_page_among_them(site, jobs):
    done = velmora_run(site, "batch", "binding", "site", "--jobs", jobs)
    assert done.returncode == 1
    assert done.stderr.decode().startswith(f"velmora: batch binding: {PAGES + 1} pages")
    found = records(done.stdout)
    assert [r["path"] for r in found] == site_pages(site)
    for record in found:
        content = (site / record["path"]).read_bytes()
        if record["path"] == BAD:
            assert record == {
                "path": BAD,
                "status": "error",
                "bytes": len(content),
                "error": "no C2PA manifest element found in the document head",
                "code": None,
            }
        else:
            digest = hashlib.sha256(content).hexdigest()
            assert record == {
                "path": record["path"],
                "status": "ok",
                "bytes": len(content),
                "alg": "sha256",
                "hash": digest,
                "exclusions": [],
            }


def test_hash_embed_binding_verify_round_trip(site):
    listed = "\0".join(site_pages(site)[:-1]).encode()  # every page but the bad one
    removed = velmora_run(site, "batch", "remove", "--files-from", "-", "-0", stdin=listed)
    assert {r["removed"] for r in records(removed.stdout)} == {1}
    hashed = records(
        velmora_run(site, "batch", "hash", "--files-from", "-", "-0", stdin=listed).stdout
    )
    stores = "".join(json.dumps({"path": r["path"], "store": "store.bin"}) + "\n" for r in hashed)
    (site / "map.jsonl").write_text(stores)
    embedded = velmora_run(site, "batch", "embed", "--stores", "map.jsonl", "--sync-once")
    assert embedded.returncode == 0
    for record in records(embedded.stdout):
        signed = (site / record["path"]).read_bytes()
        assert velmora.extract(signed)["store"] == STORE
        assert (record["start"], record["length"]) == velmora.locate_all(signed)[0]
    bound = velmora_run(
        site, "batch", "binding", "--files-from", "-", "-0", "-o", "b.jsonl", stdin=listed
    )
    assert bound.returncode == 0
    assert [r["hash"] for r in records((site / "b.jsonl").read_bytes())] == [
        r["hash"] for r in hashed
    ]
    assert velmora_run(site, "batch", "verify", "--bindings", "b.jsonl").returncode == 0
    (site / hashed[3]["path"]).write_bytes(page(1000))
    verified = records(velmora_run(site, "batch", "verify", "--bindings", "b.jsonl").stdout)
    assert [r["status"] for r in verified].count("mismatch") == 1


def test_write_protected_page_is_kept_unless_forced(site):
    protected = site / "site" / "a" / "000.html"
    protected.chmod(0o444)
    refused = velmora_run(site, "batch", "remove", str(protected))
    assert refused.returncode == 1
    assert records(refused.stdout)[0]["error"] == "write-protected (--force replaces it anyway)"
    assert protected.read_bytes() == page(0)
    # Options may come between the operation and the pages.
    assert velmora_run(site, "batch", "remove", "--force", str(protected)).returncode == 0
    assert velmora.locate_all(protected.read_bytes()) == []


def test_files_with_other_hard_links_are_kept_with_advice_that_fits_a_batch(site):
    advice = "has 2 hard links, which replacing it would split (remove the other links)"
    linked = site / "site" / "a" / "000.html"
    os.link(linked, site / "other.html")
    refused = velmora_run(site, "batch", "remove", "--force", str(linked))
    assert refused.returncode == 1 and records(refused.stdout)[0]["error"] == advice
    assert linked.read_bytes() == (site / "other.html").read_bytes() == page(0)
    # The records a run resumes from are rewritten in place; -o does not go with --resume.
    (site / "out.jsonl").write_text("")
    os.link(site / "out.jsonl", site / "also.jsonl")
    resumed = velmora_run(site, "batch", "hash", "site/b", "--resume", "out.jsonl")
    assert resumed.returncode == 2 and resumed.stderr.decode() == f"velmora: out.jsonl: {advice}\n"


def test_resume_after_a_cut_off_output(site):
    velmora_run(site, "batch", "hash", "site", "--jobs", "1", "-o", "out.jsonl")
    lines = (site / "out.jsonl").read_bytes().splitlines(keepends=True)
    first_done = json.loads(lines[0])["path"]
    (site / first_done).write_bytes(b"changed after it was hashed")  # skipped: hash kept
    (site / BAD).write_bytes(page(-1))  # an error before: redone
    nested = b"[" * 100_000 + b"]" * 100_000 + b"\n"  # beyond the JSON reader's depth
    kept = b"".join(lines[:20]) + nested + b"".join(lines[20:40])
    (site / "out.jsonl").write_bytes(kept + lines[40][:25])
    done = velmora_run(site, "batch", "hash", "site", "--resume", "out.jsonl")
    assert done.returncode == 0 and done.stdout == b""
    resumed = records((site / "out.jsonl").read_bytes())
    assert [r["path"] for r in resumed] == site_pages(site)
    assert {r["status"] for r in resumed} == {"ok"}
    by_path = {r["path"]: r["hash"] for r in resumed}
    assert by_path[first_done] == json.loads(lines[0])["hash"]
    assert by_path[BAD] == hashlib.sha256(page(-1)).hexdigest()


@given(st.lists(st.text()), st.integers(1, 64))
def test_kept_lines_are_written_whole_in_pieces(lines, size):
    from velmora_cli.batch_run import encoded_pieces

    joined = "".join(lines).encode("utf-8", "surrogateescape")
    assert b"".join(encoded_pieces(lines, size)) == joined


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["verify", "site"], 2, "velmora: batch verify needs --bindings"),
        (["hash"], 2, "velmora: no pages: give PATH arguments or --files-from"),
        (["hash", "--files-from", "missing.txt"], 2, "velmora: missing.txt: No such file"),
        (["remove", "site", "--stores", "m.jsonl"], 2, "velmora: --stores does not go with"),
        (["hash", "site", "--jobs", "0"], 2, "velmora batch: argument --jobs"),
        (["hash", "site/a", "--alg", "md5"], 1, "velmora: batch hash: 35 pages"),
        (["locate", "site/a", "--glob", "*.txt"], 0, "velmora: batch locate: 0 pages"),
        (["locate", "site/a", "--bogus"], 2, "velmora: unrecognized arguments: --bogus ("),
        (["locate", "site/a", "--debug", "-o", "/dev/full"], 2, "velmora: /dev/full: No space"),
    ],
)
def test_exit_statuses(site, args, status, message):
    done = velmora_run(site, "batch", *args)
    assert done.returncode == status
    assert done.stderr.decode().startswith(message)


@pytest.mark.parametrize(
    "words, closed, status, out, error",
    [
        ("batch hash site/a", ">&-", 2, b"", b"velmora: standard output: Bad file descriptor\n"),
        ("batch hash site/a", "2>&-", 0, b'{"path": "site/a/000.html", "status": "ok"', b""),
        ("survey none.warc", ">&-", 2, b"", b"velmora: standard output: Bad file descriptor\n"),
        ("batch hash --files-from -", "<&-", 2, b"", b"velmora: standard input: Bad file"),
    ],
)
def test_a_closed_standard_stream_fails_as_a_broken_one(site, words, closed, status, out, error):
    if words.startswith("survey"):
        pytest.importorskip("fastwarc", reason="the WARC reader comes with velmora[warc]")
    command = f'"$0" -m velmora_cli {words} {closed}'
    done = subprocess.run(["sh", "-c", command, sys.executable], capture_output=True, cwd=site)
    assert done.returncode == status
    assert done.stdout.startswith(out) and done.stderr.startswith(error)


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_interrupt_keeps_what_is_done_and_exits_130(site, jobs):
    fifo = site / "paths"
    os.mkfifo(fifo)
    command = [
        sys.executable,
        "-m",
        "velmora_cli",
        "batch",
        "hash",
        "--files-from",
        "paths",
        "--jobs",
        jobs,
    ]
    process = subprocess.Popen(
        command,
        cwd=site,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        # A suite started in the background inherits SIGINT ignored, and so would the batch.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    with open(fifo, "w") as writer:  # held open: the batch waits for more paths
        listed = site_pages(site) * 2
        for first, last in ((0, 64), (64, 130)):  # the Ctrl-C finds the batch waiting for paths
            writer.write("\n".join(listed[first:last]) + "\n")
            writer.flush()
            time.sleep(2)
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=60)
    assert process.returncode == 130
    assert len(out.splitlines()) == 64 * 2
    assert b"interrupted: 128 pages" in err


# Runs tasks and sends itself a Ctrl-C at a point where a task or a result is changing
# hands; prints which tasks ran and which results were delivered.
HANDOVER_RUN = """
import json, os, pathlib, signal, sys, time
from velmora_cli import batch_run, engines

marks, point, dask = pathlib.Path(sys.argv[1]), sys.argv[2], (sys.argv[3:] or [None])[0]
main, calls = os.getpid(), [0]

def mark(number):
    (marks / str(number)).touch()
    return number

def interrupting(original):
    def call(*args):
        value = original(*args)
        calls[0] += 1
        if os.getpid() == main and calls[0] == 7:
            os.kill(main, signal.SIGINT)
            time.sleep(0.3)  # for any other thread to take the signal
        return value
    return call

delivered = []
def deliver(result):
    delivered.append(result)
    return {"ok": 1}

if point == "sent":
    from multiprocessing.connection import Connection
    Connection.send = interrupting(Connection.send)
elif point == "received":
    engines.Worker.result = interrupting(engines.Worker.result)
elif point == "done":  # the task done here, in one process
    engines.InterruptDeferred.__exit__ = interrupting(engines.InterruptDeferred.__exit__)
else:  # the result taken, with Dask's threads in the process
    deliver = interrupting(deliver)
signal.signal(signal.SIGINT, signal.default_int_handler)
tasks = [(number,) for number in range(40)]
results = engines.completed(mark, tasks, 1 if point == "done" else 2, dask)
_, interrupted = batch_run.consume(results, deliver, "page")
ran = sorted(int(path.name) for path in marks.iterdir())
print(json.dumps([interrupted, sorted(delivered), ran]))
"""


@pytest.mark.parametrize("point", ["sent", "received", "done", "taken"])
def test_interrupt_as_a_task_or_result_changes_hands_loses_no_result(tmp_path, point, request):
    dask = [request.getfixturevalue("dask_scheduler")] if point == "taken" else []
    done = subprocess.run(
        [sys.executable, "-c", HANDOVER_RUN, str(tmp_path), point, *dask],
        capture_output=True,
        timeout=60,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    interrupted, delivered, ran = json.loads(done.stdout)
    assert interrupted and delivered == ran and len(ran) < 40, done.stderr


def test_interrupt_lets_the_running_chunk_finish_in_one_process(site):
    listed = site_pages(site)[:66]
    os.mkfifo(site / "slow.bin")  # the store of the 10th page: read once the test writes it
    stores = ["slow.bin" if n == 9 else "store.bin" for n in range(len(listed))]
    lines = [json.dumps({"path": p, "store": s}) for p, s in zip(listed, stores)]
    (site / "map.jsonl").write_text("\n".join(lines) + "\n")
    command = [sys.executable, "-m", "velmora_cli", "batch", "embed", "--stores", "map.jsonl"]
    process = subprocess.Popen(
        [*command, "--jobs", "1"],
        cwd=site,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    with open(site / "slow.bin", "wb") as writer:
        time.sleep(2)
        process.send_signal(signal.SIGINT)
        time.sleep(0.5)
        writer.write(STORE)
    out, _ = process.communicate(timeout=60)
    assert process.returncode == 130
    embedded = [p for p in listed if velmora.extract((site / p).read_bytes())["kind"] == "embedded"]
    assert [r["path"] for r in records(out)] == embedded and len(embedded) == 64


@pytest.mark.parametrize(
    "engine, bad",
    [
        ("pool", "not json"),
        ("dask", "not json"),
        # the id keeps the test's name, which child processes see, short
        pytest.param("pool", "[" * 100_000 + "]" * 100_000, id="pool-nested"),
    ],
)
def test_a_bad_line_of_stores_keeps_the_records_of_pages_written(site, engine, bad, request):
    listed = site_pages(site)[:66]
    lines = [json.dumps({"path": path, "store": "store.bin"}) for path in listed]
    (site / "map.jsonl").write_text("\n".join([*lines, bad]) + "\n")
    dask = ["--dask", request.getfixturevalue("dask_scheduler")] if engine == "dask" else []
    where = dask or ["--jobs", "2"]
    done = velmora_run(site, "batch", "embed", "--stores", "map.jsonl", *where)
    assert done.returncode == 2
    assert done.stderr.decode() == "velmora: map.jsonl, line 67: not a JSON object\n"
    embedded = [p for p in listed if velmora.extract((site / p).read_bytes())["kind"] == "embedded"]
    assert [r["path"] for r in records(done.stdout)] == embedded and len(embedded) == 64


def children(pid: int) -> list[int]:
    found = []
    for entry in os.listdir("/proc"):
        with contextlib.suppress(OSError):
            fields = pathlib.Path(f"/proc/{entry}/stat").read_text().rsplit(")", 1)[1].split()
            if fields[1] == str(pid):
                found.append(int(entry))
    return found


def ended(pid: int) -> bool:
    try:
        state = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except OSError:
        return True
    return state == "Z"


@pytest.mark.parametrize("number, status", [(signal.SIGTERM, 143), (signal.SIGKILL, -9)])
def test_workers_end_with_the_batch_quietly(site, number, status):
    os.mkfifo(site / "stuck.c2pa")  # a worker reads it until someone opens it to write
    stores = ["stuck.c2pa"] + ["store.bin"] * (PAGES - 1)
    lines = [json.dumps({"path": p, "store": s}) for p, s in zip(site_pages(site), stores)]
    (site / "map.jsonl").write_text("\n".join(lines) + "\n")
    command = [sys.executable, "-m", "velmora_cli", "batch", "embed", "--stores", "map.jsonl"]
    with open(site / "err.txt", "wb") as err:  # a pipe would stay open in workers left behind
        process = subprocess.Popen([*command, "--jobs", "2"], cwd=site, stderr=err)
    time.sleep(2)
    workers = children(process.pid)
    process.send_signal(number)
    assert process.wait(timeout=60) == status and len(workers) == 2
    with contextlib.suppress(OSError):  # lets a worker left reading go on, and find no one
        os.close(os.open(site / "stuck.c2pa", os.O_WRONLY | os.O_NONBLOCK))
    deadline = time.monotonic() + 20
    while not all(ended(pid) for pid in workers) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert all(ended(pid) for pid in workers)
    assert b"Traceback" not in (site / "err.txt").read_bytes()


def test_a_signal_to_the_whole_group_ends_every_worker_quietly(tmp_path):
    (tmp_path / "0.html").write_bytes(page(0) * 200_000)  # some ms to hash, signals waiting
    for number in range(1, 512):  # eight chunks of 64
        os.link(tmp_path / "0.html", tmp_path / f"{number}.html")
    records = tmp_path / "records.jsonl"
    command = [sys.executable, "-m", "velmora_cli", "batch", "hash", ".", "--alg", "sha512"]
    for _ in range(3):  # the main process's SIGTERM to its workers comes as they leave
        records.unlink(missing_ok=True)
        process = subprocess.Popen(
            [*command, "--jobs", "2", "-o", records.name], cwd=tmp_path,
            stderr=subprocess.PIPE, start_new_session=True,
            preexec_fn=lambda: signal.signal(signal.SIGHUP, signal.SIG_DFL),  # as under nohup
        )
        while not (records.exists() and records.stat().st_size) and process.poll() is None:
            time.sleep(0.05)  # until a chunk is done: the others are under way
        os.killpg(process.pid, signal.SIGHUP)
        _, err = process.communicate(timeout=60)
        assert process.returncode == 129 and b"Traceback" not in err, err.decode()


# --- WARC files ---------------------------------------------------------------


def warc_pages() -> list[Response]:
    plain = velmora.remove(page(1))
    return [
        Response("https://news.example/plain", plain),
        Response("https://news.example/signed", velmora.embed(plain, STORE)),
        Response("https://news.example/logo.png", b"\x89PNG", "image/png"),
        Response(
            "https://news.example/gone", velmora.embed_reference(plain, "m.c2pa"), http_status=404
        ),
        Response(
            "https://news.example/two",
            velmora.embed(plain, STORE).replace(
                b"</head>", b'<link rel="c2pa-manifest" href="m"></head>'
            ),
        ),
    ]


@pytest.fixture
def warcs(tmp_path: pathlib.Path) -> dict[str, list[int]]:
    pytest.importorskip("fastwarc", reason="the WARC reader comes with velmora[warc]")
    return {
        name: write_warc(str(tmp_path / name), warc_pages()) for name in ("a.warc.gz", "b.warc.gz")
    }


def test_survey_finds_each_html_response_at_its_offset(tmp_path, warcs):
    (tmp_path / "out").mkdir()
    done = velmora_run(tmp_path, "survey", "a.warc.gz", "b.warc.gz", "--out-dir", "out")
    assert done.returncode == 0, done.stderr
    signed = velmora.embed(velmora.remove(page(1)), STORE)
    for name, offsets in warcs.items():
        found = [json.loads(line) for line in (tmp_path / "out" / f"{name}.jsonl").open()]
        assert [
            (r["warc"], r["offset"], r["uri"], r["http_status"], r["status"]) for r in found
        ] == [
            (name, offsets[0], "https://news.example/plain", 200, "none"),
            (name, offsets[1], "https://news.example/signed", 200, "embedded"),
            (name, offsets[3], "https://news.example/gone", 404, "referenced"),
            (name, offsets[4], "https://news.example/two", 200, "multiple"),
        ]
        assert found[1]["store_sha256"] == hashlib.sha256(STORE).hexdigest()
        assert found[1]["hash"] == velmora.compute_data_hash(signed)["hash"].hex()
    (tmp_path / "out" / "b.warc.gz.jsonl").unlink()
    again = velmora_run(tmp_path, "survey", "a.warc.gz", "b.warc.gz", "--out-dir", "out")
    assert "survey of 1 WARC file (1 done before): 4 responses" in again.stderr.decode()
    (tmp_path / "out" / "a.warc.gz.jsonl").unlink()
    (tmp_path / "a.warc.gz").rename(tmp_path / "moved")  # a file that fails is tried again
    for _ in range(2):
        failed = velmora_run(tmp_path, "survey", "a.warc.gz", "--out-dir", "out")
        summary = failed.stderr.decode()
        assert "survey of 1 WARC file: 0 responses in" in summary, summary
        assert summary.endswith(", 1 not read to the end\n")
    (tmp_path / "moved").rename(tmp_path / "a.warc.gz")
    velmora_run(tmp_path, "survey", "a.warc.gz", "--out-dir", "out")
    assert len((tmp_path / "out" / "a.warc.gz.jsonl").read_text().splitlines()) == 4


def test_survey_of_a_warc_file_gzipped_whole_gives_no_offsets(tmp_path, warcs):
    whole = gzip.compress(gzip.decompress((tmp_path / "a.warc.gz").read_bytes()))
    (tmp_path / "whole.warc.gz").write_bytes(whole)
    done = velmora_run(tmp_path, "survey", "whole.warc.gz")
    found = [(r["offset"], r["status"]) for r in map(json.loads, done.stdout.splitlines())]
    assert found == [(None, "none"), (None, "embedded"), (None, "referenced"), (None, "multiple")]


def test_survey_reports_a_warc_file_cut_off_inside_a_record(tmp_path):
    pytest.importorskip("fastwarc", reason="the WARC reader comes with velmora[warc]")
    filler = os.urandom(8000).hex().encode()  # compresses to half: a cut lands in the payload
    body = velmora.remove(page(1)).replace(b"</body>", filler + b"</body>")
    (offset,) = write_warc(str(tmp_path / "w.warc.gz"), [Response("https://x.example/", body)])
    whole = (tmp_path / "w.warc.gz").read_bytes()
    (tmp_path / "cut.warc.gz").write_bytes(whole[: (offset + len(whole)) // 2])
    done = velmora_run(tmp_path, "survey", "cut.warc.gz")
    assert done.returncode == 1
    (record,) = [json.loads(line) for line in done.stdout.splitlines()]
    assert (record["offset"], record["status"]) == (offset, "error")
    assert record["error"].startswith("the WARC file ends ")


SIGNED = velmora.embed(velmora.remove(page(1)), STORE)
CHUNKED = ("Transfer-Encoding", "chunked")


def raw_deflate(data: bytes) -> bytes:
    compressor = zlib.compressobj(wbits=-zlib.MAX_WBITS)
    return compressor.compress(data) + compressor.flush()


@pytest.mark.parametrize(
    "body, coding",
    [
        (gzip.compress(SIGNED), "gzip"),
        (zlib.compress(SIGNED), "deflate"),
        (raw_deflate(SIGNED), "deflate"),
    ],
    ids=["gzip", "zlib", "raw-deflate"],
)
def test_survey_decodes_chunked_compressed_pages_and_reads_on(tmp_path, body, coding):
    pytest.importorskip("fastwarc", reason="the WARC reader comes with velmora[warc]")
    headers = [CHUNKED, ("Content-Encoding", coding)]
    offsets = write_warc(
        str(tmp_path / "w.warc.gz"),
        [
            Response("https://x.example/logo", chunked(body), "image/svg+xml", headers=headers),
            Response("https://x.example/coded", chunked(body), headers=headers),
            Response("https://x.example/plain", SIGNED, "Text/HTML ; charset=UTF-8"),
        ],
    )
    done = velmora_run(tmp_path, "survey", "w.warc.gz")
    assert done.returncode == 0, done.stderr
    coded, plain = [json.loads(line) for line in done.stdout.splitlines()]
    assert (coded["offset"], plain["offset"], plain["content_type"]) == (*offsets[1:], "text/html")
    assert {**coded, "offset": 0, "uri": ""} == {**plain, "offset": 0, "uri": ""}
    binding = velmora.compute_data_hash(SIGNED)["hash"].hex()
    assert (plain["status"], plain["bytes"], plain["hash"]) == ("embedded", len(SIGNED), binding)


@pytest.mark.parametrize(
    "body, header, message",
    [  # de-chunked by the crawler, which kept the header; a 6 MB body that is not gzip
        (b"<!DOCTYPE html>\n" + SIGNED, CHUNKED, "chunked payload: no chunk size at byte 0: "),
        (b"<p>not gzip</p>" * 400_000, ("Content-Encoding", "gzip"), "gzip payload: Error -3 "),
    ],
    ids=["dechunked", "not-gzip"],
)
def test_survey_gives_an_undecodable_response_its_record_and_reads_on(
    tmp_path, body, header, message
):
    pytest.importorskip("fastwarc", reason="the WARC reader comes with velmora[warc]")
    bad = Response("https://x.example/bad", body, http_status=203, headers=[header])
    offsets = write_warc(str(tmp_path / "w.warc.gz"), [bad, Response("https://x.example/", SIGNED)])
    done = velmora_run(tmp_path, "survey", "w.warc.gz")
    assert done.returncode == 1
    found, plain = [json.loads(line) for line in done.stdout.splitlines()]
    error = found.pop("error")
    assert error.startswith("undecodable " + message) and len(error) < 100
    assert found == {
        "warc": "w.warc.gz",
        "offset": offsets[0],
        "uri": bad.uri,
        "http_status": 203,
        "content_type": "text/html",
        "status": "error",
    }
    assert (plain["offset"], plain["status"]) == (offsets[1], "embedded")


def raw_response(uri: str, head: bytes, body: bytes) -> bytes:
    http = [("WARC-Target-URI", uri), ("Content-Type", "application/http; msgtype=response")]
    return warc_writer.record("response", head + body, http)


def test_survey_reads_heads_as_browsers_do_and_bounds_each_page(tmp_path, monkeypatch):
    pytest.importorskip("fastwarc", reason="the WARC reader comes with velmora[warc]")
    monkeypatch.setattr(units, "MAX_PAGE_BYTES", 1 << 20)
    ok = b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n"
    bomb = gzip.compress(b" " * (2 << 20))
    members = [
        warc_writer.http_request("u:first") + raw_response("u:first", ok, SIGNED),
        raw_response("u:lf", b"HTTP/1.0 200 OK\nContent-Type: text/html\n\n", SIGNED),
        raw_response("u:types", ok[:17] + b"Content-Type: text/plain\r\n" + ok[17:], SIGNED),
        raw_response("u:long", ok[:-2] + b"X-Long: " + b"x" * 300_000 + b"\r\n\r\n", SIGNED),
        raw_response("u:bomb", ok[:-2] + b"Content-Encoding: gzip\r\n\r\n", bomb),
        warc_writer.http_request("u:pair") + raw_response("u:pair", ok, SIGNED),
        raw_response("u:last", ok, SIGNED),
    ]
    with open(tmp_path / "w.warc.gz", "wb") as file:
        offsets = []
        for member in members:
            offsets.append(file.tell())
            file.write(gzip.compress(member))
    found = units.survey_warc(str(tmp_path / "w.warc.gz"))
    assert [(r["uri"], r["offset"], r["status"]) for r in found] == [
        ("u:first", None, "embedded"),  # members that start with the request
        ("u:lf", offsets[1], "embedded"),
        ("u:types", offsets[2], "embedded"),
        ("u:long", offsets[3], "error"),
        ("u:bomb", offsets[4], "error"),
        ("u:pair", None, "embedded"),
        ("u:last", offsets[6], "embedded"),
    ]
    assert found[3]["error"].startswith("unreadable HTTP head: ")
    assert found[4]["error"].endswith(f"grows past the {1 << 20} bytes read of one")


def test_survey_checks_every_output_before_any_work(tmp_path, warcs):
    (tmp_path / "out").mkdir()
    (tmp_path / "other").mkdir()
    shutil.copy(tmp_path / "b.warc.gz", tmp_path / "other" / "a.warc.gz")
    (tmp_path / "bad.warc").write_bytes(b"not a warc\n")
    assert velmora_run(tmp_path, "survey", "bad.warc", "--out-dir", "out").returncode == 1
    (tmp_path / "out" / "bad.warc.jsonl").chmod(0o444)
    refused = velmora_run(tmp_path, "survey", "a.warc.gz", "bad.warc", "--out-dir", "out")
    assert refused.returncode == 2 and b"bad.warc.jsonl: write-protected" in refused.stderr
    assert not (tmp_path / "out" / "a.warc.gz.jsonl").exists()
    assert velmora_run(tmp_path, "survey", "a.warc.gz", "--out-dir", "out").returncode == 0
    clash = velmora_run(tmp_path, "survey", "other/a.warc.gz", "--out-dir", "out")
    message = "velmora: out/a.warc.gz.jsonl holds the survey of a.warc.gz, not of other/a.warc.gz\n"
    assert (clash.returncode, clash.stderr.decode()) == (2, message)


@pytest.mark.parametrize("jobs", ["1", "2"])  # written here, or by a worker
def test_survey_output_that_cannot_be_written_is_named_and_left_out(tmp_path, warcs, jobs):
    (tmp_path / "out").mkdir()

    def small_files_only() -> None:
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100))

    command = [sys.executable, "-m", "velmora_cli", "survey", "a.warc.gz", "--out-dir", "out"]
    done = subprocess.run(
        [*command, "--jobs", jobs], capture_output=True, cwd=tmp_path, preexec_fn=small_files_only
    )
    message = "velmora: out/a.warc.gz.jsonl: File too large\n"
    assert (done.returncode, done.stderr.decode()) == (2, message)
    assert list((tmp_path / "out").iterdir()) == []


def test_survey_of_a_pipe_is_an_error_record(tmp_path):
    pytest.importorskip("fastwarc", reason="the WARC reader comes with velmora[warc]")
    os.mkfifo(tmp_path / "pipe.warc")
    command = [sys.executable, "-m", "velmora_cli", "survey", "pipe.warc", "--jobs", "2"]
    process = subprocess.Popen(
        command, cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    with open(tmp_path / "pipe.warc", "wb"):  # lets the worker's open go on
        pass
    out, err = process.communicate(timeout=60)
    assert process.returncode == 1 and b"Traceback" not in err and b"panicked" not in err
    (record,) = [json.loads(line) for line in out.splitlines()]
    assert record["error"] == "not a regular file: a WARC file is read with seeks"


# --- Dask ---------------------------------------------------------------------


@pytest.fixture(scope="module")
def dask_scheduler():
    distributed = pytest.importorskip("distributed", reason="Dask comes with velmora[dask]")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster:
        yield cluster.scheduler_address


def test_ctrl_c_ends_a_batch_still_connecting_to_dask(site):
    pytest.importorskip("distributed", reason="Dask comes with velmora[dask]")
    with socket.socket() as silent:  # takes the connection and never answers
        silent.bind(("127.0.0.1", 0))
        silent.listen()
        address = "tcp://127.0.0.1:%d" % silent.getsockname()[1]
        command = [sys.executable, "-m", "velmora_cli", "batch", "hash", "site", "--dask", address]
        process = subprocess.Popen(
            command, cwd=site, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            # A suite started in the background inherits SIGINT ignored, and so would the batch.
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
        )
        time.sleep(3)
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=20)  # held back, it waited for Dask's 30 s or more
    assert process.returncode == 130 and b"Traceback" not in err, err


def test_dask_gives_the_records_of_a_serial_run(site, warcs, dask_scheduler):
    for args in (["batch", "binding", "site"], ["survey", "a.warc.gz", "b.warc.gz"]):
        serial = velmora_run(site, *args, "--jobs", "1")
        spread = velmora_run(site, *args, "--dask", dask_scheduler)
        assert serial.returncode == spread.returncode
        assert sorted(spread.stdout.splitlines()) == sorted(serial.stdout.splitlines())
    (site / "out").mkdir()  # written by the workers, from the command's folder
    written = velmora_run(site, "survey", "a.warc.gz", "--out-dir", "out", "--dask", dask_scheduler)
    assert written.returncode == 0
    serial = velmora_run(site, "survey", "a.warc.gz")
    assert (site / "out" / "a.warc.gz.jsonl").read_bytes() == serial.stdout


# --- the Python API -------------------------------------------------------------

API_USAGE = """
from velmora_cli import units

records: list[dict[str, object]] = units.run_chunk("binding", ["a.html", {"path": "b.html"}])
found = units.survey_warc("crawl.warc.gz", root="/data")
units.run_chunk("hash", [1])  # wrong
units.survey_warc(b"crawl.warc.gz")  # wrong
"""


def square_or_fail(number: int) -> int:
    if number == 13:
        raise RuntimeError("unlucky")
    if number == 31:
        os._exit(3)
    return number * number


@pytest.mark.parametrize(
    "numbers, message",
    [
        (range(13), None),
        (range(20), "a worker failed: RuntimeError: unlucky"),
        (range(14, 40), r"a worker died \(exit status 3\)"),
    ],
)
def test_pool_gives_every_result_or_names_the_worker_fault(numbers, message):
    from velmora_cli import engines

    tasks = [(number,) for number in numbers]
    if message is None:
        assert sorted(engines.completed(square_or_fail, tasks, jobs=2)) == [n * n for n in numbers]
    else:
        with pytest.raises(engines.EngineError, match=message):
            list(engines.completed(square_or_fail, tasks, jobs=2))


def test_unit_functions_are_typed_for_type_checkers(tmp_path):
    pytest.importorskip("mypy", reason="mypy is not installed (it comes with the test extras)")
    (tmp_path / "usage.py").write_text(API_USAGE)
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "c"), "usage.py"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    flagged = [line.split(":")[1] for line in done.stdout.splitlines() if ": error:" in line]
    assert flagged == ["6", "7"], done.stdout


@pytest.mark.parametrize(
    "args, kept",
    [
        (["embed", "--stores", "map.jsonl", "--resume", "map.jsonl"], "map.jsonl"),
        (["embed", "--stores", "map.jsonl", "-o", "map.jsonl"], "map.jsonl"),
        (["hash", "site", "-o", "site/a/000.html"], "site/a/000.html"),
        (["hash", "--files-from", "missing.txt", "-o", "store.bin"], "store.bin"),
        (["hash", "site/a/000.html", "-o", "protected.jsonl"], "protected.jsonl"),
        # named inside the lists, which are read ahead for it
        (["embed", "--stores", "map.jsonl", "-o", "store.bin"], "store.bin"),
        (["hash", "--files-from", "list.txt", "-o", "site/b/001.html"], "site/b/001.html"),
    ],
)
def test_the_records_never_replace_an_input_or_a_protected_file(site, args, kept):
    (site / "map.jsonl").write_text('{"path": "site/a/000.html", "store": "store.bin"}\n')
    (site / "list.txt").write_text("site/a/000.html\nsite/b/001.html\n")
    (site / "protected.jsonl").write_text("old records\n")
    (site / "protected.jsonl").chmod(0o444)
    before = (site / kept).read_bytes()
    done = velmora_run(site, "batch", *args)
    assert done.returncode == 2, done.stderr
    assert (site / kept).read_bytes() == before


@pytest.mark.parametrize(
    "args, records, listed",
    [
        (["--files-from", "-"], "out.html", b"site/a/000.html\nout.html\n"),  # a pipe
        (["site"], "site/new.html", b""),
    ],
)
def test_a_records_file_named_as_the_pages_come_stops_the_batch(site, args, records, listed):
    done = velmora_run(site, "batch", "hash", *args, "-o", records, stdin=listed)
    assert done.returncode == 2
    refusal = f"velmora: refusing to read the records file {records} as an input\n"
    assert done.stderr.decode() == refusal


def test_a_list_on_standard_input_is_read_whole_after_the_look_ahead(site):
    (site / "list.txt").write_text("site/a/000.html\nsite/b/001.html\n")
    (site / "out.jsonl").write_text("old records\n")  # which the list is looked through for
    command = '"$0" -m velmora_cli batch hash --files-from - -o out.jsonl < list.txt'
    done = subprocess.run(["sh", "-c", command, sys.executable], cwd=site, capture_output=True)
    listed = [r["path"] for r in records((site / "out.jsonl").read_bytes())]
    assert (done.returncode, listed) == (0, ["site/a/000.html", "site/b/001.html"])


def test_a_map_whose_last_line_has_no_line_feed_is_read_whole(site):
    bound = velmora_run(site, "batch", "binding", "site/a/000.html", "site/b/001.html")
    (site / "b.jsonl").write_bytes(bound.stdout.rstrip(b"\n"))
    (site / "site/b/001.html").write_bytes(page(1000))
    verified = velmora_run(site, "batch", "verify", "--bindings", "b.jsonl")
    assert [r["status"] for r in records(verified.stdout)] == ["ok", "mismatch"]


@pytest.mark.parametrize(
    "hash_hex, exclusions, field",
    [
        *(("00", bad, "exclusions") for bad in ([[-1, 5]], [[2**64, 5]], [[1.5, 2]], [[True, 2]])),
        *((bad, [[0, 1]], "hash") for bad in ("zz", "", 5)),
    ],
)
def test_bindings_a_page_cannot_have_are_an_error_record(site, hash_hex, exclusions, field):
    line = {"path": "site/a/000.html", "alg": "sha256", "hash": hash_hex, "exclusions": exclusions}
    (site / "b.jsonl").write_text(json.dumps(line) + "\n")
    done = velmora_run(site, "batch", "verify", "--bindings", "b.jsonl")
    assert done.returncode == 1
    (record,) = records(done.stdout)
    assert record["status"] == "error" and f'"{field}"' in record["error"], record


def test_an_empty_href_is_an_error_record_and_the_page_is_kept(site):
    (site / "r.jsonl").write_text('{"path": "site/a/000.html", "href": ""}\n')
    done = velmora_run(site, "batch", "reference", "--stores", "r.jsonl")
    (record,) = records(done.stdout)
    assert (done.returncode, record["status"]) == (1, "error")
    assert record["error"].startswith('"href" is empty: the link would have no href to resolve')
    assert (site / "site/a/000.html").read_bytes() == page(0)


@pytest.mark.parametrize("option, linked", [("-o", False), ("--resume", False), ("-o", True)])
def test_force_replaces_a_write_protected_records_file_of_ones_own(option, linked):
    velmora = [*as_nobody(), sys.executable, "-m", "velmora_cli"]
    folder = pathlib.Path(tempfile.mkdtemp())  # where nobody may go, unlike pytest's folders
    folder.chmod(0o777)
    (folder / "a.html").write_bytes(page(0))
    out = folder / "o.jsonl"
    out.write_text('{"path": "gone.html", "status": "error"}\n')
    before = out.read_bytes()
    nobody = pwd.getpwnam("nobody")
    os.chown(out, nobody.pw_uid, nobody.pw_gid)
    out.chmod(0o444)
    if linked:  # what --force may not write through
        os.link(out, folder / "backup.jsonl")
    command = [*velmora, "batch", "hash", "a.html", "--force", option, "o.jsonl"]
    done = subprocess.run(command, cwd=folder, capture_output=True)
    if linked:
        assert done.returncode == 2 and b"o.jsonl: has 2 hard links" in done.stderr
        assert (folder / "backup.jsonl").read_bytes() == out.read_bytes() == before
    else:
        assert done.returncode == 0, done.stderr
        assert [r["path"] for r in records(out.read_bytes())] == ["a.html"]
    assert stat.S_IMODE(out.stat().st_mode) == 0o444
    shutil.rmtree(folder)


def test_survey_replaces_a_write_protected_failed_output_only_with_force(tmp_path, warcs):
    (tmp_path / "out").mkdir()
    failed = tmp_path / "out" / "a.warc.gz.jsonl"
    failed.write_text('{"warc": "a.warc.gz", "offset": 0, "status": "error", "error": "x"}\n')
    failed.chmod(0o444)
    refused = velmora_run(tmp_path, "survey", "a.warc.gz", "--out-dir", "out")
    hint = "velmora: out/a.warc.gz.jsonl: write-protected (--force replaces it anyway)\n"
    assert (refused.returncode, refused.stderr.decode()) == (2, hint)
    forced = velmora_run(tmp_path, "survey", "a.warc.gz", "--out-dir", "out", "--force")
    assert forced.returncode == 0, forced.stderr
    assert len(failed.read_text().splitlines()) == 4


def test_a_folder_that_cannot_be_listed_is_named_and_the_batch_goes_on():
    velmora = [*as_nobody(), sys.executable, "-m", "velmora_cli"]
    folder = pathlib.Path(tempfile.mkdtemp())
    folder.chmod(0o755)
    for name in ("t/a/0.html", "t/b/1.html"):
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_bytes(page(0))
    (folder / "t" / "b").chmod(0o700)  # root's alone
    command = [*velmora, "batch", "hash", "t", "--jobs", "1"]
    done = subprocess.run(command, cwd=folder, capture_output=True)
    assert (done.returncode, [r["path"] for r in records(done.stdout)]) == (1, ["t/a/0.html"])
    first, summary = done.stderr.decode().splitlines()
    assert first == "velmora: t/b: Permission denied" and summary.endswith(", 1 folder not read")
    shutil.rmtree(folder)


@pytest.mark.parametrize("link", [os.link, os.symlink], ids=["hard", "symbolic"])
@pytest.mark.parametrize("option", ["-o", "--resume"])
def test_a_records_file_linked_to_a_walked_page_is_refused_untouched(tmp_path, link, option):
    (tmp_path / "site").mkdir()
    for name in ("a.html", "b.html"):
        (tmp_path / "site" / name).write_bytes(page(0))
    link(tmp_path / "site" / "b.html", tmp_path / "out.jsonl")
    done = velmora_run(tmp_path, "batch", "hash", "site", option, "out.jsonl")
    assert done.returncode == 2 and done.stdout == b"", done.stderr
    assert (tmp_path / "site" / "b.html").read_bytes() == page(0)


def test_pages_that_are_not_regular_files_get_error_records(tmp_path):
    (tmp_path / "site").mkdir()
    (tmp_path / "site" / "a.html").write_bytes(page(0))
    os.symlink(os.devnull, tmp_path / "site" / "null.html")
    os.mkfifo(tmp_path / "site" / "pipe.html")  # read, it would wait for a writer forever
    done = velmora_run(tmp_path, "batch", "remove", "site", "--jobs", "1")
    assert done.returncode == 1
    assert [(r["path"], r["status"], r.get("error")) for r in records(done.stdout)] == [
        ("site/a.html", "ok", None),
        ("site/null.html", "error", "not a regular file"),
        ("site/pipe.html", "error", "not a regular file"),
    ]


@pytest.mark.parametrize("records", ["-", "/dev/stdout"])  # appended, it would be read on
def test_resume_from_standard_output_is_refused(tmp_path, site, records):
    (tmp_path / "-").write_bytes(b"precious")
    done = velmora_run(tmp_path, "batch", "hash", "site", "--resume", records)
    assert done.returncode == 2 and b"--resume needs the records file" in done.stderr
    assert (tmp_path / "-").read_bytes() == b"precious"


@pytest.mark.parametrize(
    "address, message",
    [
        ("tcp://127.0.0.1", "missing port number in address '127.0.0.1'"),
        ("inproc://x", "inproc://x: inproc:// names a scheduler inside one process"),
        ("tls://127.0.0.1:1", "tls://127.0.0.1:1: tls:// needs Dask's TLS settings"),
    ],
)
def test_a_dask_address_no_client_can_use_ends_the_command_at_once(
    tmp_path, site, address, message
):
    pytest.importorskip("distributed", reason="Dask comes with velmora[dask]")
    done = velmora_run(tmp_path, "batch", "hash", "site", "--dask", address)
    assert done.returncode == 2 and done.stderr.decode().startswith(f"velmora: {message}")
    assert done.stderr.count(b"\n") == 1  # no half-made client complaining at exit


def test_sigterm_after_a_held_ctrl_c_ends_the_batch_quietly(tmp_path):
    import fcntl
    import termios

    (tmp_path / "site").mkdir()
    for number in range(1500):
        (tmp_path / "site" / f"{number:04}.html").write_bytes(page(number))
    reader, writer = os.pipe()
    command = [sys.executable, "-m", "velmora_cli", "batch", "hash", "site", "--jobs", "2"]
    process = subprocess.Popen(
        command, cwd=tmp_path, stdout=writer, stderr=subprocess.PIPE,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    os.close(writer)
    waiting = bytearray(4)
    while process.poll() is None:  # until a delivery is stuck on the full pipe
        fcntl.ioctl(reader, termios.FIONREAD, waiting)
        if int.from_bytes(waiting, sys.byteorder) >= 60_000:
            break
        time.sleep(0.05)
    process.send_signal(signal.SIGINT)  # held back until the stuck write ends
    time.sleep(0.5)
    process.send_signal(signal.SIGTERM)
    error = process.communicate(timeout=60)[1]
    os.close(reader)
    assert process.returncode in (130, 143) and error == b"", error
