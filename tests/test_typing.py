"""The type information as `mypy --strict` reads it from the installed package: the calls in
typing/accepted.py pass, and each call marked `# rejected` in typing/rejected.py is an error."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy.api", reason="mypy does not import in this interpreter")

pytestmark = pytest.mark.no_refleak

HERE = Path(__file__).resolve().parent / "typing"
ACCEPTED = HERE / "accepted.py"
REJECTED = HERE / "rejected.py"
REJECTED_LINES = [
    number
    for number, line in enumerate(REJECTED.read_text().splitlines(), start=1)
    if line.endswith("# rejected")
]


@pytest.fixture(scope="module")
def errors(tmp_path_factory):
    """{(file name, line): [messages]} of one mypy --strict run over both files."""
    cache = tmp_path_factory.mktemp("mypy-cache")
    completed = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache),
         "--no-error-summary", "--hide-error-context", str(ACCEPTED), str(REJECTED)],
        capture_output=True, text=True, cwd=cache, check=False)
    assert completed.returncode in (0, 1), completed.stderr
    found = {}
    for line in completed.stdout.splitlines():
        match = re.match(r"(.+?):(\d+): error: (.*)", line)
        if match:
            key = (Path(match[1]).name, int(match[2]))
            found.setdefault(key, []).append(match[3])
    return found


def test_accepted_calls(errors):
    assert {key: value for key, value in errors.items() if key[0] == ACCEPTED.name} == {}


@pytest.mark.parametrize("line", REJECTED_LINES)
def test_rejected_call(errors, line):
    assert (REJECTED.name, line) in errors


def test_no_other_errors(errors):
    unexpected = {key for key in errors if key[0] == REJECTED.name} - {
        (REJECTED.name, line) for line in REJECTED_LINES}
    assert unexpected == set()
