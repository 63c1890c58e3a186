"""The velunda-parse command: its output is, line for line, what parse returns."""

import json
import os
import pathlib
import resource
import shutil
import subprocess
import sysconfig
import tempfile

import pytest

from velunda_model.encoder import b64
from velunda_model.records import SAMPLES

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples" / "failures.csv"
HEADER = "kind,version,b64_data"


def command() -> str:
    # VELUNDA_CLI points at another build (the sanitizer run's); by default, the installed one.
    found = (
        os.environ.get("VELUNDA_CLI")
        or shutil.which("velunda-parse")
        or os.path.join(sysconfig.get_path("scripts"), "velunda-parse")
    )
    assert os.path.exists(found), "velunda-parse is installed with the package"
    return found


def run(*arguments, stdin: bytes = b""):
    return subprocess.run([command(), *map(str, arguments)], input=stdin, capture_output=True, timeout=120)


def expected_lines(parser, lines, inline_errors=False, kind=None, version=None):
    """What the command must print for these input lines, from parse itself."""
    out, errors = [], []
    for number, line in enumerate(lines, start=1):
        if not line or (number == 1 and line == HEADER and kind is None):
            continue
        line_kind, line_version, text = (kind, version, line) if kind else line.split(",", 2)
        try:
            out.append(parser.parse(line_kind, int(line_version), text))
        except ValueError as error:
            errors.append((number, str(error), error.offset, error.path))
            if inline_errors:
                out.append(json.dumps({"error": str(error), "line": number}, separators=(",", ":")))
    return out, errors


def output_lines(result):
    return result.stdout.decode().splitlines()


@pytest.fixture(scope="module")
def example_lines():
    return EXAMPLES.read_text().splitlines()


def test_the_examples_convert_line_for_line(parser, example_lines):
    result = run(EXAMPLES)
    out, errors = expected_lines(parser, example_lines)
    assert errors, "the examples include failing lines"
    assert output_lines(result) == out
    assert result.returncode == 1
    # Each failure on standard error: file, line, the exact message, then where it failed.
    reported = result.stderr.decode().splitlines()
    assert len(reported) == len(errors)
    for line, (number, message, offset, path) in zip(reported, errors, strict=True):
        where = "" if offset is None else f" (at byte {offset}" + (f", {path}" if path else "") + ")"
        assert line == f"{EXAMPLES}:{number}: {message}{where}"


def test_inline_errors_keep_output_aligned_with_input(parser, example_lines):
    result = run("--errors", "inline", EXAMPLES)
    out, _ = expected_lines(parser, example_lines, inline_errors=True)
    assert output_lines(result) == out
    assert len(out) == len([line for line in example_lines[1:] if line])
    assert result.stderr == b"" and result.returncode == 1


@pytest.mark.parametrize("arguments", [[], ["-"]], ids=["no file", "dash"])
def test_standard_input(parser, example_lines, arguments):
    result = run(*arguments, stdin=EXAMPLES.read_bytes())
    assert output_lines(result) == expected_lines(parser, example_lines)[0]
    assert result.stderr.decode().startswith("<stdin>:")


def test_crlf_line_ends_blank_lines_and_no_final_newline(parser, example_lines):
    text = "\r\n".join(example_lines[:5]) + "\r\n\r\n\n" + "\r\n".join(example_lines[5:])
    result = run(stdin=text.encode())
    assert output_lines(result) == expected_lines(parser, example_lines)[0]
    # Line numbers count the blank lines too.
    first_failure = result.stderr.decode().splitlines()[0]
    number = expected_lines(parser, example_lines)[1][0][0]
    assert first_failure.startswith(f"<stdin>:{number + 2 if number > 5 else number}: ")


def test_kind_and_version_options_take_bare_base64(parser):
    lines = [b64(SAMPLES[1].encode(([(1, -1, 0)], [], []))), "AQ==", "", "AAAA"]
    result = run("--kind", "samples", "--version", "1", "--errors", "inline", stdin="\n".join(lines).encode())
    assert output_lines(result) == expected_lines(parser, lines, True, "samples", 1)[0]
    assert result.returncode == 1


def test_a_header_is_skipped_only_as_the_first_line(parser):
    line = "calibration,1,AhgFAA=="
    result = run("--errors", "inline", stdin=f"{HEADER}\n{line}\n{HEADER}\n".encode())
    assert output_lines(result) == [
        parser.parse("calibration", 1, "AhgFAA=="),
        '{"error":"version is not a number from 0 to 18446744073709551615: \'version\'","line":3}',
    ]


@pytest.mark.parametrize(
    "line,message",
    [
        ("samples,13", "expected kind,version,base64"),
        ("samples,-1,AAAA", "version is not a number from 0 to 18446744073709551615: '-1'"),
        (
            "samples,18446744073709551616,AAAA",
            "version is not a number from 0 to 18446744073709551615: '18446744073709551616'",
        ),
        ('Sam"ples,1,AAAA', "Unknown kind: 'Sam\"ples'. Expected 'calibration', 'diagnostics', or 'samples'."),
    ],
)
def test_lines_that_are_not_payload_rows(line, message):
    result = run("--errors", "inline", stdin=line.encode())
    assert json.loads(result.stdout) == {"error": message, "line": 1}
    assert result.returncode == 1


