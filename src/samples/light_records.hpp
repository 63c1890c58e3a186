#pragma once

// The light sensor: clear and PAR channel counts with the gain each reading used.

#include "codec/descriptions.hpp"

// Declarations laid out as tables, a row a line: the formatter leaves them as written.
// clang-format off

namespace velunda::samples::light {

using namespace codec::descriptions;

// One half, then the powers of two from 1 to 512.
using LightGain = Enum<
    Unit<"GainHalf">,
    Unit<"Gain1">,
    Unit<"Gain2">,
    Unit<"Gain4">,
    Unit<"Gain8">,
    Unit<"Gain16">,
    Unit<"Gain32">,
    Unit<"Gain64">,
    Unit<"Gain128">,
    Unit<"Gain256">,
    Unit<"Gain512">>;

using LightMeasurement = Record<
    Field<"saturated", Bool>,
    Field<"gain", LightGain>,
    Field<"clear_data", U16>,
    Field<"par_data", U16>>;

using LightData = Record<
    Field<"measurement", List<LightMeasurement>>>;

}  // namespace velunda::samples::light
// clang-format on
