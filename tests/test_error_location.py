"""Where a payload failed: every decoding error is a plain ValueError with its usual message and
the attributes kind, version, offset and path."""

import pytest

from velunda_model import encoder as enc
from velunda_model.encoder import b64
from velunda_model.records import SAMPLES

V5, V13 = SAMPLES[5], SAMPLES[13]


def lead(layout, key: str, *inner: bytes) -> bytes:
    """The smallest bytes of every field before `key`, then `inner`."""
    return layout.lead_to(key) + b"".join(inner)


ELEVEN_I32 = enc.varint(12) + enc.i32(-1) * 11
CURRENT_PROFILE = enc.u32(0) + enc.u32(7) + enc.u32(250) + enc.f32(0.5) + enc.f32(0.25) + enc.u64(2)


class FromEnd(int):
    """An offset counted back from the end of the payload."""


# (name, kind, version, payload, error, offset, path)
WIRE_ERRORS = [
    (
        "top-level field",
        "diagnostics",
        4,
        enc.f64(21.5) + b"\x00\x00" + enc.f64(3.7) + b"\x02",
        "DeserializeBadBool",
        18,
        "reset",
    ),
    ("unknown variant", "samples", 13, enc.u32(3), "SerdeDeCustom", 0, "water_pump1"),
    ("non-minimal unknown variant", "samples", 13, lead(V13, "gas_pump", b"\x82\x00"), "SerdeDeCustom", 4, "gas_pump"),
    (
        "inside a record",
        "samples",
        13,
        lead(V13, "schedule", enc.i64(-5), b"\x02"),
        "DeserializeBadOption",
        len(V13.lead_to("schedule")) + 1,
        "schedule.cycle",
    ),
    ("list count", "samples", 13, lead(V13, "imu", b"\xff" * 10), "DeserializeBadVarint", 6, "imu.acc"),
    (
        "inside a list element",
        "calibration",
        1,
        enc.varint(3) + enc.i32(1) + enc.i32(2) + b"\xff\xff\xff\xff\x7f",
        "DeserializeBadVarint",
        3,
        "water_ph.data[2]",
    ),
    (
        "record in a list element",
        "samples",
        1,
        enc.varint(2) + enc.i16(1) * 3 + enc.i16(4) + b"\x80\x80\x04",
        "DeserializeBadVarint",
        5,
        "acc[1].y",
    ),
    ("inside a variant", "samples", 13, enc.u32(1) + b"\xff\xff\x04", "DeserializeBadVarint", 1, "water_pump1.On"),
    (
        "inside an optional",
        "samples",
        13,
        lead(V13, "water_pump1_feedback", b"\x01\x80"),
        "DeserializeUnexpectedEnd",
        3,
        "water_pump1_feedback",
    ),
    (
        "bounded list, element 12 past capacity",
        "samples",
        5,
        lead(V5, "water_ph", ELEVEN_I32, enc.i32(7)),
        "SerdeDeCustom",
        len(V5.lead_to("water_ph")) + 12,
        "water_ph.phase_shift[11]",
    ),
    (
        "bounded list, element 12 itself bad",
        "samples",
        5,
        lead(V5, "water_ph", ELEVEN_I32, b"\xff\xff\xff\xff\xff"),
        "DeserializeBadVarint",
        len(V5.lead_to("water_ph")) + 12,
        "water_ph.phase_shift[11]",
    ),
    (
        "truncated array element",
        "samples",
        13,
        lead(V13, "adcp", enc.varint(1), CURRENT_PROFILE, enc.varint(2), enc.i16(1) * 3, enc.i16(-300) * 2),
        "DeserializeUnexpectedEnd",
        FromEnd(0),
        "adcp.series[0].CurrentProfile.velocity[1][2]",
    ),
    (
        "truncated byte array",
        "samples",
        13,
        lead(V13, "adcp", enc.varint(1), CURRENT_PROFILE, enc.varint(1), enc.i16(1) * 3, enc.varint(2), b"\x01" * 4),
        "DeserializeUnexpectedEnd",
        FromEnd(0),
        "adcp.series[0].CurrentProfile.amplitude[1][1]",
    ),
    (
        "variant in a list",
        "samples",
        13,
        lead(V13, "adcp", enc.varint(2), enc.u32(2), enc.u32(1), enc.u32(2), b"\x00", enc.u32(3)),
        "SerdeDeCustom",
        FromEnd(1),
        "adcp.series[1]",
    ),
    (
        "optional in a variant in a list",
        "samples",
        13,
        lead(V13, "airmar", enc.varint(1), enc.u32(1), b"\x00\x00\x01"),
        "DeserializeUnexpectedEnd",
        FromEnd(0),
        "airmar.sentences[0].GPGGASentence.satellites",
    ),
    (
        "bad option tag in a variant",
        "samples",
        13,
        lead(V13, "airmar", enc.varint(1), enc.u32(4), b"\x00\x05"),
        "DeserializeBadOption",
        FromEnd(1),
        "airmar.sentences[0].YXXDRSentence.roll",
    ),
    (
        "truncated float",
        "samples",
        13,
        lead(V13, "gas_co2_k30", enc.varint(2), enc.f32(415.5), b"\x00\x00"),
        "DeserializeUnexpectedEnd",
        FromEnd(2),
        "gas_co2_k30.ppm[1]",
    ),
]


def fail(parser, kind, version, text):
    with pytest.raises(ValueError) as raised:
        parser.parse(kind, version, text)
    assert type(raised.value) is ValueError
    return raised.value


@pytest.mark.parametrize(
    "name,kind,version,payload,error,offset,path", WIRE_ERRORS, ids=[row[0] for row in WIRE_ERRORS]
)
def test_wire_errors_tell_offset_and_path(parser, name, kind, version, payload, error, offset, path):
    if isinstance(offset, FromEnd):
        offset = len(payload) - offset
    raised = fail(parser, kind, version, b64(payload))
    assert str(raised) == f"Parsing failed: PostcardError({error})"
    assert raised.args == (str(raised),)
    assert (raised.kind, raised.version, raised.offset, raised.path) == (kind, version, offset, path)


@pytest.mark.parametrize(
    "kind,version,text,message,offset",
    [
        ("samples", 13, "AAA*", "B64Error(InvalidByte(3, 42))", 3),
        ("calibration", 1, "QUJDRA", "B64Error(InvalidPadding)", 4),
        ("calibration", 1, "QUJDR", "B64Error(InvalidLength(5))", 5),
        ("diagnostics", 2, "QR==", "B64Error(InvalidLastSymbol(1, 82))", 1),
        ("samples", 7, "AAAA", "ProtocolVersionNotSupported(7)", None),
        ("diagnostics", 2**64 - 1, "", "ProtocolVersionNotSupported(18446744073709551615)", None),
    ],
)
def test_text_and_version_errors_have_no_path(parser, kind, version, text, message, offset):
    raised = fail(parser, kind, version, text)
    assert str(raised) == f"Parsing failed: {message}"
    assert (raised.kind, raised.version, raised.offset, raised.path) == (kind, version, offset, None)


def test_unknown_kind_carries_the_call(parser):
    raised = fail(parser, "Samples", True, "AAAA")
    assert str(raised).startswith("Unknown kind: 'Samples'.")
    assert (raised.kind, raised.version, raised.offset, raised.path) == ("Samples", 1, None, None)


def test_the_readme_example(parser):
    # A v13 sample whose one ADCP series, an altimeter reading, ends after its timestamp.
    raised = fail(parser, "samples", 13, "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAABAgOA")
    assert (raised.offset, raised.path) == (32, "adcp.series[0].Altimeter.microseconds")