def test_every_line_decoded_exits_zero_and_output_goes_to_a_file(tmp_path, parser):
    target = tmp_path / "out.jsonl"
    result = run("-o", target, stdin=b"calibration,1,AhgFAA==\n")
    assert result.returncode == 0 and result.stdout == b"" and result.stderr == b""
    assert target.read_text() == parser.parse("calibration", 1, "AhgFAA==") + "\n"


def test_several_files_in_order(parser, tmp_path):
    first, second = tmp_path / "a.csv", tmp_path / "b.csv"
    first.write_text(f"{HEADER}\ncalibration,1,AhgFAA==\n")
    second.write_text(f"{HEADER}\nsamples,1,AQIBAAAA\n")
    result = run(first, second)
    assert output_lines(result) == [parser.parse("calibration", 1, "AhgFAA=="), parser.parse("samples", 1, "AQIBAAAA")]


@pytest.mark.parametrize(
    "arguments,message",
    [
        (["--bogus"], "unknown option --bogus"),
        (["--kind", "samples"], "--kind and --payload-version go together"),
        (["-j", "0"], "--jobs needs a number from 1 to 256, not '0'"),
        (["--errors", "loud"], "--errors is stderr or inline, not 'loud'"),
        (["--output"], "option --output needs a value"),
        (["no-such-file.csv"], "no-such-file.csv: No such file or directory"),
    ],
)
def test_bad_usage_and_unreadable_files_exit_two(arguments, message):
    result = run(*arguments, stdin=b"calibration,1,AhgFAA==\n")
    assert result.returncode == 2 and result.stdout == b""
    assert result.stderr.decode().startswith(f"velunda-parse: {message}\n")


def test_help_and_version():
    help_result, version_result = run("--help"), run("--version")
    assert help_result.returncode == 0 and help_result.stdout.startswith(b"usage: velunda-parse")
    assert version_result.returncode == 0 and version_result.stdout.startswith(b"velunda-parse 0.")


def test_worker_threads_keep_input_order_across_many_batches(parser):
    # About 7 MB in lines of different lengths and outcomes, several batches per worker.
    profile = SAMPLES[13]
    lines = []
    for n in range(2400):
        value = list(profile.smallest())
        value[profile.keys.index("gas_co2_k30")] = ([0x3F800000 + n] * (n % 300),)
        text = b64(profile.encode(value))
        lines.append(f"samples,13,{text if n % 97 else text[:-8]}")
    stdin = "\n".join(lines).encode()
    out, _ = expected_lines(parser, lines, inline_errors=True)
    for jobs in (["-j", "1"], ["-j2"], ["--jobs=5"]):
        result = run(*jobs, "--errors", "inline", stdin=stdin)
        assert output_lines(result) == out, jobs


def executable_file() -> str:
    """The command's own file: a launcher script (pyenv's shims) would not run as another user."""
    found = command()
    with open(found, "rb") as file:
        if file.read(4) == b"\x7fELF":
            return found
    return os.path.join(sysconfig.get_path("scripts"), "velunda-parse")


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to run as the unprivileged user")
def test_threads_that_cannot_start_mean_fewer_threads(example_lines):
    # As an unprivileged user limited to six tasks, -j 8 gets fewer threads than it asks for.
    with tempfile.TemporaryDirectory() as directory:
        os.chmod(directory, 0o755)
        program = shutil.copy(executable_file(), os.path.join(directory, "velunda-parse"))
        source = os.path.join(directory, "in.csv")
        payloads = [line for line in example_lines[1:] if line]
        with open(source, "w") as file:
            file.write("\n".join(payloads * 5000) + "\n")
        os.chmod(source, 0o644)

        def unprivileged_with_six_tasks():
            os.setgid(65534)
            os.setuid(65534)
            resource.setrlimit(resource.RLIMIT_NPROC, (6, 6))

        limited = subprocess.run(
            [program, "-j", "8", source], preexec_fn=unprivileged_with_six_tasks, capture_output=True, timeout=120
        )
        alone = subprocess.run([program, "-j", "1", source], capture_output=True, timeout=120)
    assert limited.returncode == alone.returncode == 1, limited.stderr[-300:]
    assert limited.stdout == alone.stdout and limited.stderr == alone.stderr


def test_a_line_longer_than_a_read_block(parser):
    value = list(SAMPLES[13].smallest())
    value[SAMPLES[13].keys.index("gas_co2_k30")] = ([0x3F800000] * 700_000,)
    text = b64(SAMPLES[13].encode(value))
    assert len(text) > 3 * 2**20
    result = run("--kind", "samples", "--version", "13", stdin=f"{text}\n{text}".encode())
    assert output_lines(result) == [parser.parse("samples", 13, text)] * 2
