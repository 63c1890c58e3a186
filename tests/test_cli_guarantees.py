"""velunda-parse keeps every file whatever the user or the process meets: -o naming what standard
output or standard error already is, signals, file size limits, read-only targets, dangling
links; lines end as universal newlines say; and no byte of an input reaches the terminal raw."""

import os
import resource
import shutil
import signal
import subprocess
import tempfile
import time

import pytest
from test_cli import command, executable_file, run
from test_cli_safety import GOOD, GOOD_JSON, leftovers

SHORT = "calibration,1,AhgF"
SHORT_ERROR = "Parsing failed: PostcardError(DeserializeUnexpectedEnd) (at byte 3, water_o2.data)"


# ---- -o naming a standard stream ----------------------------------------------------------------


@pytest.mark.parametrize("name", ["/dev/stdout", "/proc/self/fd/1", "own name"])
def test_output_naming_standard_output_appends_to_it(tmp_path, name):
    source, log = tmp_path / "ok.csv", tmp_path / "log.jsonl"
    source.write_text(f"{GOOD}\n")
    log.write_text("earlier\n")
    target = str(log) if name == "own name" else name
    with log.open("a") as stdout:
        result = subprocess.run([command(), str(source), "-o", target], stdout=stdout, stderr=subprocess.PIPE)
    assert result.returncode == 0, result.stderr
    assert log.read_text() == f"earlier\n{GOOD_JSON}\n"
    assert leftovers(tmp_path) == []


def test_output_naming_standard_error_appends_to_it(tmp_path):
    source, log = tmp_path / "ok.csv", tmp_path / "err.log"
    source.write_text(f"{GOOD}\n{SHORT}\n")
    log.write_text("earlier\n")
    with log.open("a") as stderr:
        result = subprocess.run([command(), str(source), "-o", "/dev/stderr"], stderr=stderr)
    assert result.returncode == 1
    assert log.read_text().splitlines() == ["earlier", GOOD_JSON, f"{source}:2: {SHORT_ERROR}"]


# ---- Signals and limits -------------------------------------------------------------------------

ENDING_SIGNALS = ["SIGINT", "SIGTERM", "SIGHUP", "SIGQUIT", "SIGPIPE", "SIGALRM", "SIGUSR1", "SIGUSR2"]
ENDING_SIGNALS += ["SIGVTALRM", "SIGPROF"]


def signal_state() -> str:
    with open("/proc/self/status") as status:
        return " ".join(line.strip() for line in status if line.startswith(("SigBlk", "SigIgn")))


@pytest.mark.parametrize("name", ENDING_SIGNALS)
def test_a_signal_that_ends_the_run_leaves_the_old_output_and_no_temporary_file(tmp_path, name):
    target = tmp_path / "out.jsonl"
    target.write_text("old\n")
    number = getattr(signal, name)

    def default_disposition():
        # A child inherits ignored and blocked signals; the command must start where a shell
        # starts it, with this one neither.
        signal.signal(number, signal.SIG_DFL)
        signal.pthread_sigmask(signal.SIG_UNBLOCK, [number])

    with subprocess.Popen(
        [command(), "-o", str(target)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        preexec_fn=default_disposition,
    ) as process:
        process.stdin.write(f"{GOOD}\n".encode())
        process.stdin.flush()
        deadline = time.monotonic() + 30
        while not leftovers(tmp_path) and time.monotonic() < deadline:
            time.sleep(0.01)  # the temporary file is there: the run has begun
        time.sleep(0.2)
        process.send_signal(number)
        process.communicate(timeout=30)
    assert process.returncode == -number, signal_state()
    assert target.read_text() == "old\n"
    assert leftovers(tmp_path) == []


def test_the_file_size_limit_is_a_reported_write_error(tmp_path):
    source, target = tmp_path / "in.csv", tmp_path / "out.jsonl"
    source.write_text(f"{GOOD}\n" * 10_000)
    target.write_text("old\n")

    def limited():
        resource.setrlimit(resource.RLIMIT_FSIZE, (64 * 1024, 64 * 1024))

    result = subprocess.run(
        [command(), str(source), "-o", str(target)], preexec_fn=limited, capture_output=True, timeout=60
    )
    assert (result.returncode, result.stderr.decode()) == (2, "velunda-parse: write error: File too large\n")
    assert target.read_text() == "old\n"
    assert leftovers(tmp_path) == []


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to run as the unprivileged user")
def test_a_file_the_user_cannot_write_is_not_replaced():
    with tempfile.TemporaryDirectory() as directory:
        os.chmod(directory, 0o777)
        program = shutil.copy(executable_file(), os.path.join(directory, "velunda-parse"))
        source, target = os.path.join(directory, "in.csv"), os.path.join(directory, "out.jsonl")
        with open(source, "w") as file:
            file.write(f"{GOOD}\n")
        with open(target, "w") as file:
            file.write("read-only\n")
        os.chmod(source, 0o644)
        os.chmod(target, 0o444)

        def unprivileged():
            os.setgid(65534)
            os.setuid(65534)

        result = subprocess.run(
            [program, source, "-o", target], preexec_fn=unprivileged, capture_output=True, timeout=60
        )
        assert (result.returncode, result.stderr.decode()) == (2, f"velunda-parse: {target}: Permission denied\n")
        with open(target) as file:
            assert file.read() == "read-only\n"
        assert leftovers(directory) == []


def test_a_dangling_symlink_creates_the_file_it_names(tmp_path):
    source = tmp_path / "in.csv"
    source.write_text(f"{GOOD}\n")
    (tmp_path / "sub").mkdir()
    link = tmp_path / "link.jsonl"
    link.symlink_to("sub/new.jsonl")
    result = run(source, "-o", link)
    assert result.returncode == 0, result.stderr
    assert link.is_symlink() and (tmp_path / "sub" / "new.jsonl").read_text() == f"{GOOD_JSON}\n"


# ---- Line ends ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "text",
    [
        f"{GOOD}\r{SHORT}\r",  # CR alone, as classic Mac files end lines
        f"{GOOD}\r\n{SHORT}\r\n",
        f"{GOOD}\r{SHORT}",
        f"{GOOD}\n\r{SHORT}\n",  # a blank line between, ended by a lone CR
    ],
)
def test_every_line_end_of_universal_newlines(text):
    result = run("--errors", "inline", stdin=text.encode())
    line = 3 if "\n\r" in text else 2
    assert result.stdout.decode().splitlines() == [
        GOOD_JSON,
        f'{{"error":"Parsing failed: PostcardError(DeserializeUnexpectedEnd)","line":{line}}}',
    ]


