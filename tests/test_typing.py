"""The installed type stubs: mypy finds them, flags wrong calls, and they match the module."""

from __future__ import annotations

import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy", reason="mypy is not installed (it comes with the test extras)")

# Lines ending in "# wrong" must each draw an error; every other line must pass.
USAGE = textwrap.dedent(
    """
    from typing import TYPE_CHECKING, Literal, Union

    from typing_extensions import assert_type

    import velmora

    if TYPE_CHECKING:
        from velmora import DataHash, EmbeddedAssociation, ReferencedAssociation

    page = b"<html><head></head></html>"
    signed = velmora.embed(page, b"store")
    assert_type(signed, bytes)
    assert_type(velmora.embed_reference(html=page, href="https://x.example/m"), bytes)
    assert_type(velmora.remove(signed), bytes)
    assert_type(velmora.locate_all(signed), list[tuple[int, int]])
    assert_type(velmora.inline_hash_before_embed(page, alg="sha384"), bytes)
    assert_type(velmora.SCRIPT_TYPE, Literal["application/c2pa"])
    assert_type(velmora.LINK_REL, Literal["c2pa-manifest"])
    assert_type(velmora.__version__, str)

    found = velmora.extract(signed)
    assert_type(found, Union[EmbeddedAssociation, ReferencedAssociation, None])
    if found is not None:
        assert_type(found["start"] + found["length"], int)
        if found["kind"] == "embedded":
            assert_type(found["store"], bytes)
        else:
            assert_type(found["href"], str)
        found["store"]  # wrong

    binding: DataHash = velmora.compute_data_hash(signed)
    assert_type(binding["exclusions"], list[tuple[int, int]])
    velmora.verify_data_hash(signed, binding["hash"], binding["exclusions"], binding["alg"])
    velmora.verify_data_hash(signed, b"", [(0, 1)], "sha256") is None  # wrong
    binding["missing"]  # wrong

    velmora.embed(b"", 1)  # wrong
    velmora.embed(b"")  # wrong
    velmora.extract("<html></html>")  # wrong
    velmora.embed_reference(page, href=b"https://x.example/m")  # wrong
    velmora.compute_data_hash(page, alg=256)  # wrong
    velmora.compute_data_hash(page, algorithm="sha256")  # wrong
    velmora.verify_data_hash(page, b"", [(0, 1, 2)])  # wrong
    velmora.verify_data_hash(page, b"", [("0", 1)])  # wrong
    velmora.inline_hash_before_embed(page).encode()  # wrong
    velmora.InternalError  # wrong
    """
)


def mypy(folder: pathlib.Path, *args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=folder,
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_mypy_flags_wrong_calls_and_accepts_right_ones(tmp_path):
    (tmp_path / "usage.py").write_text(USAGE)
    done = mypy(tmp_path, "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "usage.py")
    flagged = {int(n) for n in re.findall(r"^usage\.py:(\d+): error:", done.stdout, re.M)}
    wrong = {n for n, line in enumerate(USAGE.splitlines(), 1) if line.endswith("# wrong")}
    assert flagged == wrong, done.stdout


def test_stubs_match_the_installed_module(tmp_path):
    done = mypy(tmp_path, "mypy.stubtest", "velmora", "--mypy-config-file", "/dev/null")
    assert done.returncode == 0, done.stdout + done.stderr
