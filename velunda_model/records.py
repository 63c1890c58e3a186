"""The payload layouts as the tests know them, written from the record tables with the
layout model (velunda_model.model), so that random payloads and their expected JSON come from the
tests alone."""

from velunda_model.model import (
    BOOL,
    F32,
    F64,
    I16,
    I32,
    I64,
    OPTIONAL_UNIT,
    U8,
    U16,
    U32,
    U64,
    ArrayOf,
    ListOf,
    Optional_,
    Struct,
    Variants,
    units,
)

# ---- Calibration -------------------------------------------------------------------------------

PYRO_CALIB_DATA = Struct(("data", ListOf(I32)))
CALIBRATION = {1: Struct(("water_ph", PYRO_CALIB_DATA), ("water_o2", PYRO_CALIB_DATA))}

# ---- Diagnostics --------------------------------------------------------------------------------

DIAGNOSTICS = {
    2: Struct(
        ("temperature", U16), ("humidity_ph", Optional_(I32)), ("humidity_o2", Optional_(I32)), ("battery_voltage", U16)
    ),
    3: Struct(
        ("temperature", F64), ("humidity_ph", Optional_(I32)), ("humidity_o2", Optional_(I32)), ("battery_voltage", F64)
    ),
    4: Struct(
        ("temperature", F64),
        ("humidity_ph", Optional_(I32)),
        ("humidity_o2", Optional_(I32)),
        ("battery_voltage", F64),
        ("reset", BOOL),
    ),
}

# ---- Core sample records ------------------------------------------------------------------------

IMU_DATA_VEC = Struct(("x", I16), ("y", I16), ("z", I16))
IMU_DATA = Struct(("acc", ListOf(IMU_DATA_VEC)), ("gyro", ListOf(IMU_DATA_VEC)), ("mag", ListOf(IMU_DATA_VEC)))
WATER_TEMP_DATA = Struct(("temp_raw", ListOf(U32)), ("temp_calib", ListOf(F32)))
PWM_PUMP_STATE = Variants(("Off", None), ("On", U16))
GAS_PUMP_STATE = units("Off", "On")
GAS_VALVE_STATE_V3 = units("Unknown", "A", "B")
GAS_VALVE_STATE = units("Unknown", "Atmosphere", "Ocean")
GAS_BARO_VALUE = Struct(("num", I32), ("denom", I32))
GAS_BARO_DATA = Struct(
    ("humidity", ListOf(GAS_BARO_VALUE)),
    ("temperature", ListOf(GAS_BARO_VALUE)),
    ("pressure", ListOf(Optional_(GAS_BARO_VALUE))),
)
SCHEDULE_STATE = Struct(("time", I64), ("cycle", Optional_(U64)))

# ---- Chemistry records --------------------------------------------------------------------------

CAPACITY_V5_V6 = 11
PYRO_DATA_V5_V6 = Struct(("phase_shift", ListOf(I32, CAPACITY_V5_V6)), ("intensity", ListOf(I32, CAPACITY_V5_V6)))
PYRO_DATA_V8_V9 = Struct(("phase_shift", ListOf(I32)), ("intensity", ListOf(I32)))
PYRO_DATA_V10_V13 = Struct(("phase_shift", ListOf(I32)), ("intensity", ListOf(I32)), ("r", ListOf(I32)))
TURNER_DATA_V6 = Struct(("value", ListOf(U16, CAPACITY_V5_V6)))
TURNER_DATA = Struct(("value", ListOf(U16)))
K30_DATA = Struct(("ppm", ListOf(F32)))
SCD30_DATA = Struct(("ppm", ListOf(F32)), ("humidity", ListOf(F32)), ("temperature", ListOf(F32)))
WATER_CONDUCTIVITY_DATA = Struct(("siemens_per_cm", ListOf(F32)))

# ---- Weather station -------------------------------------------------------------------------

OPTIONAL_F32 = Optional_(F32)
AIRMAR_SENTENCE_DATA = Variants(
    ("None", None),
    (
        "GPGGASentence",
        Struct(
            ("latitude", OPTIONAL_F32),
            ("longitude", OPTIONAL_F32),
            ("satellites", Optional_(U8)),
            ("horizontal_dop", OPTIONAL_F32),
        ),
    ),
    (
        "GPVTGSentenece",
        Struct(("course_true", OPTIONAL_F32), ("course_magnetic", OPTIONAL_F32), ("speed", OPTIONAL_F32)),
    ),
    (
        "WIMDASentence",
        Struct(
            ("barometric_pressure", OPTIONAL_F32),
            ("air_temperature", OPTIONAL_F32),
            ("air_rh", OPTIONAL_F32),
            ("air_ah", OPTIONAL_F32),
            ("wind_direction_true", OPTIONAL_F32),
            ("wind_direction_magnetic", OPTIONAL_F32),
            ("wind_speed", OPTIONAL_F32),
        ),
    ),
    ("YXXDRSentence", Struct(("pitch", OPTIONAL_F32), ("roll", OPTIONAL_F32))),
)
AIRMAR_DATA = Struct(("sentences", ListOf(AIRMAR_SENTENCE_DATA)))

# ---- Light sensor ------------------------------------------------------------------------------