def test_a_crlf_split_between_reads_ends_one_line():
    with subprocess.Popen(
        [command(), "--errors", "inline"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE
    ) as process:
        process.stdin.write(f"{GOOD}\r".encode())
        process.stdin.flush()
        time.sleep(0.3)  # longer than the quiet spell: the CR is read alone
        process.stdin.write(f"\n{SHORT}\n".encode())
        out, _ = process.communicate(timeout=30)
    assert out.decode().splitlines()[1].endswith('"line":2}')


def test_the_cr_of_a_crlf_does_not_count_towards_the_line_limit():
    limit = str(len(GOOD))
    assert run("--max-line-bytes", limit, stdin=f"{GOOD}\r\n".encode()).stdout.decode() == f"{GOOD_JSON}\n"
    too_long = run("--max-line-bytes", limit, stdin=f"{GOOD}x\r\n".encode())
    assert too_long.stderr.decode() == f"<stdin>:1: line longer than {limit} bytes (--max-line-bytes)\n"


# ---- Usage and messages -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "arguments,message",
    [
        (["--schema", "all", "/nonexistent.csv"], "--schema takes no input files, not '/nonexistent.csv'"),
        (["--schema", "all", "--schema", "samples", "13"], "--schema is given once"),
    ],
)
def test_schema_requests_that_say_more_are_usage_errors(arguments, message):
    result = run(*arguments)
    assert result.returncode == 2 and result.stdout == b""
    assert result.stderr.decode().startswith(f"velunda-parse: {message}\n")


HOSTILE = "\x1b]0;pwned\x07\x1b[31m\x7f\u009b"
ESCAPED = "\\x1b]0;pwned\\x07\\x1b[31m\\x7f\\u009b"


def test_control_bytes_of_an_input_reach_standard_error_escaped(tmp_path):
    source = tmp_path / f"in{HOSTILE}.csv"
    source.write_text(f"{HOSTILE},1,AA==\nsamples,{HOSTILE},AA==\n")
    result = run(source, "--payload-version", f"1{HOSTILE}", "--kind", "samples")
    assert result.returncode == 2 and f"'1{ESCAPED}'" in result.stderr.decode()
    result = run(source)
    errors = result.stderr.decode()
    assert not any(ord(c) < 0x20 and c != "\n" or 0x7F <= ord(c) <= 0x9F for c in errors)
    assert errors.splitlines() == [
        f"{str(source).replace(HOSTILE, ESCAPED)}:1: Unknown kind: '{ESCAPED}'. Expected 'calibration', "
        "'diagnostics', or 'samples'.",
        f"{str(source).replace(HOSTILE, ESCAPED)}:2: version is not a number from 0 to 18446744073709551615: "
        f"'{ESCAPED}'",
    ]
    inline = run(source, "--errors", "inline")
    assert "\\u001b]0;pwned\\u0007" in inline.stdout.decode()
