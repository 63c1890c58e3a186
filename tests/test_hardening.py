"""Hostile and heavy use: counts far beyond the input, huge payloads, pathological base64,
leaks and reference counts over many calls, and concurrent callers."""

import base64
import os
import random
import subprocess
import sys
import textwrap
import threading

import pytest

from velunda_model.encoder import b64, varint
from velunda_model.model import envelope
from velunda_model.records import FAMILIES, SAMPLES

SANITIZED = bool(os.environ.get("VELUNDA_SANITIZED"))
measures_memory = pytest.mark.skipif(SANITIZED, reason="the sanitizer runtime owns the process's memory")

HOSTILE_COUNTS = [2**64 - 1, 2**32]


def count_sites():
    for kind, (_, layouts) in FAMILIES.items():
        for version, layout in layouts.items():
            for path, lead in layout.count_sites():
                yield kind, version, path, lead


SITES = list(count_sites())


def hostile_payload(lead: bytes, count: int) -> bytes:
    # Zero bytes are a valid start of every element type, so the list reads on until the input ends.
    return lead + varint(count) + bytes(5)


def test_every_layout_with_lists_is_covered():
    covered = {(kind, version) for kind, version, _, _ in SITES}
    assert covered == {
        (kind, version) for kind, (_, layouts) in FAMILIES.items() for version in layouts if kind != "diagnostics"
    }  # diagnostics hold no lists


@pytest.mark.parametrize("count", HOSTILE_COUNTS)
@pytest.mark.parametrize("kind,version,path,lead", SITES, ids=[f"{k}{v}{p}" for k, v, p, _ in SITES])
def test_a_huge_count_ends_with_the_input(parser, kind, version, path, lead, count):
    with pytest.raises(ValueError) as raised:
        parser.parse(kind, version, b64(hostile_payload(lead, count)))
    assert str(raised.value) == "Parsing failed: PostcardError(DeserializeUnexpectedEnd)"


# Run in a fresh interpreter; peak_growth() gives the MiB the process's peak resident memory rose
# since the last call to reset_peak().
MEASURING_PRELUDE = textwrap.dedent("""
    import re
    def resident(field):
        with open("/proc/self/status") as status:
            return int(re.search(rf"^{field}:\\s+(\\d+) kB", status.read(), re.M).group(1)) / 1024
    def reset_peak():
        global baseline
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")
        baseline = resident("VmRSS")
    def peak_growth():
        return resident("VmHWM") - baseline
""")


def run_measured(script: str) -> list[str]:
    result = subprocess.run(
        [sys.executable, "-c", MEASURING_PRELUDE + textwrap.dedent(script)], capture_output=True, text=True, check=True
    )
    return result.stdout.split()


@measures_memory
def test_huge_counts_cost_no_memory():
    texts = [
        (kind, version, b64(hostile_payload(lead, count)))
        for kind, version, _, lead in SITES
        for count in HOSTILE_COUNTS
    ]
    growth = run_measured(f"""
        from velunda_binary_parser import BinaryParser
        parse = BinaryParser().parse
        texts = {texts!r}
        reset_peak()
        for _ in range(50):
            for kind, version, text in texts:
                try:
                    parse(kind, version, text)
                except ValueError:
                    pass
        print(peak_growth())
    """)
    assert float(growth[0]) < 4


@measures_memory
def test_a_64_mib_payload_needs_no_more_than_its_bytes_and_its_result():
    # A calibration list of 64 Mi one-byte values; the text is built without a decoded copy.
    output = run_measured("""
        import base64
        from velunda_binary_parser import BinaryParser
        groups = (64 * 2**20) // 3
        count = 4 + 3 * groups
        count_varint = bytes([0x80 | count & 0x7F, 0x80 | count >> 7 & 0x7F, 0x80 | count >> 14 & 0x7F, count >> 21])
        text = base64.b64encode(count_varint + b"\\x02\\x02").decode() + "AgIC" * groups + "AgIA"
        parser = BinaryParser()
        reset_peak()
        result = parser.parse("calibration", 1, text)
        expected_start = '{"Calibration":{"V1":{"water_ph":{"data":[1,1,'
        print(peak_growth(), count / 2**20, len(result) / 2**20, result.startswith(expected_start))
    """)
    growth, payload, result, correct = float(output[0]), float(output[1]), float(output[2]), output[3]
    assert correct == "True"
    assert growth <= payload + result + 8, f"peak grew {growth:.0f} MiB for {payload:.0f} + {result:.0f} MiB"


