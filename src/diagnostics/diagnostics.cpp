#include "diagnostics/diagnostics.hpp"

namespace velunda::diagnostics {

std::span<const Layout> layouts() {
    static constexpr Layout table[] = {
        layout<"Diagnostics", 2, v2::DiagnosticsNCDataPayload>(),
        layout<"Diagnostics", 3, v3::DiagnosticsNCDataPayload>(),
        layout<"Diagnostics", 4, v4::DiagnosticsNCDataPayload>(),
    };
    return table;
}

}  // namespace velunda::diagnostics
