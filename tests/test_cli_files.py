"""The `velmora` command's outputs, through real processes: special files, short writes,
ownership, write protection, hard links and signals."""

from __future__ import annotations

import contextlib
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
import threading

import pytest
from test_cli import PAGE, SIGNED, STORE, folder, run, succeed  # noqa: F401

as_root = pytest.mark.skipif(os.geteuid() != 0, reason="makes device nodes and owns files")
NOBODY = pwd.getpwnam("nobody")


@as_root
def test_special_files_are_written_to_not_replaced(folder):
    os.mknod(folder / "null", 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    os.mkfifo(folder / "fifo")
    got: list[bytes] = []
    reader = threading.Thread(target=lambda: got.append((folder / "fifo").read_bytes()))
    reader.daemon = True
    reader.start()
    for name in ("null", "fifo"):
        succeed(folder, "remove", "signed.html", "-o", name)
    reader.join(timeout=10)
    assert got == [PAGE]
    with socket.socket(socket.AF_UNIX) as listening:
        listening.bind(str(folder / "sock"))
        done = run(folder, "remove", "signed.html", "-o", "sock")
    assert (done.returncode, done.stderr) == (2, b"velmora: sock: No such device or address\n")
    kinds = {"null": stat.S_ISCHR, "fifo": stat.S_ISFIFO, "sock": stat.S_ISSOCK}
    assert all(kind((folder / name).stat().st_mode) for name, kind in kinds.items())


@pytest.mark.parametrize(
    "args, expected", [(["remove", "-o"], PAGE), (["extract", "--store-out"], STORE)]
)
def test_a_link_to_an_open_descriptor_writes_to_it(folder, args, expected):
    os.symlink("/proc/self/fd/1", folder / "stdout")  # what /dev/stdout is
    words = [args[0], "signed.html", args[1], "stdout"]
    assert succeed(folder, *words) == expected  # a pipe, and the store alone
    with open(folder / "log", "ab") as log:  # opened as `>> log` opens it: nothing is replaced
        log.write(b"kept\n")
        log.flush()
        assert run(folder, *words, stdout=log).returncode == 0
    assert (folder / "log").read_bytes() == b"kept\n" + expected


@pytest.mark.parametrize("output, name", [([], "standard output"), (["-o", "out"], "out")])
def test_a_file_size_limit_fails_the_command_and_keeps_the_file(folder, output, name):
    (folder / "big.bin").write_bytes(os.urandom(4 << 20))
    (folder / "out").write_bytes(b"previous")
    limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))  # noqa: E731
    with open(folder / "stdout", "wb") as stdout:
        args = ["embed", "page.html", "big.bin", *output]
        done = run(folder, *args, stdout=stdout, preexec_fn=limit)
    assert (done.returncode, done.stderr) == (2, f"velmora: {name}: File too large\n".encode())
    assert (folder / "out").read_bytes() == b"previous"
    assert not [n for n in os.listdir(folder) if n.startswith(".")]


def as_nobody() -> list[str]:
    """The words that run a command as nobody, or a skip where that cannot be."""
    if os.geteuid() != 0 or not shutil.which("setpriv"):
        pytest.skip("runs the command as nobody")
    drop = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
    if subprocess.run([*drop, sys.executable, "-c", ""], capture_output=True).returncode != 0:
        pytest.skip("nobody cannot run this interpreter (a library of it is out of reach)")
    return drop


