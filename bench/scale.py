"""Rows per second of the many-row entry points against a Python loop over parse.

    python -m bench.scale [--typical N] [--tiny N]

On N typical version 13 rows (default 200,000) and N tiny diagnostics rows (default 1,000,000),
each a rotation of 200 distinct payloads, times: a Python loop over parse; parse_many with one
thread and with every usable core; parse_arrow from a pyarrow string column (every core); and
velunda-parse -j <cores> on the same rows as a CSV file. Contenders take turns, best of five.
Exits 1 when a target is missed."""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time

import pyarrow as pa

from bench import workloads
from bench.cli import command
from velunda_binary_parser import BinaryParser

DISTINCT = 200
ROUNDS = 5
CORES = len(os.sched_getaffinity(0))


def rotated(name: str, count: int) -> list[str]:
    distinct = workloads.workload(name, DISTINCT).texts
    return [distinct[i % DISTINCT] for i in range(count)]


def contenders(kind: str, version: int, texts: list[str], csv_path: str):
    parser = BinaryParser()
    parse = parser.parse
    column = pa.array(texts, pa.string())

    def loop():
        return [parse(kind, version, text) for text in texts]

    def cli():
        subprocess.run([command(), "-q", "-j", str(CORES), "-o", os.devnull, csv_path], check=True)

    return {
        "loop over parse": loop,
        "parse_many, 1 thread": lambda: parser.parse_many(kind, version, texts, threads=1),
        f"parse_many, {CORES} threads": lambda: parser.parse_many(kind, version, texts),
        f"parse_arrow, {CORES} threads": lambda: parser.parse_arrow(kind, version, column),
        f"velunda-parse -j {CORES}": cli,
    }


def measure(name: str, kind: str, version: int, texts: list[str]) -> dict[str, float]:
    with tempfile.NamedTemporaryFile("w", suffix=".csv", delete=False) as file:
        file.write("kind,version,b64_data\n")
        file.writelines(f"{kind},{version},{text}\n" for text in texts)
    try:
        runs = contenders(kind, version, texts, file.name)
        best = {label: float("inf") for label in runs}
        for _ in range(ROUNDS):
            for label, run in runs.items():
                start = time.perf_counter()
                result = run()
                best[label] = min(best[label], time.perf_counter() - start)
                del result
    finally:
        os.unlink(file.name)
    base = best["loop over parse"]
    print(f"\n{name}: {len(texts):,} rows, {sum(map(len, texts)) / len(texts):.0f} chars of base64 each, {CORES} cores")
    print(f"| {'contender':<26} | {'rows/s':>12} | {'vs loop':>8} |")
    print(f"|{'-' * 28}|{'-' * 14}|{'-' * 10}|")
    for label, seconds in best.items():
        print(f"| {label:<26} | {len(texts) / seconds:>12,.0f} | {base / seconds:>7.2f}x |")
    return best


def main() -> int:
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--typical", type=int, default=200_000)
    options.add_argument("--tiny", type=int, default=1_000_000)
    arguments = options.parse_args()
    tiny = measure("tiny: diagnostics v4", "diagnostics", 4, rotated("tiny", arguments.tiny))
    typical = measure("typical: samples v13", "samples", 13, rotated("typical", arguments.typical))

    every_core = f"parse_many, {CORES} threads"
    targets = [
        (
            "parse_many every core >= 1.8 x the loop, tiny",
            tiny["loop over parse"] / tiny[every_core],
            1.8,
        ),
        (
            "parse_many every core >= 1.8 x threads=1, typical",
            typical["parse_many, 1 thread"] / typical[every_core],
            1.8,
        ),
        (
            "parse_arrow >= 1.3 x parse_many, typical",
            typical[every_core] / typical[f"parse_arrow, {CORES} threads"],
            1.3,
        ),
        ("parse_arrow >= parse_many, tiny", tiny[every_core] / tiny[f"parse_arrow, {CORES} threads"], 1.0),
    ]
    print()
    missed = 0
    for label, ratio, target in targets:
        met = ratio >= target
        missed += not met
        print(f"{'met ' if met else 'MISS'} {label}: {ratio:.2f}")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
