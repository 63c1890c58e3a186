"""Decodes a CSV of payloads (kind,version,b64_data per line) and prints one JSON text per line.

    python examples/decode_payloads.py [payloads.csv]

A payload that fails is reported in its place as: line N: error: <message>
"""

import csv
import pathlib
import sys

from velunda_binary_parser import BinaryParser


def main(path: pathlib.Path) -> None:
    parser = BinaryParser()
    with path.open(newline="") as lines:
        for number, row in enumerate(csv.reader(lines), start=1):
            if not row or row == ["kind", "version", "b64_data"]:
                continue
            kind, version, text = row
            try:
                print(parser.parse(kind, int(version), text))
            except ValueError as error:
                print(f"line {number}: error: {error}")


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else pathlib.Path(__file__).with_name("payloads.csv"))