@as_root
@pytest.mark.skipif(shutil.which("setpriv") is None, reason="runs the command as nobody")
@pytest.mark.parametrize(
    "owner, mode, user, refusal",
    [
        ("nobody", 0o640, "root", None),
        ("root", 0o444, "root", "write-protected (--force replaces it anyway)"),
        ("nobody", 0o444, "nobody", "write-protected (--force replaces it anyway)"),
        ("root", 0o666, "nobody", "cannot keep its owner and group: Operation not permitted"),
    ],
)
def test_owners_and_modes_stay_and_protected_files_need_force(owner, mode, user, refusal):
    folder = pathlib.Path(tempfile.mkdtemp())  # where nobody may go, unlike pytest's folders
    folder.chmod(0o777)
    page = folder / "signed.html"
    page.write_bytes(SIGNED)
    ids = (NOBODY.pw_uid, NOBODY.pw_gid) if owner == "nobody" else (0, 0)
    os.chown(page, *ids)
    page.chmod(mode)
    drop = as_nobody() if user == "nobody" else []
    command = [*drop, sys.executable, "-m", "velmora_cli", "remove", "signed.html", "--in-place"]
    done = subprocess.run(command, cwd=folder, capture_output=True, timeout=60)
    if refusal is not None:
        assert (done.returncode, done.stderr.decode()) == (2, f"velmora: signed.html: {refusal}\n")
        done = subprocess.run([*command, "--force"], cwd=folder, capture_output=True, timeout=60)
    replaced = owner == user or refusal is None
    assert (done.returncode, page.read_bytes()) == ((0, PAGE) if replaced else (2, SIGNED))
    status = page.stat()
    assert (status.st_uid, status.st_gid, stat.S_IMODE(status.st_mode)) == (*ids, mode)
    assert os.listdir(folder) == ["signed.html"]  # no temporary file left
    shutil.rmtree(folder)


def test_a_folder_that_takes_no_new_file_is_named_as_the_cause():
    drop = as_nobody()
    folder = pathlib.Path(tempfile.mkdtemp())
    (folder / "signed.html").write_bytes(SIGNED)
    (folder / "out.html").write_bytes(b"old")
    (folder / "out.html").chmod(0o666)  # writable by nobody, but the folder is not
    folder.chmod(0o755)
    command = [sys.executable, "-m", "velmora_cli", "remove", "signed.html", "-o", "out.html"]
    done = subprocess.run([*drop, *command], cwd=folder, capture_output=True, timeout=60)
    cause = "Permission denied (writing it makes a file in its folder)"
    assert (done.returncode, done.stderr.decode()) == (2, f"velmora: out.html: {cause}\n")
    assert (folder / "out.html").read_bytes() == b"old"
    shutil.rmtree(folder)


def test_a_file_with_other_hard_links_is_refused(folder):
    os.link(folder / "signed.html", folder / "other.html")
    done = run(folder, "remove", "signed.html", "--in-place", "--force")
    assert done.returncode == 2 and b"signed.html: has 2 hard links" in done.stderr
    assert (folder / "signed.html").read_bytes() == (folder / "other.html").read_bytes() == SIGNED


@pytest.mark.skipif(shutil.which("strace") is None, reason="strace sends the signal")
@pytest.mark.parametrize(
    "name", ["SIGINT", "SIGTERM", "SIGHUP", "SIGQUIT", "SIGUSR1", "SIGALRM", "SIGXCPU"]
)
def test_a_signal_removes_the_temporary_file_and_ends_quietly(folder, name):
    # The signal arrives as the finished temporary file is flushed, just before the rename.
    command = ["strace", "-qq", "-o", os.devnull, "-e", f"inject=fsync:signal={name}"]
    command += [sys.executable, "-m", "velmora_cli", "remove", "signed.html", "--in-place"]
    # Trapped, unlike a signal ignored from the start (by nohup, or `&` in a script for SIGINT).
    trappable = lambda: signal.signal(signal.Signals[name], signal.SIG_DFL)  # noqa: E731
    done = subprocess.run(
        command, cwd=folder, capture_output=True, timeout=60, preexec_fn=trappable
    )
    assert (done.returncode, done.stderr) == (128 + signal.Signals[name], b"")
    assert (folder / "signed.html").read_bytes() == SIGNED
    assert not [n for n in os.listdir(folder) if n.endswith(".tmp")]


SIGNAL_ON_THE_WAY_OUT = """
import os, signal, sys
from velmora_cli import cli, files
write_all, discard = files.write_all, files._discard
files.write_all = lambda *args: (os.kill(os.getpid(), signal.SIGTERM), write_all(*args))
files._discard = lambda temporary: (os.kill(os.getpid(), signal.SIGHUP), discard(temporary))
sys.exit(cli.main(["remove", "signed.html", "-o", "out.html"]))
"""


def test_a_second_signal_does_not_cut_the_way_out_short(folder):
    done = subprocess.run(
        [sys.executable, "-c", SIGNAL_ON_THE_WAY_OUT], cwd=folder, capture_output=True, timeout=60
    )
    assert (done.returncode, done.stderr) == (128 + signal.SIGTERM, b"")
    assert not [n for n in os.listdir(folder) if n.startswith(".out.html")]


