#pragma once

#include <span>

#include "layout.hpp"

namespace velunda::calibration {

namespace v1 {

using namespace codec::schema_types;

using PyroCalibData = Record<Field<"data", List<I32>>>;

using CalibrationNCDataPayload = Record<
    Field<"water_ph", PyroCalibData>,
    Field<"water_o2", PyroCalibData>>;

}  // namespace v1

std::span<const Layout> layouts();

}  // namespace velunda::calibration
