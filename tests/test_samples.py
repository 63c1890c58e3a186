"""Samples payloads: dispatch and whole layouts of every version."""

import pytest

from velunda_model.encoder import b64
from velunda_model.model import envelope
from velunda_model.records import unsupported_versions

EMPTY_IMU = '{"acc":[],"gyro":[],"mag":[]}'
EMPTY_WTEMP = '{"temp_raw":[],"temp_calib":[]}'
EMPTY_BARO = '{"humidity":[],"temperature":[],"pressure":[]}'
V4_HEAD = (
    '{"water_pump1":"Off","water_pump2":"Off","gas_pump":"Off","gas_valve":"Unknown","imu":'
    + EMPTY_IMU
    + ',"water_temp":'
    + EMPTY_WTEMP
)
V4_TAIL = ',"gas_baro":' + EMPTY_BARO + ',"light":null,"adcp":null,"airmar":null}'
EMPTY_PYRO = '{"phase_shift":[],"intensity":[]}'
EMPTY_TURNER = '{"value":[]}'
V5_MIDDLE = (
    ',"water_ph":' + EMPTY_PYRO + ',"water_o2":' + EMPTY_PYRO + ',"water_turbidity":null,"water_chla":null'
    ',"water_cdom":null,"water_conductivity":null,"gas_co2_k30":null,"gas_co2_scd30":null'
)
V8 = (
    '{"water_pump1":"Off","water_pump2":"Off","gas_pump":"Off","gas_valve":"Unknown","imu":{"acc":[],"gyro":[],'
    '"mag":[]},"water_temp":{"temp_raw":[],"temp_calib":[]},"water_ph":{"phase_shift":[],"intensity":[]},'
    '"water_o2":{"phase_shift":[],"intensity":[]},"water_turbidity":{"value":[]},"water_chla":{"value":[]},'
    '"water_cdom":{"value":[]},"water_conductivity":{"siemens_per_cm":[]},"gas_co2_k30":{"ppm":[]},'
    '"gas_co2_scd30":{"ppm":[],"humidity":[],"temperature":[]},"gas_baro":{"humidity":[],"temperature":[],'
    '"pressure":[]},"light":null,"adcp":null,"airmar":{"sentences":[]}}'
)
V9 = V8.replace('"light":null,"adcp":null', '"light":{"measurement":[]},"adcp":{"series":[]}')
V10 = V9.replace('"intensity":[]}', '"intensity":[],"r":[]}')
V11 = (
    V10.replace('"water_turbidity"', '"water_turner1"')
    .replace('"water_chla"', '"water_turner2"')
    .replace('"water_cdom"', '"water_turner3"')
)
V12 = V11[:-1] + ',"schedule":{"time":0,"cycle":null}}'
V13 = (
    '{"water_pump1":"Off","water_pump2":"Off","water_pump1_feedback":null,"water_pump2_feedback":null,'
    '"gas_pump":"Off","gas_valve":"Unknown","imu":{"acc":[],"gyro":[],"mag":[]},"water_temp":{"temp_raw":[],'
    '"temp_calib":[]},"water_ph":{"phase_shift":[],"intensity":[],"r":[]},"water_o2":{"phase_shift":[],'
    '"intensity":[],"r":[]},"water_turner1":{"value":[]},"water_turner2":{"value":[]},"water_turner3":'
    '{"value":[]},"water_conductivity":{"siemens_per_cm":[]},"gas_co2_k30":{"ppm":[]},"gas_co2_scd30":{"ppm":[],'
    '"humidity":[],"temperature":[]},"gas_baro":{"humidity":[],"temperature":[],"pressure":[]},"light":'
    '{"measurement":[]},"adcp":{"series":[]},"airmar":{"sentences":[]},"schedule":{"time":0,"cycle":null}}'
)

# The smallest payload of each version: every count zero, every enum its first variant.
SMALLEST = {
    1: (3, EMPTY_IMU),
    2: (2, '{"imu":[],"wtemp":[]}'),
    3: (
        9,
        '{"wpump1":"Off","wpump2":"Off","apump":"Off","avalve":"Unknown","imu":'
        + EMPTY_IMU
        + ',"wtemp":'
        + EMPTY_WTEMP
        + "}",
    ),
    4: (
        23,
        V4_HEAD + ',"water_ph":null,"water_o2":null,"water_turbidity":null,"water_chla":null,"water_cdom":null'
        ',"water_conductivity":null,"gas_co2_k30":null,"gas_co2_scd30":null' + V4_TAIL,
    ),
    5: (25, V4_HEAD + V5_MIDDLE + V4_TAIL),
    6: (
        25,
        V4_HEAD
        + V5_MIDDLE.replace(
            '"water_turbidity":null,"water_chla":null,"water_cdom":null',
            f'"water_turbidity":{EMPTY_TURNER},"water_chla":{EMPTY_TURNER},"water_cdom":{EMPTY_TURNER}',
        )
        + V4_TAIL,
    ),
    8: (27, V8),
    9: (27, V9),
    10: (29, V10),
    11: (29, V11),
    12: (31, V12),
    13: (33, V13),
}


def parse(parser, version, data: bytes) -> str:
    return parser.parse("samples", version, b64(data))


def wire_error(parser, version, data: bytes) -> str:
    with pytest.raises(ValueError) as raised:
        parse(parser, version, data)
    message = str(raised.value)
    assert message.startswith("Parsing failed: PostcardError(") and message.endswith(")")
    return message[len("Parsing failed: PostcardError(") : -1]


