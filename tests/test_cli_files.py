"""The `velmora` command's outputs, through real processes: special files, short writes,
ownership, write protection, hard links, signals, and the paths that errors name."""

from __future__ import annotations

import os
import pathlib
import resource
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time

import pytest
from test_cli import PAGE, SIGNED, STORE, folder, run, succeed  # noqa: F401

import velmora

as_root = pytest.mark.skipif(os.geteuid() != 0, reason="needs root to make and own files")
has_setpriv = pytest.mark.skipif(shutil.which("setpriv") is None, reason="runs as nobody")
BIG_STORE = os.urandom(4 << 20)  # a new page far larger than a pipe's buffer


def left_in(folder: pathlib.Path) -> dict[str, bytes]:
    return {p.name: p.read_bytes() for p in folder.iterdir() if p.is_file()}


def nobody() -> tuple[int, int]:
    import pwd

    entry = pwd.getpwnam("nobody")
    return entry.pw_uid, entry.pw_gid


def fifo_read(path: pathlib.Path, into: list[bytes]) -> threading.Thread:
    reader = threading.Thread(target=lambda: into.append(path.read_bytes()), daemon=True)
    reader.start()
    return reader


@as_root
def test_special_files_are_written_to_not_replaced(folder):
    os.mknod(folder / "null", 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    os.mkfifo(folder / "fifo")
    received: list[bytes] = []
    reader = fifo_read(folder / "fifo", received)
    for name in ("null", "fifo"):
        succeed(folder, "remove", "signed.html", "-o", name)
    reader.join(timeout=10)
    assert received == [PAGE]
    assert stat.S_ISCHR((folder / "null").stat().st_mode)
    assert stat.S_ISFIFO((folder / "fifo").stat().st_mode)
    with socket.socket(socket.AF_UNIX) as listening:
        listening.bind(str(folder / "sock"))
        done = run(folder, "remove", "signed.html", "-o", "sock")
    assert (done.returncode, done.stderr) == (2, b"velmora: sock: No such device or address\n")
    assert stat.S_ISSOCK((folder / "sock").stat().st_mode)


@pytest.mark.parametrize("flag", ["-o", "--store-out"])
def test_a_link_to_an_open_descriptor_writes_to_it(folder, flag):
    os.symlink("/proc/self/fd/1", folder / "stdout")
    args = ["remove", "signed.html"] if flag == "-o" else ["extract", "signed.html"]
    expected = PAGE if flag == "-o" else STORE
    assert succeed(folder, *args, flag, "stdout") == expected  # a pipe
    with open(folder / "log", "ab") as log:  # as `>> log` opens it: nothing is replaced
        log.write(b"kept\n")
        log.flush()
        assert run(folder, *args, flag, "stdout", stdout=log).returncode == 0
    assert (folder / "log").read_bytes() == b"kept\n" + expected


def test_store_out_dash_is_standard_output(folder):
    assert succeed(folder, "extract", "signed.html", "--store-out", "-") == STORE
    assert not (folder / "-").exists()


def test_a_reader_that_leaves_after_a_few_bytes_gets_141(folder):
    (folder / "big.bin").write_bytes(BIG_STORE)
    with subprocess.Popen(
        [sys.executable, "-m", "velmora_cli", "embed", "page.html", "big.bin"],
        cwd=folder,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    ) as process:
        assert process.stdout.read(10) == SIGNED[:10]
        process.stdout.close()
        assert process.stderr.read() == b""
    assert process.returncode == 141


@pytest.mark.parametrize("to_file", [False, True])
def test_a_file_size_limit_fails_the_command_and_keeps_the_file(folder, to_file):
    (folder / "big.bin").write_bytes(BIG_STORE)
    (folder / "out.html").write_bytes(b"previous")
    before = left_in(folder)
    limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))  # noqa: E731
    with open(folder / "stdout", "wb") as stdout:
        args = ["embed", "page.html", "big.bin", *(["-o", "out.html"] if to_file else [])]
        done = run(folder, *args, stdout=stdout, preexec_fn=limit)
    name = "out.html" if to_file else "standard output"
    assert (done.returncode, done.stderr) == (2, f"velmora: {name}: File too large\n".encode())
    assert {k: v for k, v in left_in(folder).items() if k != "stdout"} == before


