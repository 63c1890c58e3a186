#pragma once

// The records every samples version carries: IMU, water temperature, pumps and valve, the gas
// barometer and the schedule. One declaration per form; the versions name the form they use.

#include "codec/descriptions.hpp"

// Declarations laid out as tables, a row a line: the formatter leaves them as written.
// clang-format off

namespace velunda::samples::core {

using namespace codec::descriptions;

using ImuDataVec = Record<
    Field<"x", I16>,
    Field<"y", I16>,
    Field<"z", I16>>;

using ImuData = Record<
    Field<"acc", List<ImuDataVec>>,
    Field<"gyro", List<ImuDataVec>>,
    Field<"mag", List<ImuDataVec>>>;

// Versions 2 and 3 call it WTempData; the form is the same.
using WaterTempData = Record<
    Field<"temp_raw", List<U32>>,
    Field<"temp_calib", List<F32>>>;

using PWMPumpState = Enum<
    Unit<"Off">,
    Newtype<"On", U16>>;

using GasPumpState = Enum<
    Unit<"Off">,
    Unit<"On">>;

namespace since_v3 {
using GasValveState = Enum<Unit<"Unknown">, Unit<"A">, Unit<"B">>;
}

namespace since_v4 {
using GasValveState = Enum<Unit<"Unknown">, Unit<"Atmosphere">, Unit<"Ocean">>;
}

// A fraction num / denom, carried as read.
using GasBaroValue = Record<
    Field<"num", I32>,
    Field<"denom", I32>>;

using GasBaroData = Record<
    Field<"humidity", List<GasBaroValue>>,
    Field<"temperature", List<GasBaroValue>>,
    Field<"pressure", List<Option<GasBaroValue>>>>;

using ScheduleState = Record<
    Field<"time", I64>,
    Field<"cycle", Option<U64>>>;

}  // namespace velunda::samples::core
// clang-format on
