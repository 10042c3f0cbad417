"""Builds and runs the native test program, which compares every hardware
kernel this CPU offers with the portable one (the module itself always picks
the best kernel, so Python-level tests cannot reach the others)."""

import os
import pathlib
import shutil
import subprocess

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


def test_every_kernel_agrees_with_the_portable_one(native_tests):
    result = subprocess.run([str(native_tests)], capture_output=True, text=True, timeout=600)
    summary = result.stdout.strip().splitlines()[-1] if result.stdout.strip() else ""
    assert result.returncode == 0, result.stdout + result.stderr
    assert summary.endswith("0 failed"), summary
