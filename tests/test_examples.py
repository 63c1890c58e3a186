"""The bundled example data: what README's first command prints stays true."""

import csv
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
            assert line.startswith('{"') and line.endswith("}")