def test_a_current_profile_of_100000_cells(parser):
    cells = 100_000
    rng = random.Random(13)
    profile = (
        0,
        (
            7,
            250_000,
            0x3F000000,
            0x3E800000,
            cells,
            [[rng.randint(-32768, 32767) for _ in range(3)] for _ in range(cells)],
            [[rng.randrange(256) for _ in range(3)] for _ in range(cells)],
            [[rng.randrange(256) for _ in range(3)] for _ in range(cells)],
        ),
    )
    altimeter = (2, (8, 0, 0x41AC0000))
    layout = SAMPLES[13]
    value = list(layout.smallest())
    value[layout.keys.index("adcp")] = ([profile, altimeter],)
    data = layout.encode(value)
    assert len(data) > 1_000_000
    assert parser.parse("samples", 13, b64(data)) == envelope("Samples", 13, layout.json(value))


# A light measurement takes 4 bytes and about 64 characters of JSON, so the text outgrows the
# room first reserved for it: 50 stay within the stack buffer of short texts, 150 move to the
# heap and grow again there, 1000 start on the heap.
@pytest.mark.parametrize("measurements", [50, 150, 1000])
def test_text_that_outgrows_its_first_room(parser, measurements):
    layout = SAMPLES[13]
    value = list(layout.smallest())
    value[layout.keys.index("light")] = ([(True, (n % 11, None), n, 65535 - n) for n in range(measurements)],)
    data = layout.encode(value)
    assert parser.parse("samples", 13, b64(data)) == envelope("Samples", 13, layout.json(value))


MEBIBYTES_OF_WHITESPACE = [
    (" " * 2**22, "InvalidByte(0, 32)"),
    ("\n" * (2**22 + 1), f"InvalidByte({2**22}, 10)"),
    ("QUJD" * 2**20 + "\r\n" * 2**20, f"InvalidByte({2**22}, 13)"),
    ("QUJD" * 2**20 + " " * (2**20 + 1), f"InvalidByte({2**22 + 2**20}, 32)"),
    ("QUJD" * 2**20 + "=" * 2**20, f"InvalidByte({2**22}, 61)"),
    ("QUJD" * 2**20 + "QQ", "InvalidPadding"),
    ("QUJD" * 2**20 + "Q", f"InvalidLength({2**22 + 1})"),
]


@pytest.mark.parametrize("text,error", MEBIBYTES_OF_WHITESPACE, ids=range(len(MEBIBYTES_OF_WHITESPACE)))
def test_mebibytes_of_bad_base64(parser, text, error):
    with pytest.raises(ValueError) as raised:
        parser.parse("samples", 1, text)
    assert str(raised.value) == f"Parsing failed: B64Error({error})"


NOT_BASE64 = [byte for byte in range(256) if not (chr(byte).isascii() and (chr(byte).isalnum() or chr(byte) in "+/="))]


@pytest.mark.parametrize("group", ["QUJD", "QUI=", "QQ=="])
@pytest.mark.parametrize("position", [0, 1, 2, 3])
def test_every_foreign_byte_anywhere_in_the_final_group(probe, group, position):
    prefix = b"QUJD" * 2**18
    for byte in NOT_BASE64:
        text = bytearray(prefix + group.encode())
        text[len(prefix) + position] = byte
        assert probe.base64(bytes(text)) == f"InvalidByte({len(prefix) + position}, {byte})"


