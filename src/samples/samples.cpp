#include "samples/samples.hpp"

#include "samples/layouts.hpp"

namespace velunda::samples {

std::span<const Layout> layouts() {
    static constexpr auto table = layouts_of<"Samples", versions, SamplesNCDataPayload>();
    return table;
}

}  // namespace velunda::samples
