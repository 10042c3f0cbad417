"""The README's Python examples run as written, and its demo prints what it shows."""

import pathlib
import re
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
EXAMPLES = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)


@pytest.mark.parametrize("code", EXAMPLES, ids=[f"example{i}" for i in range(len(EXAMPLES))])
def test_readme_example_runs(code, capsys):
    exec(compile(code, str(README), "exec"), {})


def test_readme_shows_the_demo_as_it_runs():
    shown = re.search(r"```text\n(velmora demo: .*?)```", README.read_text(encoding="utf-8"), re.S)
    done = subprocess.run([sys.executable, "-m", "velmora_cli", "demo"], capture_output=True)
    assert done.stdout.decode() == shown.group(1)
