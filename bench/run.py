"""Benchmark of BinaryParser.parse against its peers, measured side by side in one run.

    python bench/run.py [--quick]

Imports the installed module (build nothing here). Per workload: the payload size, the median
time of one call, output MB/s, and the same for
  - orjson.dumps of the decoded object (writing JSON only, none of the reading),
  - json.dumps of the decoded object (compact separators),
  - the floor: binascii.a2b_base64 of the input plus a str of the output's length,
with our time as a ratio of each. Then the peak resident memory of decoding the large workload
in a fresh process, against input text + decoded bytes + 2 x output."""

from __future__ import annotations

import argparse
import binascii
import json
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

import orjson

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import workloads  # noqa: E402

from velunda_binary_parser import BinaryParser  # noqa: E402

TARGETS = {  # workload: (peer, largest ratio to it)
    "typical": ("orjson", 0.33),
    "floats": ("orjson", 0.33),
    "large": ("orjson", 0.2),
    "tiny": ("floor", 3.0),
}
LARGE_MIN_GB_PER_S = 1.0
MEMORY_MAX_RATIO = 1.3


def batch_size(call) -> int:
    """Calls per timed batch: enough for about a millisecond."""
    batch = 1
    while True:
        start = time.perf_counter()
        for _ in range(batch):
            call()
        if time.perf_counter() - start > 1e-3 or batch >= 1 << 20:
            return batch
        batch *= 2


def median_seconds(calls: dict, budget: float) -> dict[str, float]:
    """Median time per call of each contender. Their batches take turns, so that the noise of
    a shared machine falls on all of them alike and their ratios stay steady."""
    batches = {name: batch_size(call) for name, call in calls.items()}
    samples: dict[str, list[float]] = {name: [] for name in calls}
    deadline = time.perf_counter() + budget * len(calls)
    while time.perf_counter() < deadline or len(samples["ours"]) < 7:
        for name, call in calls.items():
            batch = batches[name]
            start = time.perf_counter()
            for _ in range(batch):
                call()
            samples[name].append((time.perf_counter() - start) / batch)
    return {name: statistics.median(times) for name, times in samples.items()}


def measure(workload: workloads.Workload, budget: float) -> dict[str, float]:
    parser = BinaryParser()
    kind, version, text = workload.kind, workload.version, workload.text
    output = parser.parse(kind, version, text)
    decoded = json.loads(output)
    output_bytes = output.encode("ascii")
    assert orjson.loads(orjson.dumps(decoded)) == decoded

    def floor():
        binascii.a2b_base64(text)
        output_bytes.decode("ascii")

    figures = median_seconds({
        "ours": lambda: parser.parse(kind, version, text),
        "orjson": lambda: orjson.dumps(decoded),
        "json": lambda: json.dumps(decoded, separators=(",", ":")),
        "floor": floor,
    }, budget)
    figures["output"] = len(output)
    return figures


MEMORY_PROBE = textwrap.dedent("""
    import base64, sys
    from velunda_binary_parser import BinaryParser

    def resident(field):
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(field):
                    return int(line.split()[1]) * 1024

    text = open(sys.argv[1]).read()
    parser = BinaryParser()
    parser.parse("samples", 1, "AAAA")  # warm the call path
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")
    baseline = resident("VmRSS")
    result = parser.parse("samples", 13, text)
    print(resident("VmHWM") - baseline, len(result))
""")


def measure_memory(workload: workloads.Workload) -> tuple[int, int]:
    with tempfile.NamedTemporaryFile("w", suffix=".b64", delete=False) as file:
        file.write(workload.text)
    try:
        out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, file.name], check=True, capture_output=True, text=True)
    finally:
        os.unlink(file.name)
    peak, output = map(int, out.stdout.split())
    # The text is loaded before the baseline; it still counts as input the call has to hold.
    budget = len(workload.text) + workload.payload_size + 2 * output
    return peak + len(workload.text), budget


def machine() -> str:
    model = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} cores, Python {platform.python_version()}, orjson {orjson.__version__}"


def main() -> int:
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--quick", action="store_true", help="shorter timing budget per measurement")
    budget = 0.3 if options.parse_args().quick else 1.5

    print(machine())
    header = f"{'workload':<8} {'payload':>9} {'output':>9} {'ours':>10} {'MB/s':>7}"
    for peer in ("orjson", "json", "floor"):
        header += f" {peer:>10} {'ratio':>6}"
    print(header)
    met = True
    results = {}
    for workload in workloads.all_workloads():
        figures = measure(workload, budget)
        results[workload.name] = figures
        row = (f"{workload.name:<8} {workload.payload_size:>9} {figures['output']:>9} "
               f"{figures['ours'] * 1e6:>8.2f}us {figures['output'] / figures['ours'] / 1e6:>7.0f}")
        for peer in ("orjson", "json", "floor"):
            row += f" {figures[peer] * 1e6:>8.2f}us {figures['ours'] / figures[peer]:>6.2f}"
        print(row)

    print()
    for name, (peer, limit) in TARGETS.items():
        ratio = results[name]["ours"] / results[name][peer]
        ok = ratio <= limit
        met &= ok
        print(f"{'met ' if ok else 'MISS'} {name}: {ratio:.2f} x {peer} (target <= {limit})")
    large = results["large"]
    speed = large["output"] / large["ours"] / 1e9
    met &= speed >= LARGE_MIN_GB_PER_S
    print(f"{'met ' if speed >= LARGE_MIN_GB_PER_S else 'MISS'} large: {speed:.2f} GB/s of JSON (target >= {LARGE_MIN_GB_PER_S})")
    peak, allowance = measure_memory(workloads.large())
    ratio = peak / allowance
    met &= ratio <= MEMORY_MAX_RATIO
    print(f"{'met ' if ratio <= MEMORY_MAX_RATIO else 'MISS'} memory: peak {peak / 2**20:.1f} MiB = {ratio:.2f} x "
          f"(text + decoded + 2 x output = {allowance / 2**20:.1f} MiB) (target <= {MEMORY_MAX_RATIO})")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
