"""The records inside samples payloads: IMU, water temperature, pumps, valve, gas barometer,
schedule, the chemistry sensors, the weather station, the light sensor and the current profiler.
Each case shows one field's bytes and JSON; the rest of the payload is the smallest value of every
other field."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

from velunda_model import records
from velunda_model.encoder import b64, f32, i32, i64, option, seq, u16, u64, varint
from velunda_model.model import envelope

END, VARINT, BOOL, OPTION, CUSTOM = (
    "DeserializeUnexpectedEnd",
    "DeserializeBadVarint",
    "DeserializeBadBool",
    "DeserializeBadOption",
    "SerdeDeCustom",
)


def decode_field(parser, version, key, wire: bytes):
    data, _ = records.SAMPLES[version].spliced(**{key: (wire, "")})
    return parser.parse("samples", version, b64(data))


def expected(version, key, text):
    _, body = records.SAMPLES[version].spliced(**{key: (b"", text)})
    return envelope("Samples", version, body)


FIELD_EXAMPLES = [
    # ImuDataVec, inside the accelerometer list of version 3's ImuData
    (3, "imu", "010201000000", '{"acc":[{"x":1,"y":-1,"z":0}],"gyro":[],"mag":[]}'),
    (3, "imu", "01ffff03feff03000000", '{"acc":[{"x":-32768,"y":32767,"z":0}],"gyro":[],"mag":[]}'),
    (4, "imu", "000002000000020202", '{"acc":[],"gyro":[],"mag":[{"x":0,"y":0,"z":0},{"x":1,"y":1,"z":1}]}'),
    # WaterTempData / WTempData
    (4, "water_temp", "01ac02010000ac41", '{"temp_raw":[300],"temp_calib":[21.5]}'),
    (3, "wtemp", "01ac02010000ac41", '{"temp_raw":[300],"temp_calib":[21.5]}'),
    (6, "water_temp", "00040000c07f0000807f000080ff00000080", '{"temp_raw":[],"temp_calib":[null,null,null,-0.0]}'),
    (4, "water_temp", "02ffffffff0f0000", '{"temp_raw":[4294967295,0],"temp_calib":[]}'),
    # PWMPumpState
    (3, "wpump1", "00", '"Off"'),
    (3, "wpump2", "01e807", '{"On":1000}'),
    (5, "water_pump1", "01ffff03", '{"On":65535}'),
    (5, "water_pump2", "0100", '{"On":0}'),
    # GasPumpState
    (3, "apump", "01", '"On"'),
    (4, "gas_pump", "01", '"On"'),
    # GasValveState: one discriminant, two names
    (3, "avalve", "01", '"A"'),
    (3, "avalve", "02", '"B"'),
    (4, "gas_valve", "01", '"Atmosphere"'),
    (5, "gas_valve", "02", '"Ocean"'),
    (6, "gas_valve", "00", '"Unknown"'),
    # GasBaroData
    (4, "gas_baro", "01ea0f020000", '{"humidity":[{"num":1013,"denom":1}],"temperature":[],"pressure":[]}'),
    (
        5,
        "gas_baro",
        "00010100030001ea0f0200",
        '{"humidity":[],"temperature":[{"num":-1,"denom":0}],"pressure":[null,{"num":1013,"denom":1},null]}',
    ),
    # PyroData, versions 5 and 6: at most 11 per list
    (5, "water_ph", "02020301d804", '{"phase_shift":[1,-2],"intensity":[300]}'),
    (6, "water_o2", "0b" + "02" * 11 + "00", '{"phase_shift":[' + ",".join(["1"] * 11) + '],"intensity":[]}'),
    (5, "water_o2", "01ffffffff0f01feffffff0f", '{"phase_shift":[-2147483648],"intensity":[2147483647]}'),
    # TurnerData, version 6
    (6, "water_turbidity", "0200ffff03", '{"value":[0,65535]}'),
    (6, "water_cdom", "0b" + "07" * 11, '{"value":[' + ",".join(["7"] * 11) + "]}"),
    # Version 4's optional lists of f32
    (4, "water_ph", "01010000ac41", "[21.5]"),
    (4, "airmar", "0100", "[]"),
    (4, "light", "00", "null"),
    # Versions 5 and 6: an optional unit's tag 1 reads nothing after it
    (5, "water_turbidity", "01", "null"),
    (6, "airmar", "01", "null"),
    (8, "light", "01", "null"),
    # ScheduleState
    (12, "schedule", "0900", '{"time":-5,"cycle":null}'),
    (
        13,
        "schedule",
        "feffffffffffffffff0101ffffffffffffffffff01",
        '{"time":9223372036854775807,"cycle":18446744073709551615}',
    ),
    # PyroData and TurnerData from version 8 on: no capacity
    (8, "water_ph", "0c" + "02" * 12 + "00", '{"phase_shift":[' + ",".join(["1"] * 12) + '],"intensity":[]}'),
    (10, "water_o2", "000101020201", '{"phase_shift":[],"intensity":[-1],"r":[1,-1]}'),
    (9, "water_chla", "0c" + "07" * 12, '{"value":[' + ",".join(["7"] * 12) + "]}"),
    (11, "water_turner3", "0200ffff03", '{"value":[0,65535]}'),
    # K30, SCD30 and conductivity
    (8, "gas_co2_k30", "020040ce430000c07f", '{"ppm":[412.5,null]}'),
    (13, "gas_co2_scd30", "010000c8430100002042010000ac41", '{"ppm":[400.0],"humidity":[40.0],"temperature":[21.5]}'),
    (10, "water_conductivity", "02cdcccc3d00000080", '{"siemens_per_cm":[0.1,-0.0]}'),
    # AirmarData
    (8, "airmar", "00", '{"sentences":[]}'),
    (
        9,
        "airmar",
        "02010100003e420001090004010000c03f00",
        '{"sentences":[{"GPGGASentence":{"latitude":47.5,"longitude":null,"satellites":9,"horizontal_dop":null}},'
        '{"YXXDRSentence":{"pitch":1.5,"roll":null}}]}',
    ),
    (
        13,
        "airmar",
        "02000200000100000000",
        '{"sentences":["None",{"GPVTGSentenece":{"course_true":null,"course_magnetic":null,"speed":0.0}}]}',
    ),
    (
        10,
        "airmar",
        "010100000000",
        '{"sentences":[{"GPGGASentence":{"latitude":null,"longitude":null,"satellites":null,"horizontal_dop":null}}]}',
    ),
    (
        11,
        "airmar",
        "0201000001ff0081000000010000",  # discriminant 1 as 81 00
        '{"sentences":[{"GPGGASentence":{"latitude":null,"longitude":null,"satellites":255,"horizontal_dop":null}},'
        '{"GPGGASentence":{"latitude":null,"longitude":null,"satellites":0,"horizontal_dop":null}}]}',
    ),
    (
        12,
        "airmar",
        "0103010000ac41010000c07f010000807f01000080ff00000100000080",
        '{"sentences":[{"WIMDASentence":{"barometric_pressure":21.5,"air_temperature":null,"air_rh":null,'
        '"air_ah":null,"wind_direction_true":null,"wind_direction_magnetic":null,"wind_speed":-0.0}}]}',
    ),
    # LightData
    (9, "light", "00", '{"measurement":[]}'),
    (9, "light", "010105ac0207", '{"measurement":[{"saturated":true,"gain":"Gain16","clear_data":300,"par_data":7}]}'),
    (
        13,
        "light",
        "02000affff0300000000ffff03",
        '{"measurement":[{"saturated":false,"gain":"Gain512","clear_data":65535,"par_data":0},'
        '{"saturated":false,"gain":"GainHalf","clear_data":0,"par_data":65535}]}',
    ),
    # AdcpData
    (9, "adcp", "00", '{"series":[]}'),
    (
        10,
        "adcp",
        "01010a000000803f000000000000b442",
        '{"series":[{"Ahrs":{"timestamp":10,"microseconds":0,"roll":1.0,"pitch":0.0,"heading":90.0}}]}',
    ),
    (
        11,
        "adcp",
        "020205060002ffffffff0f00010000c07f",
        '{"series":[{"Altimeter":{"timestamp":5,"microseconds":6,"distance":null}},'
        '{"Altimeter":{"timestamp":4294967295,"microseconds":0,"distance":null}}]}',
    ),
    (
        12,
        "adcp",
        "010001020000003f0000803e0401010203010a0b0c00",
        '{"series":[{"CurrentProfile":{"timestamp":1,"microseconds":2,"cell_size":0.5,"blanking":0.25,'
        '"number_of_cells":4,"velocity":[[-1,1,-2]],"amplitude":[[10,11,12]],"correlation":[]}}]}',
    ),
    # The cell lists need not match number_of_cells or one another.
    (
        13,
        "adcp",
        "020000000000000000000000ffffffffffffffffff0102ffff03feff03000000000001ff00ff010000000000000000000000000000",
        '{"series":[{"CurrentProfile":{"timestamp":0,"microseconds":0,"cell_size":0.0,"blanking":0.0,'
        '"number_of_cells":18446744073709551615,"velocity":[[-32768,32767,0],[0,0,0]],"amplitude":[],'
        '"correlation":[[255,0,255]]}},{"Ahrs":{"timestamp":0,"microseconds":0,"roll":0.0,"pitch":0.0,"heading":0.0}}]}',
    ),
]


@pytest.mark.parametrize("version,key,wire,text", FIELD_EXAMPLES)
def test_field_examples(parser, version, key, wire, text):
    assert decode_field(parser, version, key, bytes.fromhex(wire)) == expected(version, key, text)


FIELD_FAILURES = [
    (3, "imu", "010000", END),  # the third axis is missing
    (3, "imu", "010000808080010000", VARINT),  # i16 over 3 bytes
    (3, "imu", "010000ffff040000", VARINT),  # i16 third byte above 3
    (1, None, "010000", END),
    (3, "wpump1", "02", CUSTOM),
    (3, "wpump1", "ffffffff0f", CUSTOM),
    (3, "wpump1", "ffffffff10", VARINT),  # discriminant over 32 bits
    (3, "wpump1", "01", END),  # On without its setting
    (3, "wpump1", "01ffff04", VARINT),
    (3, "apump", "02", CUSTOM),
    (3, "avalve", "03", CUSTOM),
    (4, "gas_valve", "03", CUSTOM),
    (4, "gas_pump", "02", CUSTOM),
    (4, "water_temp", "01ffffffff1000", VARINT),  # u32 fifth byte above 15
    (4, "water_temp", "00010000ac", END),  # f32 cut short
    (4, "gas_baro", "00000102", OPTION),
    (4, "gas_baro", "0000010102", END),
    (4, "gas_baro", "01ffffffff1f000000", VARINT),
    (4, "water_ph", "02", OPTION),
    (4, "water_ph", "010200000000", END),
    (5, "light", "02", OPTION),
    (6, "adcp", "ff", OPTION),
    # A list of at most 11: the twelfth element is read, then refused; its own error comes first.
    (5, "water_ph", "0c" + "02" * 12 + "00", CUSTOM),
    (6, "water_ph", "000c" + "02" * 11 + "ffffffff1f", VARINT),
    (6, "water_chla", "0c" + "01" * 12, CUSTOM),
    (6, "water_chla", "ffffffffffffffffff01" + "01" * 12, CUSTOM),
    (6, "water_turbidity", "0c" + "01" * 11 + "ffff07", VARINT),
    # Counts far beyond the bytes left end with the input.
    (2, "imu", "ffffffffffffffffff01000000", END),
    (4, "gas_baro", "0000ffffffffffffffffff010000", END),
    (5, "water_o2", "0080808080808080808002", VARINT),  # count over 64 bits
    # Version 8 on
    (8, "adcp", "02", OPTION),
    (13, "water_pump2_feedback", "01", END),
    (12, "schedule", "0002", OPTION),
    (10, "water_ph", "000001ffffffff1f", VARINT),
    # AirmarData
    (9, "airmar", "0105", CUSTOM),
    (9, "airmar", "01ffffffff10", VARINT),
    (10, "airmar", "010102", OPTION),
    (11, "airmar", "010400ff", OPTION),
    (12, "airmar", "0104010000c0", END),  # tag 1 and only 3 bytes
    (13, "airmar", "0101000001", END),  # satellites tag 1 and no byte
    (13, "airmar", "0200", END),  # the second sentence is missing
    # LightData
    (9, "light", "0102000000", BOOL),
    (10, "light", "01000b0000", CUSTOM),
    (11, "light", "0100ffffffff10", VARINT),
    (12, "light", "010000ffff0400", VARINT),
    (13, "light", "01000000808080", VARINT),
    (13, "light", "030000000000000000", END),
    # AdcpData
    (9, "adcp", "0103", CUSTOM),
    (10, "adcp", "0102000002", OPTION),
    (11, "adcp", "0102000001000000", END),
    (12, "adcp", "0101ffffffff10", VARINT),  # timestamp over 32 bits
    (13, "adcp", "01000000000000000000000080808080808080808080", VARINT),
    (13, "adcp", "010000000000000000000000000100ffff04", VARINT),
    (13, "adcp", "0100000000000000000000000000010a0b", END),
    (9, "adcp", "010100000000803f00000000", END),  # heading missing
]


@pytest.mark.parametrize("version,key,wire,error", FIELD_FAILURES)
def test_field_failures(parser, version, key, wire, error):
    # The payload ends with the field, so each error comes from the field's own bytes.
    lead = b"" if key is None else records.SAMPLES[version].lead_to(key)
    with pytest.raises(ValueError) as raised:
        parser.parse("samples", version, b64(lead + bytes.fromhex(wire)))
    assert str(raised.value) == f"Parsing failed: PostcardError({error})"


# ---- Records on their own, through the codec probe ---------------------------------------------

PROBE_RECORDS = {
    "ScheduleState": records.SCHEDULE_STATE,
    "PyroData.v5_v6": records.PYRO_DATA_V5_V6,
    "PyroData.v8_v9": records.PYRO_DATA_V8_V9,
    "PyroData.v10_to_v13": records.PYRO_DATA_V10_V13,
    "TurnerData.v6": records.TURNER_DATA_V6,
    "TurnerData.v8_to_v13": records.TURNER_DATA,
    "K30Data": records.K30_DATA,
    "Scd30Data": records.SCD30_DATA,
    "WaterConductivityData": records.WATER_CONDUCTIVITY_DATA,
}


@pytest.mark.parametrize(
    "schema,wire,result",
    [
        (
            "PyroData.v10_to_v13",
            seq([1, -2], i32) + seq([300], i32) + b"\0",
            '{"phase_shift":[1,-2],"intensity":[300],"r":[]}',
        ),
        ("PyroData.v8_v9", seq([1, -2], i32) + seq([300], i32), '{"phase_shift":[1,-2],"intensity":[300]}'),
        ("TurnerData.v8_to_v13", bytes.fromhex("0200ffff03"), '{"value":[0,65535]}'),
        ("TurnerData.v8_to_v13", seq(range(12), u16), '{"value":[' + ",".join(map(str, range(12))) + "]}"),
        (
            "PyroData.v8_v9",
            seq(range(12), i32) + b"\0",
            '{"phase_shift":[' + ",".join(map(str, range(12))) + '],"intensity":[]}',
        ),
        ("K30Data", seq([412.5, float("nan")], f32), '{"ppm":[412.5,null]}'),
        ("Scd30Data", bytes.fromhex("000000"), '{"ppm":[],"humidity":[],"temperature":[]}'),
        ("WaterConductivityData", seq([0.1, -0.0], f32), '{"siemens_per_cm":[0.1,-0.0]}'),
        ("ScheduleState", i64(-5) + b"\0", '{"time":-5,"cycle":null}'),
        (
            "ScheduleState",
            i64(2**63 - 1) + option(2**64 - 1, u64),
            '{"time":9223372036854775807,"cycle":18446744073709551615}',
        ),
        ("ScheduleState", i64(-(2**63)) + option(0, u64), '{"time":-9223372036854775808,"cycle":0}'),
        ("TurnerData.v6", seq(range(12), u16), "SerdeDeCustom"),
        ("TurnerData.v6", varint(12) + seq(range(11), u16)[1:], "DeserializeUnexpectedEnd"),
        (
            "PyroData.v5_v6",
            seq(range(11), i32) + seq(range(11), i32),
            '{"phase_shift":['
            + ",".join(map(str, range(11)))
            + '],"intensity":['
            + ",".join(map(str, range(11)))
            + "]}",
        ),
        ("PyroData.v5_v6", varint(12) + seq(range(11), i32)[1:], "DeserializeUnexpectedEnd"),
        ("ScheduleState", i64(1) + b"\x02", "DeserializeBadOption"),
        ("ScheduleState", bytes.fromhex("ffffffffffffffffff02"), "DeserializeBadVarint"),
        ("K30Data", varint(1000) + f32(1.0), "DeserializeUnexpectedEnd"),
    ],
)
def test_probe_examples(probe, schema, wire, result):
    ok, text, _ = probe.transcode(schema, wire)
    assert text == result and ok == result.startswith("{")


@pytest.mark.parametrize("schema", sorted(PROBE_RECORDS))
@given(data=st.data())
def test_probe_records_match_model(probe, schema, data):
    record = PROBE_RECORDS[schema]
    value = data.draw(record.strategy())
    wire = record.encode(value)
    assert probe.transcode(schema, wire + b"\xff") == (True, record.json(value), len(wire))


def test_r_is_the_only_difference_between_the_pyro_forms(probe):
    ps, it, r = [7, -1, 2**31 - 1], [0], [5, 5]
    wire = seq(ps, i32) + seq(it, i32)
    _, old, _ = probe.transcode("PyroData.v8_v9", wire)
    _, new, _ = probe.transcode("PyroData.v10_to_v13", wire + seq(r, i32))
    assert new == old[:-1] + ',"r":[5,5]}'
