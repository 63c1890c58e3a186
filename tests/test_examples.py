"""The bundled example data: what README's first command prints stays true."""

import csv
import json
import pathlib
import re
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"


def described_lines(name):
    """The line-by-line description of one example file in examples/README."""
    section = (EXAMPLES / "README").read_text().split(f"{name}, line by line")[1].split("\n\n")[0]
    return dict(re.findall(r"^\s+(\d+): (.*)$", section, re.MULTILINE))


@pytest.mark.parametrize("name", ["payloads.csv", "failures.csv"])
def test_example_script_decodes_the_bundled_payloads(name):
    output = subprocess.run(
        [sys.executable, str(EXAMPLES / "decode_payloads.py"), str(EXAMPLES / name)],
        capture_output=True,
        text=True,
        check=True,
    ).stdout.splitlines()
    with (EXAMPLES / name).open(newline="") as lines:
        rows = list(csv.reader(lines))[1:]
    described = described_lines(name)
    assert len(output) == len(rows) == len(described)
    assert (name == "failures.csv") == any("FAILS" in text for text in described.values())
    for number, line in enumerate(output, start=2):
        if "FAILS" in described[str(number)]:
            assert line.startswith(f"line {number}: error: Parsing failed: ")
        else:
            kind, version, _ = rows[number - 2]
            assert json.loads(line).keys() == {kind.capitalize()}
            assert json.loads(line)[kind.capitalize()].keys() == {f"V{version}"}


def test_readme_calls_give_the_results_shown(parser):
    readme = (EXAMPLES.parent / "README.md").read_text()
    calls = re.findall(r"^parser\.parse\((.*)\)\n# '(.*)'$", readme, re.MULTILINE)
    assert len(calls) >= 3
    for arguments, result in calls:
        assert eval(f"parser.parse({arguments})", {"parser": parser}) == result
