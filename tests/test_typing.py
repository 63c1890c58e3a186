"""The installed package's type stub: mypy and pyright accept correct use and refuse a wrong call."""

import shutil
import subprocess
import sys
import textwrap

import pytest

CORRECT = textwrap.dedent("""
    from velunda_binary_parser import BinaryParser, __all__

    parser = BinaryParser()
    text: str = parser.parse("samples", 13, "AAAA")
    text = parser.parse(kind="calibration", version=1, b64_data="AhgFAA==")
    try:
        parser.parse("samples", 7, "")
    except ValueError as error:
        print(error)
    names: list[str] = __all__
""")
WRONG = textwrap.dedent("""
    from velunda_binary_parser import BinaryParser

    BinaryParser().parse(1, "x", b"")
""")

CHECKERS = {
    "mypy": [sys.executable, "-m", "mypy", "--strict", "--no-incremental"],
    "pyright": [sys.executable, "-m", "pyright"],
}


@pytest.mark.parametrize("checker", CHECKERS)
@pytest.mark.parametrize("source,accepted", [(CORRECT, True), (WRONG, False)], ids=["correct", "wrong"])
def test_type_checkers_read_the_stub(tmp_path, checker, source, accepted):
    usage = tmp_path / "usage.py"
    usage.write_text(source)
    result = subprocess.run([*CHECKERS[checker], str(usage)], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    report = result.stdout + result.stderr
    assert (result.returncode == 0) == accepted, report
    if not accepted:
        for parameter in ("kind", "version", "b64_data") if checker == "pyright" else ("1", "2", "3"):
            assert parameter in report