def test_file_names_in_other_bytes_are_escaped_in_the_report(folder):
    name = os.fsdecode(b"t\xff\x1b.c2pa")
    env = {**os.environ, "PYTHONIOENCODING": "utf-8"}
    done = run(folder, "extract", "signed.html", "--store-out", name, env=env)
    assert done.returncode == 0 and (folder / name).read_bytes() == STORE
    report = done.stdout.decode().splitlines()[-1]
    assert report == f"store: {len(STORE)} bytes, written to t\\xff\\x1b.c2pa"


def run_reading(folder, stdin, *args):
    """`run`, with standard input open on the file `stdin`."""
    return subprocess.run(
        [sys.executable, "-m", "velmora_cli", *args], stdin=stdin, cwd=folder, capture_output=True,
        timeout=60,
    )


def test_in_place_through_a_read_write_descriptor_leaves_no_old_tail(folder):
    with open(folder / "signed.html", "r+b") as page:  # as `<> signed.html` opens it
        assert run_reading(folder, page, "remove", "/dev/stdin", "--in-place").returncode == 0
    assert (folder / "signed.html").read_bytes() == PAGE


@pytest.mark.parametrize(
    "args, kept", [(["extract", "-", "--store-out", "signed.html"], "signed.html"),
                   (["embed", "page.html", "-", "-o", "store.bin"], "store.bin")],
)
def test_an_output_that_is_the_file_on_standard_input_is_refused(folder, args, kept):
    before = (folder / kept).read_bytes()
    with open(folder / kept, "rb") as source:
        done = run_reading(folder, source, *args)
    refusal = f"velmora: refusing to overwrite {kept}, which standard input reads\n"
    assert (done.returncode, done.stderr.decode()) == (2, refusal)
    assert (folder / kept).read_bytes() == before


@pytest.mark.parametrize(
    "output, error",
    [("new/", "new/: Is a directory"), ("é" * 127, None)],  # 254 bytes: a valid name
)
def test_output_names_a_folder_or_a_long_name_as_the_shell_would(folder, output, error):
    done = run(folder, "remove", "signed.html", "-o", output)
    if error is None:
        assert done.returncode == 0 and (folder / output).read_bytes() == PAGE
    else:
        assert (done.returncode, done.stderr) == (2, f"velmora: {error}\n".encode())
        assert not (folder / output.rstrip("/")).exists()


def test_a_failure_that_cannot_be_told_still_exits_2(folder):
    with open("/dev/full", "wb") as full:
        assert run(folder, "hash", "missing.html", stderr=full).returncode == 2


@pytest.mark.parametrize(
    "args", [["hash", "/dev/stdin"], ["remove", "signed.html", "-o", "/dev/stdin"]]
)
def test_a_path_to_a_stream_the_command_started_without_is_a_closed_one(folder, args):
    done = subprocess.run(
        [sys.executable, "-m", "velmora_cli", *args], cwd=folder, capture_output=True,
        preexec_fn=lambda: os.close(0), timeout=60,
    )
    assert (done.returncode, done.stderr) == (2, b"velmora: /dev/stdin: Bad file descriptor\n")


def test_a_non_blocking_standard_input_is_read_to_its_end(folder):
    import fcntl
    import termios

    reader, writer = os.pipe()
    os.set_blocking(reader, False)  # as a parent may leave it: the flag is the pipe's
    command = [sys.executable, "-m", "velmora_cli", "remove", "-"]
    process = subprocess.Popen(command, stdin=reader, stdout=subprocess.PIPE, cwd=folder)
    os.write(writer, SIGNED[:100])
    waiting = bytearray(4)
    while process.poll() is None:  # until the command has read what came so far
        fcntl.ioctl(reader, termios.FIONREAD, waiting)
        if not int.from_bytes(waiting, sys.byteorder):
            break
    with contextlib.suppress(BrokenPipeError):
        os.write(writer, SIGNED[100:])
    os.close(writer)
    os.close(reader)
    assert (process.communicate(timeout=60)[0], process.returncode) == (PAGE, 0)