@pytest.mark.parametrize(
    "output, message",
    [("missing/x.html", "missing/x.html: No such file or directory"), (".", ".: Is a directory")],
)
def test_errors_name_the_path_given(folder, output, message):
    done = run(folder, "remove", "signed.html", "-o", output)
    assert (done.returncode, done.stderr.decode()) == (2, f"velmora: {message}\n")


@as_root
def test_in_place_keeps_owner_group_and_mode(folder):
    os.chown(folder / "signed.html", *nobody())
    (folder / "signed.html").chmod(0o640)
    succeed(folder, "remove", "signed.html", "--in-place")
    status = (folder / "signed.html").stat()
    assert (status.st_uid, status.st_gid, stat.S_IMODE(status.st_mode)) == (*nobody(), 0o640)
    assert (folder / "signed.html").read_bytes() == PAGE


def as_user(user: str, folder: pathlib.Path, *args: str) -> subprocess.CompletedProcess[bytes]:
    drop = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] * (user == "nobody")
    command = [*drop, sys.executable, "-m", "velmora_cli", *args]
    return subprocess.run(command, cwd=folder, capture_output=True, timeout=60)


@as_root
@has_setpriv
@pytest.mark.parametrize(
    "owner, mode, user, reason",
    [
        ("root", 0o444, "root", "write-protected (--force replaces it anyway)"),
        ("nobody", 0o444, "nobody", "write-protected (--force replaces it anyway)"),
        ("root", 0o666, "nobody", "cannot keep its owner and group: Operation not permitted"),
    ],
)
def test_protected_files_need_force_and_owners_stay(owner, mode, user, reason):
    folder = pathlib.Path(tempfile.mkdtemp())  # where nobody may go, unlike pytest's folders
    folder.chmod(0o777)
    page = folder / "signed.html"
    page.write_bytes(SIGNED)
    os.chown(page, *(nobody() if owner == "nobody" else (0, 0)))
    page.chmod(mode)
    done = as_user(user, folder, "remove", "signed.html", "--in-place")
    assert (done.returncode, done.stderr.decode()) == (2, f"velmora: signed.html: {reason}\n")
    forced = as_user(user, folder, "remove", "signed.html", "--in-place", "--force")
    assert forced.returncode == (0 if owner == user else 2)
    assert page.read_bytes() == (PAGE if owner == user else SIGNED)
    assert os.listdir(folder) == ["signed.html"]  # no temporary file left
    shutil.rmtree(folder)


def test_a_file_with_other_hard_links_is_refused(folder):
    os.link(folder / "signed.html", folder / "other.html")
    done = run(folder, "remove", "signed.html", "--in-place")
    assert done.returncode == 2
    assert b"signed.html: has 2 hard links" in done.stderr
    assert (folder / "signed.html").read_bytes() == (folder / "other.html").read_bytes() == SIGNED


@pytest.mark.skipif(shutil.which("strace") is None, reason="strace holds the write open")
@pytest.mark.parametrize("number", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_a_signal_removes_the_temporary_file_and_ends_quietly(folder, number):
    # strace holds the finished temporary file for a second before it replaces the page.
    hold = ["strace", "-qq", "-o", os.devnull, "-e", "inject=fsync:delay_enter=1000000"]
    command = [*hold, sys.executable, "-m", "velmora_cli", "remove", "signed.html", "--in-place"]
    with subprocess.Popen(command, cwd=folder, stderr=subprocess.PIPE) as tracer:
        while not any(name.endswith(".tmp") for name in os.listdir(folder)):
            assert tracer.poll() is None
            time.sleep(0.001)
        children = pathlib.Path(f"/proc/{tracer.pid}/task/{tracer.pid}/children")
        (child,) = children.read_text().split()
        os.kill(int(child), number)
        assert tracer.stderr.read() == b""
    assert tracer.returncode == 128 + number
    assert (folder / "signed.html").read_bytes() == SIGNED
    assert not [name for name in os.listdir(folder) if name.endswith(".tmp")]


def test_file_names_in_other_bytes_are_escaped_in_the_report(folder):
    name = os.fsdecode(b"t\xff\x1b.c2pa")
    env = {**os.environ, "PYTHONIOENCODING": "utf-8"}
    done = run(folder, "extract", "signed.html", "--store-out", name, env=env)
    assert done.returncode == 0
    report = done.stdout.decode().splitlines()[-1]
    assert report == f"store: {len(STORE)} bytes, written to t\\xff\\x1b.c2pa"
    assert (folder / name).read_bytes() == velmora.extract(SIGNED)["store"]
