#pragma once

#include <cstdint>

#include "family.hpp"

// Declarations laid out as tables, a row a line: the formatter leaves them as written.
// clang-format off

namespace velunda::diagnostics {

using namespace codec::descriptions;

inline constexpr std::uint64_t versions[] = {2, 3, 4};

// Version 3 widened the two readings to f64; version 4 appended `reset`.
template <std::uint64_t V>
using Reading = FormAt<V, Since<2, U16>, Since<3, F64>>;

// DiagnosticsNCDataPayload: the diagnostics payload of one version, as the platform sends it.
template <std::uint64_t V>
using DiagnosticsNCDataPayload = RecordOf<
    Row<V, 2, Field<"temperature", Reading<V>>>,
    Row<V, 2, Field<"humidity_ph", Option<I32>>>,
    Row<V, 2, Field<"humidity_o2", Option<I32>>>,
    Row<V, 2, Field<"battery_voltage", Reading<V>>>,
    Row<V, 4, Field<"reset", Bool>>>;

using Family = FamilyOf<"diagnostics", "Diagnostics", versions, DiagnosticsNCDataPayload>;

}  // namespace velunda::diagnostics
// clang-format on
