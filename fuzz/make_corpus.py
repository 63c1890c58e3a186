"""Writes a seed corpus for the decode fuzz target: random valid payloads of every family and
version, built by the tests' layout model, each behind the target's three selector bytes.

    python -m fuzz.make_corpus DIR [PER_VERSION]
"""

import pathlib
import random
import sys
import warnings

from hypothesis.errors import NonInteractiveExampleWarning  # noqa: E402

from velunda_model.encoder import b64  # noqa: E402
from velunda_model.records import CALIBRATION, DIAGNOSTICS, SAMPLES  # noqa: E402

# The target's kind selector: samples, calibration, diagnostics.
FAMILIES = [(0, SAMPLES), (1, CALIBRATION), (2, DIAGNOSTICS)]
RAW, TEXT = 0, 1


def main(directory: pathlib.Path, per_version: int) -> None:
    directory.mkdir(parents=True, exist_ok=True)
    rng = random.Random(1)
    warnings.simplefilter("ignore", NonInteractiveExampleWarning)
    count = 0
    for kind, layouts in FAMILIES:
        for version, layout in layouts.items():
            strategy = layout.strategy()
            for index in range(per_version):
                payload = layout.encode(strategy.example() if index else layout.smallest())
                mode = RAW if index % 4 else TEXT
                body = payload if mode == RAW else b64(payload).encode()
                storage = rng.choice([0, 2])
                (directory / f"{kind}-{version}-{index}").write_bytes(bytes([kind, version, mode | storage]) + body)
                count += 1
    print(f"{count} seeds in {directory}")


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]), int(sys.argv[2]) if len(sys.argv) > 2 else 20)
