#pragma once

#include <cstdint>

#include "family.hpp"

// Declarations laid out as tables, a row a line: the formatter leaves them as written.
// clang-format off

namespace velunda::calibration {

using namespace codec::descriptions;

inline constexpr std::uint64_t versions[] = {1};

using PyroCalibData = Record<Field<"data", List<I32>>>;

// CalibrationNCDataPayload: the calibration payload of one version, as the platform sends it.
template <std::uint64_t V>
using CalibrationNCDataPayload = RecordOf<
    Row<V, 1, Field<"water_ph", PyroCalibData>>,
    Row<V, 1, Field<"water_o2", PyroCalibData>>>;

using Family = FamilyOf<"calibration", "Calibration", versions, CalibrationNCDataPayload>;

}  // namespace velunda::calibration
// clang-format on