def test_a_stray_last_byte_is_reported_before_anything_else(probe):
    prefix = b" " * (2**20)  # bad from the first byte, yet the stray last byte wins
    for byte in NOT_BASE64:
        assert probe.base64(prefix + b"QUJD" + bytes([byte])) == f"InvalidByte({2**20 + 4}, {byte})"


@measures_memory
def test_no_leaks_over_many_calls_of_every_outcome():
    output = run_measured("""
        import gc, sys, tracemalloc
        from velunda_binary_parser import BinaryParser

        class Index:
            def __index__(self):
                return 2

        parser = BinaryParser()
        calls = [
            (("calibration", 1, "AhgFAA=="), None),
            (("samples", 1, "AQIBAAAA"), None),
            (("diagnostics", Index(), "rAIAAVr0HA=="), None),
            (("samples", 2, "AAA" + "A" * 33333), None),                  # a result grown in place
            (("Samples", 1, ""), ValueError),                                # unknown kind
            (("samples", 7, ""), ValueError),                                # unsupported version
            (("samples", 1, "QQ"), ValueError),                              # base64
            (("samples", 1, ""), ValueError),                                # wire error
            (("samples", 2, "/" * 40000), ValueError),                       # wire error, in place
            (("samples", 1.5, ""), TypeError),
            (("samples", 1, b""), TypeError),
            ((b"samples", 1, ""), TypeError),
            (("samples",), TypeError),
            (("samples", -1, ""), OverflowError),
            (("samples", 2**64, ""), OverflowError),
            (("sam\\ud800", 1, ""), UnicodeEncodeError),
            (("samples", 1, "\\udfff"), UnicodeEncodeError),
        ]
        arguments = [argument for call, _ in calls for argument in call]
        refcounts = [sys.getrefcount(argument) for argument in arguments]

        def round_of_calls():
            for call, expected in calls:
                try:
                    result = parser.parse(*call)
                    assert expected is None and sys.getrefcount(result) == 2, call
                except Exception as error:
                    assert type(error) is expected, (call, error)

        for _ in range(2000):
            round_of_calls()
        gc.collect()
        tracemalloc.start()
        reset_peak()
        traced_before = tracemalloc.get_traced_memory()[0]
        for _ in range(15000):
            round_of_calls()
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
        tracemalloc.stop()
        print(peak_growth(), traced_growth, refcounts == [sys.getrefcount(argument) for argument in arguments],
              len(calls) * 15000)
    """)
    rss_growth, traced_growth, refcounts_kept, calls = float(output[0]), int(output[1]), output[2], int(output[3])
    assert calls >= 250_000
    assert refcounts_kept == "True"
    assert traced_growth < 64 * 1024, f"Python objects grew by {traced_growth} bytes"
    assert rss_growth < 4, f"resident memory grew by {rss_growth:.1f} MiB"


def test_concurrent_callers_get_the_single_threaded_results(parser):
    texts = [
        ("calibration", 1, "AhgFAA=="),
        ("samples", 1, "AQIBAAAA"),
        ("diagnostics", 2, "rAIAAVr0HA=="),
        ("samples", 6, b64(bytes(25))),
        ("samples", 2, b64(bytes.fromhex("0101020100000000"))),
        ("samples", 2, base64.b64encode(varint(3000) + bytes(3 * 3000) + b"\x00").decode()),
        ("samples", 7, ""),
        ("samples", 1, "QQ"),
        ("samples", 3, b64(bytes(8))),
    ]

    def outcome(call):
        try:
            return parser.parse(*call)
        except ValueError as error:
            return f"error: {error}"

    expected = [outcome(call) for call in texts]
    mismatches, barrier = [], threading.Barrier(8)

    def worker(offset):
        barrier.wait()
        for round_number in range(300):
            index = (offset + round_number) % len(texts)
            if outcome(texts[index]) != expected[index]:
                mismatches.append((offset, index))

    threads = [threading.Thread(target=worker, args=(offset,)) for offset in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert mismatches == []
