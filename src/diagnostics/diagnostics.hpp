#pragma once

#include <span>

#include "layout.hpp"

namespace velunda::diagnostics {

using namespace codec::schema_types;

// Version 3 widened the two readings of version 2 to f64; version 4 appended `reset`.
template <Schema Reading, class... Appended>
using DiagnosticsNCDataPayloadOf = Record<
    Field<"temperature", Reading>,
    Field<"humidity_ph", Option<I32>>,
    Field<"humidity_o2", Option<I32>>,
    Field<"battery_voltage", Reading>,
    Appended...>;

namespace v2 {
using DiagnosticsNCDataPayload = DiagnosticsNCDataPayloadOf<U16>;
}

namespace v3 {
using DiagnosticsNCDataPayload = DiagnosticsNCDataPayloadOf<F64>;
}

namespace v4 {
using DiagnosticsNCDataPayload = DiagnosticsNCDataPayloadOf<F64, Field<"reset", Bool>>;
}

std::span<const Layout> layouts();

}  // namespace velunda::diagnostics
