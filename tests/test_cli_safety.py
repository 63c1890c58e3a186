"""velunda-parse never loses data: the output never destroys an input, -o appears whole or not at
all, a failed write stops the run with its real reason, any line length and any bytes are
reported rather than fatal, and a slow stream is written as it comes."""

import json
import os
import random
import re
import resource
import select
import signal
import subprocess
import threading
import time

import pytest
from test_cli import HEADER, command, run

SANITIZED = bool(os.environ.get("VELUNDA_SANITIZED"))
GOOD = "calibration,1,AhgFAA=="
GOOD_JSON = '{"Calibration":{"V1":{"water_ph":{"data":[12,-3]},"water_o2":{"data":[]}}}}'


def leftovers(directory):
    return sorted(name for name in os.listdir(directory) if name.startswith("."))


# ---- The output never destroys an input --------------------------------------------------------


@pytest.mark.parametrize("form", ["same name", "symlink", "standard input"])
def test_an_output_that_is_an_input_is_refused(tmp_path, form):
    source = tmp_path / "s.csv"
    source.write_text(f"{HEADER}\n{GOOD}\n")
    if form == "same name":
        result = run(source, "-o", source)
    elif form == "symlink":
        (tmp_path / "link.jsonl").symlink_to(source)
        result = run(source, "-o", tmp_path / "link.jsonl")
    else:
        with source.open("rb") as stdin:
            result = subprocess.run([command(), "-o", str(source)], stdin=stdin, capture_output=True, timeout=60)
    assert result.returncode == 2
    assert "is also an input" in result.stderr.decode()
    assert source.read_text() == f"{HEADER}\n{GOOD}\n"


def test_appending_standard_output_to_an_input_is_refused(tmp_path):
    source = tmp_path / "s.csv"
    source.write_text(f"{GOOD}\n")
    with source.open("ab") as stdout:
        result = subprocess.run([command(), str(source)], stdout=stdout, stderr=subprocess.PIPE, timeout=60)
    assert result.returncode == 2 and source.read_text() == f"{GOOD}\n"


@pytest.mark.parametrize("bad", ["directory", "missing", "unreadable"])
def test_a_bad_input_leaves_the_output_untouched(tmp_path, bad):
    good = tmp_path / "good.csv"
    good.write_text(f"{GOOD}\n")
    target = tmp_path / "out.jsonl"
    target.write_text("old\n")
    broken = tmp_path / bad
    if bad == "directory":
        broken.mkdir()
    elif bad == "unreadable":
        broken.write_text(f"{GOOD}\n")
        broken.chmod(0)
        if os.access(broken, os.R_OK):
            broken = "/proc/self/mem-is-not-a-csv"  # root reads anything; a missing name stands in
    result = run(good, broken, "-o", target)
    assert result.returncode == 2 and result.stdout == b""
    assert target.read_text() == "old\n"
    assert leftovers(tmp_path) == []


# ---- -o appears whole, or not at all -----------------------------------------------------------


def test_a_successful_run_replaces_the_output_keeping_its_mode(tmp_path):
    target = tmp_path / "out.jsonl"
    target.write_text("old\n")
    target.chmod(0o640)
    result = run("-o", target, stdin=f"{GOOD}\n".encode())
    assert result.returncode == 0 and target.read_text() == GOOD_JSON + "\n"
    assert target.stat().st_mode & 0o777 == 0o640
    assert leftovers(tmp_path) == []


def test_an_output_through_a_symlink_replaces_the_file_it_names(tmp_path):
    (tmp_path / "real.jsonl").write_text("old\n")
    (tmp_path / "link.jsonl").symlink_to(tmp_path / "real.jsonl")
    assert run("-o", tmp_path / "link.jsonl", stdin=f"{GOOD}\n".encode()).returncode == 0
    assert (tmp_path / "link.jsonl").is_symlink()
    assert (tmp_path / "real.jsonl").read_text() == GOOD_JSON + "\n"


