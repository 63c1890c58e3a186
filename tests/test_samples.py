"""Samples payloads, versions 1 to 6: dispatch and whole layouts."""

import pytest

from support.encoder import b64
from support.model import envelope

EMPTY_IMU = '{"acc":[],"gyro":[],"mag":[]}'
EMPTY_WTEMP = '{"temp_raw":[],"temp_calib":[]}'
EMPTY_BARO = '{"humidity":[],"temperature":[],"pressure":[]}'
V4_HEAD = ('{"water_pump1":"Off","water_pump2":"Off","gas_pump":"Off","gas_valve":"Unknown","imu":' + EMPTY_IMU
           + ',"water_temp":' + EMPTY_WTEMP)
V4_TAIL = ',"gas_baro":' + EMPTY_BARO + ',"light":null,"adcp":null,"airmar":null}'
EMPTY_PYRO = '{"phase_shift":[],"intensity":[]}'
EMPTY_TURNER = '{"value":[]}'
V5_MIDDLE = (',"water_ph":' + EMPTY_PYRO + ',"water_o2":' + EMPTY_PYRO + ',"water_turbidity":null,"water_chla":null'
             ',"water_cdom":null,"water_conductivity":null,"gas_co2_k30":null,"gas_co2_scd30":null')

# The smallest payload of each version: every count zero, every enum its first variant.
SMALLEST = {
    1: (3, EMPTY_IMU),
    2: (2, '{"imu":[],"wtemp":[]}'),
    3: (9, '{"wpump1":"Off","wpump2":"Off","apump":"Off","avalve":"Unknown","imu":' + EMPTY_IMU
        + ',"wtemp":' + EMPTY_WTEMP + "}"),
    4: (23, V4_HEAD + ',"water_ph":null,"water_o2":null,"water_turbidity":null,"water_chla":null,"water_cdom":null'
        ',"water_conductivity":null,"gas_co2_k30":null,"gas_co2_scd30":null' + V4_TAIL),
    5: (25, V4_HEAD + V5_MIDDLE + V4_TAIL),
    6: (25, V4_HEAD + V5_MIDDLE.replace('"water_turbidity":null,"water_chla":null,"water_cdom":null',
                                        f'"water_turbidity":{EMPTY_TURNER},"water_chla":{EMPTY_TURNER},'
                                        f'"water_cdom":{EMPTY_TURNER}') + V4_TAIL),
}


def parse(parser, version, data: bytes) -> str:
    return parser.parse("samples", version, b64(data))


def wire_error(parser, version, data: bytes) -> str:
    with pytest.raises(ValueError) as raised:
        parse(parser, version, data)
    message = str(raised.value)
    assert message.startswith("Parsing failed: PostcardError(") and message.endswith(")")
    return message[len("Parsing failed: PostcardError("):-1]


@pytest.mark.parametrize("version", sorted(SMALLEST))
def test_smallest_payload(parser, version):
    size, body = SMALLEST[version]
    assert parse(parser, version, bytes(size)) == envelope("Samples", version, body)
    assert parse(parser, version, bytes(size) + b"\xff\xff\x07") == envelope("Samples", version, body)
    assert wire_error(parser, version, bytes(size - 1)) == "DeserializeUnexpectedEnd"
    assert wire_error(parser, version, b"") == "DeserializeUnexpectedEnd"


def test_worked_examples(parser):
    assert parse(parser, 1, bytes.fromhex("010201000000")) == envelope(
        "Samples", 1, '{"acc":[{"x":1,"y":-1,"z":0}],"gyro":[],"mag":[]}')
    assert parse(parser, 2, bytes.fromhex("0000ffff")) == envelope("Samples", 2, '{"imu":[],"wtemp":[]}')


def test_version_2_holds_lists_of_records(parser):
    imu = bytes.fromhex("01" "020100" "00" "01" "040404")
    wtemp = bytes.fromhex("01ac02" "01" "0000ac41")
    data = bytes.fromhex("02") + imu + bytes(3) + bytes.fromhex("02") + wtemp + bytes(2)
    assert parse(parser, 2, data) == envelope("Samples", 2, (
        '{"imu":[{"acc":[{"x":1,"y":-1,"z":0}],"gyro":[],"mag":[{"x":2,"y":2,"z":2}]},' + EMPTY_IMU + "],"
        '"wtemp":[{"temp_raw":[300],"temp_calib":[21.5]},' + EMPTY_WTEMP + "]}"))


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


@pytest.mark.parametrize("version", [0, 7, 14, 15, 2**32, 2**63, 2**64 - 1])
def test_unknown_versions(parser, version):
    for data in (b"", bytes(25), bytes.fromhex("010201000000")):
        with pytest.raises(ValueError, match=rf"^Parsing failed: ProtocolVersionNotSupported\({version}\)$"):
            parse(parser, version, data)


@pytest.mark.parametrize("version", [7, 1, 4])
def test_bad_base64_wins_over_everything_after_it(parser, version):
    with pytest.raises(ValueError, match=r"^Parsing failed: B64Error\(InvalidByte\(2, 61\)\)$"):
        parser.parse("samples", version, "AA=A")
