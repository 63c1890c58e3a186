"""parse_many: every row exactly as parse gives it, on any number of threads; the first failing
row's very error, or None in its place; argument errors; big batches."""

import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from support.rows import LAYOUTS, error_fields, outcome, payload_texts
from velunda_model.encoder import b64

SANITIZED = bool(os.environ.get("VELUNDA_SANITIZED"))

CALIBRATION_JSON = '{"Calibration":{"V1":{"water_ph":{"data":[12,-3]},"water_o2":{"data":[]}}}}'


@pytest.mark.parametrize("kind,version", LAYOUTS)
@settings(max_examples=15)
@given(data=st.data(), threads=st.sampled_from([1, 2, 3]))
def test_rows_are_what_parse_gives(parser, kind, version, data, threads):
    texts = data.draw(payload_texts(kind, version))
    expected = [outcome(parser, kind, version, text) for text in texts]
    decoded = parser.parse_many(kind, version, texts, errors="null", threads=threads)
    assert decoded == [row if isinstance(row, str) else None for row in expected]
    failures = [row for row in expected if not isinstance(row, str)]
    if failures:
        with pytest.raises(ValueError) as raised:
            parser.parse_many(kind, version, tuple(texts), threads=threads)
        assert error_fields(raised.value) == failures[0]
        assert raised.value.index == next(i for i, row in enumerate(expected) if not isinstance(row, str))
    else:
        assert parser.parse_many(kind, version, tuple(texts), threads=threads) == decoded


@pytest.mark.parametrize("threads", [1, 2, 8])
def test_the_first_failure_in_row_order_wins_across_work_units(parser, threads):
    texts = [b64(bytes([2, 24, 5, 0]))] * 60_000
    texts[45_000] = "QR=="
    texts[31_234] = "AhgF"  # both fail; the earlier row is reported whichever thread meets it first
    with pytest.raises(ValueError) as raised:
        parser.parse_many("calibration", 1, texts, threads=threads)
    assert (str(raised.value), raised.value.index, raised.value.offset, raised.value.path) == (
        "Parsing failed: PostcardError(DeserializeUnexpectedEnd)",
        31_234,
        3,
        "water_o2.data",
    )
    decoded = parser.parse_many("calibration", 1, texts, errors="null", threads=threads)
    assert [i for i, row in enumerate(decoded) if row is None] == [31_234, 45_000]
    assert decoded[0] == decoded[-1] == CALIBRATION_JSON


def test_large_rows_cross_work_units(parser):
    large = b64(bytes([2, 0x80, 0x80, 0x04]) + bytes(65536) + bytes([0]))
    texts = [large, "AhgFAA==", large]
    decoded = parser.parse_many("calibration", 1, texts, threads=2)
    assert decoded == [parser.parse("calibration", 1, text) for text in texts]


@pytest.mark.parametrize(
    "texts",
    [[], (), iter(["AhgFAA=="]), (t for t in ["AhgFAA==", "AhgFAA=="])],
    ids=["list", "tuple", "iterator", "generator"],
)
def test_any_iterable_of_str(parser, texts):
    expected = [CALIBRATION_JSON] * len(list(texts)) if isinstance(texts, (list, tuple)) else None
    decoded = parser.parse_many("calibration", 1, texts)
    assert decoded == expected if expected is not None else all(row == CALIBRATION_JSON for row in decoded)


def test_str_subclasses_and_non_ascii_text(parser):
    class Text(str):
        pass

    decoded = parser.parse_many("calibration", 1, [Text("AhgFAA=="), "é"], errors="null")
    assert decoded == [CALIBRATION_JSON, None]
    with pytest.raises(ValueError, match=r"InvalidByte\(0, 195\)") as raised:
        parser.parse_many("calibration", 1, [Text("AhgFAA=="), "é"])
    assert raised.value.index == 1


MANY = "BinaryParser.parse_many() "

