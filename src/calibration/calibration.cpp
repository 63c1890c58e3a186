#include "calibration/calibration.hpp"

namespace velunda::calibration {

std::span<const Layout> layouts() {
    static constexpr Layout table[] = {
        layout<"Calibration", 1, v1::CalibrationNCDataPayload>(),
    };
    return table;
}

}  // namespace velunda::calibration
