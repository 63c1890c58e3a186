#include "diagnostics/diagnostics.hpp"

namespace velunda::diagnostics {

std::span<const Layout> layouts() {
    static constexpr auto table = layouts_of<"Diagnostics", versions, DiagnosticsNCDataPayload>();
    return table;
}

}  // namespace velunda::diagnostics
