#include "samples/samples.hpp"

#include "samples/v1_to_v6.hpp"
#include "samples/v8_to_v13.hpp"

namespace velunda::samples {

// Version 7 was never issued.
std::span<const Layout> layouts() {
    static constexpr Layout table[] = {
        layout<"Samples", 1, v1::SamplesNCDataPayload>(),
        layout<"Samples", 2, v2::SamplesNCDataPayload>(),
        layout<"Samples", 3, v3::SamplesNCDataPayload>(),
        layout<"Samples", 4, v4::SamplesNCDataPayload>(),
        layout<"Samples", 5, v5::SamplesNCDataPayload>(),
        layout<"Samples", 6, v6::SamplesNCDataPayload>(),
        layout<"Samples", 8, v8::SamplesNCDataPayload>(),
        layout<"Samples", 9, v9::SamplesNCDataPayload>(),
        layout<"Samples", 10, v10::SamplesNCDataPayload>(),
        layout<"Samples", 11, v11::SamplesNCDataPayload>(),
        layout<"Samples", 12, v12::SamplesNCDataPayload>(),
        layout<"Samples", 13, v13::SamplesNCDataPayload>(),
    };
    return table;
}

}  // namespace velunda::samples
