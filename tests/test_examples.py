"""The bundled example data: what README's first command prints stays true."""

import csv
import json
import pathlib
import re
import subprocess
import sys

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"


def test_example_script_decodes_the_bundled_payloads():
    output = subprocess.run([sys.executable, str(EXAMPLES / "decode_payloads.py")],
                            capture_output=True, text=True, check=True).stdout.splitlines()
    with (EXAMPLES / "payloads.csv").open(newline="") as lines:
        rows = list(csv.reader(lines))[1:]
    described = dict(re.findall(r"^\s+(\d+): (.*)$", (EXAMPLES / "README").read_text(), re.MULTILINE))
    assert len(output) == len(rows) == len(described)
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
