"""Diagnostics payloads, versions 2 to 4."""

import pytest

from velunda_model.encoder import b64, boolean, f64, i32, option, u16
from velunda_model.model import envelope

V4_EXAMPLE = bytes.fromhex("00000000008035400105000000000000000e4001")


def parse(parser, version, data: bytes) -> str:
    return parser.parse("diagnostics", version, b64(data))


@pytest.mark.parametrize(
    "version,data,body",
    [
        (
            2,
            bytes.fromhex("ac0200015af41c"),
            '{"temperature":300,"humidity_ph":null,"humidity_o2":45,"battery_voltage":3700}',
        ),
        (4, V4_EXAMPLE, '{"temperature":21.5,"humidity_ph":-3,"humidity_o2":null,"battery_voltage":3.75,"reset":true}'),
        (3, V4_EXAMPLE[:-1], '{"temperature":21.5,"humidity_ph":-3,"humidity_o2":null,"battery_voltage":3.75}'),
        (
            3,
            V4_EXAMPLE,  # the reset byte is trailing in version 3
            '{"temperature":21.5,"humidity_ph":-3,"humidity_o2":null,"battery_voltage":3.75}',
        ),
        (
            2,
            u16(65535) + option(-(2**31), i32) + option(2**31 - 1, i32) + u16(0),
            '{"temperature":65535,"humidity_ph":-2147483648,"humidity_o2":2147483647,"battery_voltage":0}',
        ),
        (
            3,
            f64(float("nan")) + b"\0\0" + f64(float("-inf")),
            '{"temperature":null,"humidity_ph":null,"humidity_o2":null,"battery_voltage":null}',
        ),
        (
            4,
            f64(3.0) + b"\0\0" + f64(-0.0) + boolean(False),
            '{"temperature":3.0,"humidity_ph":null,"humidity_o2":null,"battery_voltage":-0.0,"reset":false}',
        ),
    ],
)
def test_examples(parser, version, data, body):
    assert parse(parser, version, data) == envelope("Diagnostics", version, body)


@pytest.mark.parametrize(
    "version,data,error",
    [
        (2, b"", "DeserializeUnexpectedEnd"),
        (3, b"", "DeserializeUnexpectedEnd"),
        (4, b"", "DeserializeUnexpectedEnd"),
        (4, V4_EXAMPLE[:-1], "DeserializeUnexpectedEnd"),  # reset missing
        (3, V4_EXAMPLE[:7], "DeserializeUnexpectedEnd"),  # f64 cut short
        (2, bytes.fromhex("ac020001"), "DeserializeUnexpectedEnd"),  # humidity tag, no value
        (2, bytes.fromhex("ffff04000000"), "DeserializeBadVarint"),  # u16 above 65535
        (2, bytes.fromhex("80808000000000"), "DeserializeBadVarint"),  # u16 over 3 bytes
        (2, bytes.fromhex("0001ffffffff100000"), "DeserializeBadVarint"),  # i32 overflow
        (2, bytes.fromhex("00020000"), "DeserializeBadOption"),
        (3, f64(1.0) + bytes.fromhex("00ff") + f64(1.0), "DeserializeBadOption"),
        (4, V4_EXAMPLE[:-1] + b"\x02", "DeserializeBadBool"),
    ],
)
def test_failures(parser, version, data, error):
    with pytest.raises(ValueError) as raised:
        parse(parser, version, data)
    assert str(raised.value) == f"Parsing failed: PostcardError({error})"


@pytest.mark.parametrize("version", [0, 1, 5, 6, 2**64 - 1])
def test_other_versions_are_refused_even_for_valid_bytes(parser, version):
    with pytest.raises(ValueError, match=rf"^Parsing failed: ProtocolVersionNotSupported\({version}\)$"):
        parse(parser, version, V4_EXAMPLE)