def test_a_failed_write_mid_run_leaves_the_old_output(tmp_path):
    # The file-size limit makes the write fail partway, as a full disk would.
    def limit_file_size():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))

    target = tmp_path / "out.jsonl"
    target.write_text("old\n")
    lines = f"{GOOD}\n".encode() * 20_000
    result = subprocess.run(
        [command(), "-o", str(target)], input=lines, capture_output=True, timeout=60, preexec_fn=limit_file_size
    )
    assert result.returncode == 2
    assert result.stderr.decode() == "velunda-parse: write error: File too large\n"
    assert target.read_text() == "old\n" and leftovers(tmp_path) == []


@pytest.mark.parametrize("seed", range(6))
def test_a_signal_at_any_point_leaves_the_old_output_or_none(tmp_path, seed):
    rng = random.Random(seed)
    target = tmp_path / "out.jsonl"
    had_old = seed % 2 == 0
    if had_old:
        target.write_text("old\n")
    with subprocess.Popen(
        [command(), "-o", str(target)], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE
    ) as process:
        # The run is fed slowly, so that the signal finds it reading, decoding or writing.
        for _ in range(rng.randint(0, 30)):
            process.stdin.write(f"{GOOD}\n".encode() * rng.randint(1, 2000))
            process.stdin.flush()
            time.sleep(rng.random() * 0.01)
        process.send_signal(rng.choice([signal.SIGINT, signal.SIGTERM, signal.SIGHUP]))
        _, errors = process.communicate(timeout=60)
    assert process.returncode < 0, errors
    assert (target.read_text() == "old\n") if had_old else not target.exists()
    assert leftovers(tmp_path) == []


# ---- A failed write stops the run, with its reason ---------------------------------------------


def test_a_full_device_stops_at_the_first_failed_write(tmp_path):
    source = tmp_path / "s.csv"
    source.write_text(f"{GOOD}\n" * 200_000)
    result = run(source, "-o", "/dev/full")
    assert result.returncode == 2
    assert result.stderr.decode() == "velunda-parse: write error: No space left on device\n"


def test_a_reader_that_goes_away_stops_endless_input():
    # SIGPIPE ignored, as under systemd or subprocess with restore_signals=False.
    with subprocess.Popen(
        [command()], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, restore_signals=False
    ) as process:
        stop = threading.Event()

        def feed_forever():
            try:
                while not stop.is_set():
                    process.stdin.write(f"{GOOD}\n".encode() * 1000)
            except (BrokenPipeError, ValueError, OSError):
                pass

        feeder = threading.Thread(target=feed_forever)
        feeder.start()
        try:
            assert process.stdout.read(len(GOOD_JSON)).decode() == GOOD_JSON
            process.stdout.close()
            assert process.wait(timeout=30) == 2
        finally:
            stop.set()
            feeder.join()
        assert process.stderr.read().decode() == "velunda-parse: write error: Broken pipe\n"
        try:
            process.stdin.close()
        except BrokenPipeError:
            pass


# ---- Options -------------------------------------------------------------------------------------


@pytest.mark.parametrize("value", ["-1", "13x", "", "0x0d", str(2**64)])
def test_a_bad_payload_version_is_a_usage_error(value):
    result = run("--kind", "samples", "--version", value, stdin=b"AAAA\n")
    assert result.returncode == 2 and result.stdout == b""
    assert result.stderr.decode().startswith(
        f"velunda-parse: --version needs a number from 0 to 18446744073709551615, not '{value}'\n"
    )
    result = run("--payload-version", value, "--kind", "samples", stdin=b"AAAA\n")
    assert result.returncode == 2 and f"not '{value}'" in result.stderr.decode()


@pytest.mark.parametrize(
    "arguments",
    [
        ["--kind", "calibration", "--payload-version", "1"],
        ["--payload-version=1", "--kind=calibration"],
        ["--kind", "calibration", "--version", "1"],
    ],
)
def test_the_payload_version_by_either_name(arguments):
    result = run(*arguments, stdin=b"AhgFAA==\n")
    assert result.returncode == 0 and result.stdout.decode() == GOOD_JSON + "\n"


