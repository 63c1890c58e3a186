#include "calibration/calibration.hpp"

namespace velunda::calibration {

std::span<const Layout> layouts() {
    static constexpr auto table = layouts_of<"Calibration", versions, CalibrationNCDataPayload>();
    return table;
}

}  // namespace velunda::calibration
