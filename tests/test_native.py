"""Builds and runs the native test program, which compares every hardware
kernel this CPU offers with the portable one (the module itself always picks
the best kernel, so Python-level tests cannot reach the others)."""

import os
import pathlib
import platform
import re
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def native_tests(tmp_path_factory):
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.fail("cmake is needed to build the native tests (pip install '.[test]')")
    build = tmp_path_factory.mktemp("native-build")
    generator = ["-G", "Ninja"] if shutil.which("ninja") else []
    subprocess.run(
        [cmake, "-S", str(ROOT), "-B", str(build), *generator,
         "-DVELMORA_NATIVE_TESTS=ON", "-DCMAKE_BUILD_TYPE=Release"],
        check=True, capture_output=True, text=True,
    )
    subprocess.run(
        [cmake, "--build", str(build), "--target", "native_tests", "-j", str(os.cpu_count() or 2)],
        check=True, capture_output=True, text=True,
    )
    return build / "native_tests"


@pytest.fixture(scope="module")
def native_run(native_tests):
    return subprocess.run([str(native_tests)], capture_output=True, text=True, timeout=600)


def test_every_kernel_agrees_with_the_portable_one(native_run):
    summary = native_run.stdout.strip().splitlines()[-1] if native_run.stdout.strip() else ""
    assert native_run.returncode == 0, native_run.stdout + native_run.stderr
    assert summary.endswith("0 failed"), summary


def test_every_kernel_table_row_is_reported_once(native_run):
    lines = native_run.stdout.splitlines()
    rows = [line.split(" ", 2) for line in lines if line.startswith("kernel ")]
    statuses = {(table, rest.split(":")[0]): rest.split(": ")[1] for _, table, rest in rows}
    assert len(statuses) == len(rows)
    assert {table for table, _ in statuses} == {"sha256", "sha512", "base64"}
    assert set(statuses.values()) <= {"ran", "not supported"}
    assert all(statuses[(table, "portable")] == "ran" for table in ("sha256", "sha512", "base64"))


@pytest.mark.skipif(
    not (sys.platform == "linux" and platform.machine() == "x86_64"), reason="x86-64 Linux only"
)
def test_kernels_run_exactly_where_the_kernel_reports_their_extensions(native_run):
    cpuinfo = pathlib.Path("/proc/cpuinfo").read_text()
    flags = set(re.search(r"^flags\s*:(.*)$", cpuinfo, re.M)[1].split())
    avx2 = {"avx2", "bmi2"}
    expected = {
        ("sha256", "sha-ni"): {"sha_ni", "sse4_1", "ssse3"} <= flags,
        ("sha512", "avx2"): avx2 <= flags,
        ("sha512", "avx512"): avx2 | {"avx512f", "avx512vl"} <= flags,
        ("base64", "avx2"): avx2 <= flags,
        ("base64", "avx512vbmi"): avx2 | {"avx512f", "avx512bw", "avx512vl", "avx512vbmi"} <= flags,
    }
    for (table, kernel), present in expected.items():
        status = "ran" if present else "not supported"
        assert f"kernel {table} {kernel}: {status}" in native_run.stdout.splitlines()