@pytest.mark.parametrize("version", sorted(SMALLEST))
def test_smallest_payload(parser, version):
    size, body = SMALLEST[version]
    assert parse(parser, version, bytes(size)) == envelope("Samples", version, body)
    assert parse(parser, version, bytes(size) + b"\xff\xff\x07") == envelope("Samples", version, body)
    assert wire_error(parser, version, bytes(size - 1)) == "DeserializeUnexpectedEnd"
    assert wire_error(parser, version, b"") == "DeserializeUnexpectedEnd"


def test_worked_examples(parser):
    assert parse(parser, 1, bytes.fromhex("010201000000")) == envelope(
        "Samples", 1, '{"acc":[{"x":1,"y":-1,"z":0}],"gyro":[],"mag":[]}'
    )
    assert parse(parser, 2, bytes.fromhex("0000ffff")) == envelope("Samples", 2, '{"imu":[],"wtemp":[]}')


def test_version_2_holds_lists_of_records(parser):
    imu = bytes.fromhex("010201000001040404")
    wtemp = bytes.fromhex("01ac02010000ac41")
    data = bytes.fromhex("02") + imu + bytes(3) + bytes.fromhex("02") + wtemp + bytes(2)
    assert parse(parser, 2, data) == envelope(
        "Samples",
        2,
        (
            '{"imu":[{"acc":[{"x":1,"y":-1,"z":0}],"gyro":[],"mag":[{"x":2,"y":2,"z":2}]},' + EMPTY_IMU + "],"
            '"wtemp":[{"temp_raw":[300],"temp_calib":[21.5]},' + EMPTY_WTEMP + "]}"
        ),
    )


def test_version_4_empty_list_differs_from_absent(parser):
    absent = parse(parser, 4, bytes(23))
    empty = parse(parser, 4, bytes(9) + b"\x01\x00" + bytes(13))
    assert empty == absent.replace('"water_ph":null', '"water_ph":[]', 1)


def test_the_same_bytes_under_versions_5_and_6(parser):
    # Byte 13 is water_turbidity: an optional unit in version 5, a Turner list count in version 6.
    data = bytes(13) + b"\x01" + bytes(11)
    assert parse(parser, 5, data) == parse(parser, 5, bytes(25))
    assert wire_error(parser, 6, data) == "DeserializeUnexpectedEnd"
    assert '"water_turbidity":{"value":[0]}' in parse(parser, 6, data + b"\x00")
    assert wire_error(parser, 5, bytes(13) + b"\x02" + bytes(11)) == "DeserializeBadOption"


# Neighbouring versions read the same bytes differently: (bytes, version, result or error).
SAME_BYTES = [
    # The tags of version 8's optional units read nothing after them; in 9 they are counts.
    (bytes(24) + b"\x01\x01" + bytes(1), 8, V8),
    (bytes(24) + b"\x01\x01" + bytes(1), 9, "DeserializeUnexpectedEnd"),
    (bytes(24) + b"\x02" + bytes(2), 8, "DeserializeBadOption"),
    (bytes(25) + b"\x02" + bytes(1), 8, "DeserializeBadOption"),
    # A complete version 9 payload lacks the two `r` lists of version 10.
    (bytes(27), 10, "DeserializeUnexpectedEnd"),
    # The two bytes after the pumps: feedback in version 13, the gas pump and valve in 12.
    (
        bytes(2) + b"\x01\x02" + bytes(30),
        12,
        V12.replace('"gas_pump":"Off","gas_valve":"Unknown"', '"gas_pump":"On","gas_valve":"Ocean"'),
    ),
    (bytes(2) + b"\x01\x02" + bytes(30), 13, V13.replace('"water_pump1_feedback":null', '"water_pump1_feedback":2')),
    (bytes(2) + b"\x02\x02" + bytes(30), 12, "SerdeDeCustom"),
    (bytes(2) + b"\x02\x02" + bytes(30), 13, "DeserializeBadOption"),
    (bytes(29), 12, "DeserializeUnexpectedEnd"),
]


@pytest.mark.parametrize("data,version,result", SAME_BYTES)
def test_the_same_bytes_under_neighbouring_versions(parser, data, version, result):
    if result.startswith("{"):
        assert parse(parser, version, data) == envelope("Samples", version, result)
    else:
        assert wire_error(parser, version, data) == result


@pytest.mark.parametrize(
    "feedback,result",
    [
        ("01ffff0300", '"water_pump1_feedback":65535,"water_pump2_feedback":null'),
        ("0180800000", '"water_pump1_feedback":0,"water_pump2_feedback":null'),
        ("010001ac02", '"water_pump1_feedback":0,"water_pump2_feedback":300'),
        ("01ffff0400", "DeserializeBadVarint"),
        ("0002", "DeserializeBadOption"),
    ],
)
def test_version_13_pump_feedback(parser, feedback, result):
    data = bytes(2) + bytes.fromhex(feedback) + bytes(29)
    if result.startswith('"'):
        assert parse(parser, 13, data) == envelope(
            "Samples", 13, V13.replace('"water_pump1_feedback":null,"water_pump2_feedback":null', result)
        )
    else:
        assert wire_error(parser, 13, data) == result


@pytest.mark.parametrize("version", unsupported_versions("samples"))
def test_unknown_versions(parser, version):
    for data in (b"", bytes(25), bytes.fromhex("010201000000")):
        with pytest.raises(ValueError, match=rf"^Parsing failed: ProtocolVersionNotSupported\({version}\)$"):
            parse(parser, version, data)


@pytest.mark.parametrize("version", [7, 1, 4])
def test_bad_base64_wins_over_everything_after_it(parser, version):
    with pytest.raises(ValueError, match=r"^Parsing failed: B64Error\(InvalidByte\(2, 61\)\)$"):
        parser.parse("samples", version, "AA=A")