# ---- Any line, any bytes -------------------------------------------------------------------------


@pytest.mark.parametrize("jobs", ["1", "3"])
def test_a_line_over_the_limit_is_reported_and_skipped(jobs):
    long_line = "calibration,1," + "A" * 10_000
    lines = [GOOD, long_line, GOOD, "x" * 5000, long_line + long_line, GOOD]
    stdin = ("\n".join(lines)).encode()
    result = run("-j", jobs, "--max-line-bytes", "4096", "--errors", "inline", stdin=stdin)
    error = "line longer than 4096 bytes (--max-line-bytes)"
    assert result.stdout.decode().splitlines() == [
        GOOD_JSON,
        json.dumps({"error": error, "line": 2}, separators=(",", ":")),
        GOOD_JSON,
        json.dumps({"error": error, "line": 4}, separators=(",", ":")),
        json.dumps({"error": error, "line": 5}, separators=(",", ":")),
        GOOD_JSON,
    ]
    assert result.returncode == 1
    at_the_end = run("--max-line-bytes", "4096", stdin=(GOOD + "\n" + long_line).encode())
    assert at_the_end.stderr.decode() == f"<stdin>:2: {error}\n" and at_the_end.returncode == 1


def peak_resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        return int(re.search(r"^VmHWM:\s+(\d+) kB", status.read(), re.M).group(1))


@pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime owns the process's memory")
def test_an_endless_line_streams_in_bounded_memory():
    with subprocess.Popen(
        [command(), "--max-line-bytes", "65536"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE
    ) as process:
        block = b"A" * (1 << 20)
        for _ in range(400):  # 400 MiB without a line end
            process.stdin.write(block)
        process.stdin.write(b"\n" + GOOD.encode() + b"\n")
        process.stdin.flush()
        peak = peak_resident_kib(process.pid)
        out, err = process.communicate(timeout=120)
    assert process.returncode == 1
    assert out.decode() == GOOD_JSON + "\n"
    assert err.decode() == "<stdin>:1: line longer than 65536 bytes (--max-line-bytes)\n"
    assert peak < 64 * 1024


@pytest.mark.parametrize(
    "line", [b"\xff\xfe,1,AAAA", b"samp\xc3les,2,AAAA", b"samples,\xe2\x82,AAAA", b"\xed\xa0\x80,1,A"]
)
def test_every_message_is_valid_utf8(line):
    inline = run("--errors", "inline", stdin=line + b"\n")
    record = json.loads(inline.stdout.decode("utf-8"))
    assert "\ufffd" in record["error"] and record["line"] == 1
    reported = run(stdin=line + b"\n")
    assert "\ufffd" in reported.stderr.decode("utf-8")


def test_more_files_than_open_file_slots(tmp_path):
    names = []
    for i in range(1100):
        path = tmp_path / f"{i:04}.csv"
        path.write_text(f"{GOOD}\n")
        names.append(str(path))

    def few_open_files():
        resource.setrlimit(resource.RLIMIT_NOFILE, (1024, 1024))

    result = subprocess.run([command(), *names], capture_output=True, timeout=120, preexec_fn=few_open_files)
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode().splitlines() == [GOOD_JSON] * 1100


def test_a_byte_order_mark_before_the_header_is_skipped():
    result = run(stdin=f"\ufeff{HEADER}\r\n{GOOD}\r\n".encode())
    assert result.returncode == 0 and result.stdout.decode() == GOOD_JSON + "\n"


def test_a_slow_stream_is_written_as_it_comes():
    with subprocess.Popen(
        [command()], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE
    ) as process:
        for _ in range(3):
            process.stdin.write(f"{GOOD}\n".encode())
            process.stdin.flush()
            ready, _, _ = select.select([process.stdout], [], [], 10)
            assert ready, "no output while the input stays open"
            assert process.stdout.readline().decode() == GOOD_JSON + "\n"
        process.stdin.close()
        assert process.wait(timeout=30) == 0
