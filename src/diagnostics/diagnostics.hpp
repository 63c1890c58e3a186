#pragma once

#include <span>

#include "layout.hpp"

namespace velunda::diagnostics {

using namespace codec::schema_types;

namespace v2 {
using DiagnosticsNCDataPayload = Record<
    Field<"temperature", U16>,
    Field<"humidity_ph", Option<I32>>,
    Field<"humidity_o2", Option<I32>>,
    Field<"battery_voltage", U16>>;
}  // namespace v2

namespace v3 {
using DiagnosticsNCDataPayload = Record<
    Field<"temperature", F64>,
    Field<"humidity_ph", Option<I32>>,
    Field<"humidity_o2", Option<I32>>,
    Field<"battery_voltage", F64>>;
}  // namespace v3

namespace v4 {
using DiagnosticsNCDataPayload = Record<
    Field<"temperature", F64>,
    Field<"humidity_ph", Option<I32>>,
    Field<"humidity_o2", Option<I32>>,
    Field<"battery_voltage", F64>,
    Field<"reset", Bool>>;
}  // namespace v4

std::span<const Layout> layouts();

}  // namespace velunda::diagnostics