ARGUMENT_FAILURES = [
    ((), {}, TypeError, MANY + "missing 3 required positional arguments: 'kind', 'version', and 'texts'"),
    (("samples", 1, [], "raise"), {}, TypeError, MANY + "takes 3 positional arguments but 4 were given"),
    (("samples", 1, []), {"error": "null"}, TypeError, MANY + "got an unexpected keyword argument 'error'"),
    (("samples", 1, []), {"texts": []}, TypeError, MANY + "got multiple values for argument 'texts'"),
    ((b"samples", 1, []), {}, TypeError, "argument 'kind': 'bytes' object cannot be converted to 'PyString'"),
    (("samples", 1.0, []), {}, TypeError, "argument 'version': 'float' object cannot be interpreted as an integer"),
    (("samples", -1, []), {}, OverflowError, None),
    (
        ("samples", 1, ["", b""]),
        {},
        TypeError,
        "argument 'texts': element 1: 'bytes' object cannot be converted to 'PyString'",
    ),
    (("samples", 1, "AAAA"), {}, TypeError, "argument 'texts': expected a sequence of str, not 'str'"),
    (("samples", 1, 5), {}, TypeError, "argument 'texts': 'int' object is not iterable"),
    (("samples", 1, []), {"errors": "ignore"}, ValueError, "errors must be 'raise' or 'null', not 'ignore'"),
    (
        ("samples", 1, []),
        {"errors": None},
        TypeError,
        "argument 'errors': 'NoneType' object cannot be converted to 'PyString'",
    ),
    (
        ("samples", 1, []),
        {"threads": 0},
        ValueError,
        "threads must be at least 1, or None for every usable core, not 0",
    ),
    (
        ("samples", 1, []),
        {"threads": -(2**70)},
        ValueError,
        "threads must be at least 1, or None for every usable core, not " + str(-(2**70)),
    ),
    (
        ("samples", 1, []),
        {"threads": "2"},
        TypeError,
        "argument 'threads': 'str' object cannot be interpreted as an integer",
    ),
    (
        ("Samples", 1, ["AAAA"]),
        {},
        ValueError,
        "Unknown kind: 'Samples'. Expected 'calibration', 'diagnostics', or 'samples'.",
    ),
    (
        ("Samples", 1, []),
        {},
        ValueError,
        "Unknown kind: 'Samples'. Expected 'calibration', 'diagnostics', or 'samples'.",
    ),
]


@pytest.mark.parametrize("args,kwargs,kind,message", ARGUMENT_FAILURES)
def test_argument_failures(parser, args, kwargs, kind, message):
    with pytest.raises(kind) as raised:
        parser.parse_many(*args, **kwargs)
    assert type(raised.value) is kind
    if message is not None:
        assert str(raised.value) == message


@pytest.mark.parametrize("index", [0, 3])
def test_lone_surrogates_raise_the_interpreters_error_naming_the_element(parser, index):
    texts = ["AhgFAA=="] * 5
    texts[index] = "AA\ud800"
    with pytest.raises(UnicodeEncodeError) as raised:
        parser.parse_many("calibration", 1, texts)
    assert raised.value.index == index and (raised.value.start, raised.value.end) == (2, 3)
    assert str(raised.value) == (
        f"'utf-8' codec can't encode character '\\ud800' in position 2: argument 'texts': element {index}: "
        "surrogates not allowed"
    )


def test_huge_thread_counts_are_capped(parser):
    assert parser.parse_many("calibration", 1, ["AhgFAA=="] * 3, threads=2**80) == [CALIBRATION_JSON] * 3


def test_the_input_list_may_change_while_decoding(parser):
    import threading

    texts = [b64(bytes([2, 0x80, 0x80, 0x01]) + bytes(16384) + bytes([0])) + "" for _ in range(300)]
    expected = parser.parse("calibration", 1, texts[0])
    stop = threading.Event()

    def mutate():
        while not stop.is_set():
            texts[len(texts) // 2] = "AAAA" * 1000 + "" + str(len(texts))

    mutator = threading.Thread(target=mutate)
    mutator.start()
    try:
        for _ in range(20):
            decoded = parser.parse_many("calibration", 1, texts, errors="null", threads=2)
            assert decoded[0] == decoded[-1] == expected
    finally:
        stop.set()
        mutator.join()


@pytest.mark.skipif(SANITIZED, reason="ten million rows take minutes under the sanitizers")
def test_ten_million_tiny_rows_in_bounded_memory():
    # Diagnostics v4, 113 bytes of JSON a row; the input is one str repeated, so what grows is the
    # results and the decoder's own working memory.
    script = textwrap.dedent("""
        import re, sys
        from velunda_binary_parser import BinaryParser
        def peak():
            with open("/proc/self/status") as status:
                return int(re.search(r"^VmHWM:\\s+(\\d+) kB", status.read(), re.M).group(1)) * 1024
        text = "AAAAAACANkABUgEhmpmZmZmZDUAB"
        parser = BinaryParser()
        one = parser.parse("diagnostics", 4, text)
        texts = [text] * 10_000_000
        before = peak()
        rows = parser.parse_many("diagnostics", 4, texts)
        grown = peak() - before
        results = sys.getsizeof(rows) + len(rows) * sys.getsizeof(one)
        assert len(rows) == 10_000_000 and rows[0] == rows[-1] == one
        print(grown / results)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    # The results, plus the JSON text before it becomes strs and a view of each input row.
    assert float(result.stdout) < 1.9
