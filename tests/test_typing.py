"""The installed package's type stub: mypy and pyright accept correct use and refuse a wrong call."""

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
    rows: list[str] = parser.parse_many("samples", 13, ["AAAA"], threads=2)
    maybe: list[str | None] = parser.parse_many("samples", 13, ("AAAA",), errors="null")


    class Column:
        def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]:
            return (None, None)

    class Chunks:
        def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
            return None

    decoded = parser.parse_arrow("samples", 13, Column())
    count: int = len(decoded)
    capsules: tuple[object, object] = decoded.__arrow_c_array__()
    stream: object = parser.parse_arrow("samples", 13, Chunks(), threads=None).__arrow_c_stream__()
""")
WRONG = textwrap.dedent("""
    from velunda_binary_parser import BinaryParser

    BinaryParser().parse(1, "x", b"")
    rows: list[str] = BinaryParser().parse_many("samples", 13, ["AAAA"], errors="null")
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