LIGHT_GAIN = units("GainHalf", *(f"Gain{1 << n}" for n in range(10)))
LIGHT_MEASUREMENT = Struct(("saturated", BOOL), ("gain", LIGHT_GAIN), ("clear_data", U16), ("par_data", U16))
LIGHT_DATA = Struct(("measurement", ListOf(LIGHT_MEASUREMENT)))

# ---- Current profiler ---------------------------------------------------------------------------

ADCP_DATA_SERIES = Variants(
    (
        "CurrentProfile",
        Struct(
            ("timestamp", U32),
            ("microseconds", U32),
            ("cell_size", F32),
            ("blanking", F32),
            ("number_of_cells", U64),
            ("velocity", ListOf(ArrayOf(I16, 3))),
            ("amplitude", ListOf(ArrayOf(U8, 3))),
            ("correlation", ListOf(ArrayOf(U8, 3))),
        ),
    ),
    ("Ahrs", Struct(("timestamp", U32), ("microseconds", U32), ("roll", F32), ("pitch", F32), ("heading", F32))),
    ("Altimeter", Struct(("timestamp", U32), ("microseconds", U32), ("distance", OPTIONAL_F32))),
)
ADCP_DATA = Struct(("series", ListOf(ADCP_DATA_SERIES)))

# ---- Samples layouts ----------------------------------------------------------------------------


def _since_v4(version, pyro, turner, slots, light, adcp):
    """The fields of version 4 and later: 11 keyed the fluorometers by position, 12 appended the
    schedule, 13 inserted the pump feedback after the pumps. `slots` fills the conductivity, the
    two CO2 and the weather-station rows."""
    conductivity, k30, scd30, airmar = slots
    turner_keys = (
        ("water_turner1", "water_turner2", "water_turner3")
        if version >= 11
        else ("water_turbidity", "water_chla", "water_cdom")
    )
    feedback = [("water_pump1_feedback", Optional_(U16)), ("water_pump2_feedback", Optional_(U16))]
    return Struct(
        ("water_pump1", PWM_PUMP_STATE),
        ("water_pump2", PWM_PUMP_STATE),
        *(feedback if version >= 13 else []),
        ("gas_pump", GAS_PUMP_STATE),
        ("gas_valve", GAS_VALVE_STATE),
        ("imu", IMU_DATA),
        ("water_temp", WATER_TEMP_DATA),
        ("water_ph", pyro),
        ("water_o2", pyro),
        *((key, turner) for key in turner_keys),
        ("water_conductivity", conductivity),
        ("gas_co2_k30", k30),
        ("gas_co2_scd30", scd30),
        ("gas_baro", GAS_BARO_DATA),
        ("light", light),
        ("adcp", adcp),
        ("airmar", airmar),
        *([("schedule", SCHEDULE_STATE)] if version >= 12 else []),
    )


OPTIONAL_F32_LIST = Optional_(ListOf(F32))
FILLED_SLOTS = (WATER_CONDUCTIVITY_DATA, K30_DATA, SCD30_DATA, AIRMAR_DATA)
# The forms of version 10 on, after the fields themselves.
NEWEST_FORMS = (PYRO_DATA_V10_V13, TURNER_DATA, FILLED_SLOTS, LIGHT_DATA, ADCP_DATA)

SAMPLES = {
    1: IMU_DATA,
    2: Struct(("imu", ListOf(IMU_DATA)), ("wtemp", ListOf(WATER_TEMP_DATA))),
    3: Struct(
        ("wpump1", PWM_PUMP_STATE),
        ("wpump2", PWM_PUMP_STATE),
        ("apump", GAS_PUMP_STATE),
        ("avalve", GAS_VALVE_STATE_V3),
        ("imu", IMU_DATA),
        ("wtemp", WATER_TEMP_DATA),
    ),
    4: _since_v4(
        4, OPTIONAL_F32_LIST, OPTIONAL_F32_LIST, (OPTIONAL_F32_LIST,) * 4, OPTIONAL_F32_LIST, OPTIONAL_F32_LIST
    ),
    5: _since_v4(5, PYRO_DATA_V5_V6, OPTIONAL_UNIT, (OPTIONAL_UNIT,) * 4, OPTIONAL_UNIT, OPTIONAL_UNIT),
    6: _since_v4(6, PYRO_DATA_V5_V6, TURNER_DATA_V6, (OPTIONAL_UNIT,) * 4, OPTIONAL_UNIT, OPTIONAL_UNIT),
    8: _since_v4(8, PYRO_DATA_V8_V9, TURNER_DATA, FILLED_SLOTS, OPTIONAL_UNIT, OPTIONAL_UNIT),
    9: _since_v4(9, PYRO_DATA_V8_V9, TURNER_DATA, FILLED_SLOTS, LIGHT_DATA, ADCP_DATA),
    **{version: _since_v4(version, *NEWEST_FORMS) for version in (10, 11, 12, 13)},
}

FAMILIES = {
    "calibration": ("Calibration", CALIBRATION),
    "diagnostics": ("Diagnostics", DIAGNOSTICS),
    "samples": ("Samples", SAMPLES),
}


def unsupported_versions(kind: str) -> list[int]:
    """Versions the family lacks, from its table: 0, the gaps, the next two and far beyond."""
    supported = set(FAMILIES[kind][1])
    candidates = [0, *range(min(supported), max(supported) + 3), 2**32, 2**63, 2**64 - 1]
    return [version for version in dict.fromkeys(candidates) if version not in supported]
