"""The strict base64 decoder: accepted texts, and which error a refused text gets."""

import base64
import binascii
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

from velunda_model.encoder import b64

ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"

# (text, decoded bytes or the printed error)
CASES = [
    ("", b""),
    ("QUJD", b"ABC"),
    ("QUI=", b"AB"),
    ("QQ==", b"A"),
    ("AhgFAA==", bytes.fromhex("02180500")),
    ("QUJD\n", "InvalidByte(4, 10)"),
    ("Q\nJD\n", "InvalidByte(4, 10)"),  # the stray last byte is reported first
    ("QUJD RA==", "InvalidByte(4, 32)"),
    ("QQ", "InvalidPadding"),
    ("QUI", "InvalidPadding"),
    ("QQ=", "InvalidPadding"),
    ("QR==", "InvalidLastSymbol(1, 82)"),
    ("QUJ=", "InvalidLastSymbol(2, 74)"),
    ("QQ=A", "InvalidByte(2, 61)"),
    ("QQ==QQ==", "InvalidByte(2, 61)"),  # padding only at the very end
    ("====", "InvalidByte(0, 61)"),
    ("Q===", "InvalidByte(1, 61)"),
    ("QUJD=", "InvalidByte(4, 61)"),
    ("QUJDQ", "InvalidLength(5)"),
    ("A", "InvalidLength(1)"),
    ("QQ=\n", "InvalidByte(3, 10)"),
    ("QQ\n=", "InvalidByte(2, 10)"),
    ("Q-I=", "InvalidByte(1, 45)"),  # no URL-safe alphabet
    ("Q_I=", "InvalidByte(1, 95)"),
    ("QU JDQUJD", "InvalidByte(2, 32)"),
    ("é", "InvalidByte(0, 195)"),  # offsets count bytes, not characters
    ("QUJDé", "InvalidByte(4, 195)"),
    ("QUJDQUé", "InvalidByte(6, 195)"),
]


@pytest.mark.parametrize("text,expected", CASES, ids=[repr(c[0]) for c in CASES])
def test_decoding(probe, text, expected):
    assert probe.base64(text.encode()) == expected


@pytest.mark.parametrize(
    "text,expected",
    [
        ("QUJD\n", "InvalidByte(4, 10)"),
        ("QR==", "InvalidLastSymbol(1, 82)"),
        ("QQ", "InvalidPadding"),
        ("A", "InvalidLength(1)"),
    ],
)
def test_errors_reach_the_caller_in_their_printed_form(parser, text, expected):
    with pytest.raises(ValueError) as raised:
        parser.parse("calibration", 1, text)
    assert str(raised.value) == f"Parsing failed: B64Error({expected})"


@given(st.binary(max_size=200))
def test_canonical_text_decodes_to_its_bytes(probe, data):
    assert probe.base64(b64(data).encode()) == data


def strictly_canonical(text: bytes) -> bool:
    try:
        decoded = binascii.a2b_base64(text, strict_mode=True)
    except binascii.Error:
        return False
    return base64.b64encode(decoded) == text


@pytest.mark.skipif(sys.version_info < (3, 11), reason="binascii's strict_mode, the oracle, came in Python 3.11")
@given(st.text(alphabet=ALPHABET + "=\n -_.é", max_size=24))
def test_exactly_the_canonical_texts_are_accepted(probe, text):
    raw = text.encode()
    result = probe.base64(raw)
    if strictly_canonical(raw):
        assert result == base64.b64decode(raw)
    else:
        assert isinstance(result, str), f"{text!r} was accepted"


@pytest.mark.parametrize("size", [1, 2, 3])
@pytest.mark.parametrize("position", [0, 1, 2, 3])
@pytest.mark.parametrize("byte", [0, 10, 32, 45, 46, 95, 127, 128, 255])
def test_every_non_alphabet_byte_in_the_final_group(probe, size, position, byte):
    text = bytearray(b"QUJD" + b64(b"xyz"[:size]).encode())
    text[4 + position] = byte
    # Every byte before it is a symbol or padding, so the replaced byte is the one reported.
    assert probe.base64(bytes(text)) == f"InvalidByte({4 + position}, {byte})"


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_the_vector_path_decodes_and_fails_as_the_scalar_one(probe, seed):
    # Every length up to 4 KB, valid and with one bad byte, a stray '=' or cut short.
    assert probe.base64_differential(seed, 4096) == 0


@pytest.mark.parametrize("position", [0, 31, 32, 33, 63, 64, 95, 100])
@pytest.mark.parametrize("character", ["\x00", "-", "=", "_", " ", "\x7f", "\u00e9"])
def test_a_bad_byte_inside_a_vector_block_is_reported_at_its_offset(parser, position, character):
    text = b64(bytes(range(96)))  # 128 symbols: several 32-symbol blocks before the final group
    with pytest.raises(ValueError) as raised:
        parser.parse("calibration", 1, text[:position] + character + text[position + 1 :])
    first_byte = character.encode()[0]
    assert str(raised.value) == f"Parsing failed: B64Error(InvalidByte({position}, {first_byte}))"
