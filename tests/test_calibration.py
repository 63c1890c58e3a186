"""Calibration payloads, version 1: two lists of i32 calibration values."""

import subprocess
import sys
import textwrap

import pytest
from hypothesis import given
from hypothesis import strategies as st

from velunda_model.encoder import b64, i32, seq, varint


def calibration_json(ph, o2):
    def pyro(values):
        return '{"data":[' + ",".join(map(str, values)) + "]}"

    return '{"Calibration":{"V1":{"water_ph":' + pyro(ph) + ',"water_o2":' + pyro(o2) + "}}}"


def payload(ph, o2):
    return seq(ph, i32) + seq(o2, i32)


@pytest.mark.parametrize(
    "text,ph,o2",
    [
        ("AhgFAA==", [12, -3], []),
        ("AAA=", [], []),
        ("AhgFAKo=", [12, -3], []),  # a trailing byte is ignored
        (b64(payload([-(2**31), 2**31 - 1], [0])), [-(2**31), 2**31 - 1], [0]),
    ],
)
def test_examples(parser, text, ph, o2):
    assert parser.parse("calibration", 1, text) == calibration_json(ph, o2)


@pytest.mark.parametrize(
    "data,error",
    [
        (b"", "DeserializeUnexpectedEnd"),
        (bytes.fromhex("0118"), "DeserializeUnexpectedEnd"),  # no water_o2 count
        (bytes.fromhex("0180"), "DeserializeUnexpectedEnd"),  # value varint cut off
        (bytes.fromhex("030204"), "DeserializeUnexpectedEnd"),  # count above the values present
        (bytes.fromhex("01ffffffff1f00"), "DeserializeBadVarint"),
        (bytes.fromhex("01ffffffffffff00"), "DeserializeBadVarint"),
        (bytes.fromhex("ff" * 9 + "0200"), "DeserializeBadVarint"),
        (bytes.fromhex("80" * 10), "DeserializeBadVarint"),
        (varint(2**64 - 1) + bytes.fromhex("020406"), "DeserializeUnexpectedEnd"),
        (bytes.fromhex("00") + varint(2**64 - 1) + bytes.fromhex("02"), "DeserializeUnexpectedEnd"),
    ],
)
def test_failures(parser, data, error):
    with pytest.raises(ValueError) as raised:
        parser.parse("calibration", 1, b64(data))
    assert str(raised.value) == f"Parsing failed: PostcardError({error})"


def test_unsupported_version_with_empty_text(parser):
    with pytest.raises(ValueError, match=r"^Parsing failed: ProtocolVersionNotSupported\(2\)$"):
        parser.parse("calibration", 2, "")


i32s = st.lists(st.integers(-(2**31), 2**31 - 1), max_size=40)


@given(i32s, i32s, st.binary(max_size=8))
def test_random_payloads(parser, ph, o2, trailing):
    assert parser.parse("calibration", 1, b64(payload(ph, o2) + trailing)) == calibration_json(ph, o2)


@given(i32s, i32s, st.data())
def test_every_truncation_fails_at_the_end(parser, ph, o2, data):
    whole = payload(ph, o2)
    cut = data.draw(st.integers(0, len(whole) - 1))
    with pytest.raises(ValueError, match=r"^Parsing failed: PostcardError\(DeserializeUnexpectedEnd\)$"):
        parser.parse("calibration", 1, b64(whole[:cut]))


def test_huge_count_costs_no_memory():
    # Measured in a fresh process: a count of 2^64 - 1 over three bytes must not reserve anything.
    script = textwrap.dedent("""
        import base64, resource
        from velunda_binary_parser import BinaryParser
        parser = BinaryParser()
        text = base64.b64encode(bytes.fromhex("ffffffffffffffffff01" "020406")).decode()
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for _ in range(1000):
            try:
                parser.parse("calibration", 1, text)
            except ValueError as error:
                message = str(error)
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        print(message, grown)
    """)
    output = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout.split()
    assert output[0:2] == ["Parsing", "failed:"] and output[2] == "PostcardError(DeserializeUnexpectedEnd)"
    assert int(output[3]) < 2048  # KiB


def test_large_payload(parser):
    values = list(range(-150_000, 150_000))
    assert parser.parse("calibration", 1, b64(payload(values, values[:7]))) == calibration_json(values, values[:7])
