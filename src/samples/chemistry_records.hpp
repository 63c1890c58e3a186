#pragma once

// The chemistry sensor records. They changed form twice: the lists lost their capacity of 11
// in version 8, and PyroData gained `r` in version 10. Only the wire differs between the
// capacity forms; their JSON is the same. Each form is named by the version that introduced it.

#include "codec/descriptions.hpp"

// Declarations laid out as tables, a row a line: the formatter leaves them as written.
// clang-format off

namespace velunda::samples::chemistry {

using namespace codec::descriptions;

inline constexpr std::uint64_t capacity_before_v8 = 11;

namespace since_v5 {
using PyroData = Record<
    Field<"phase_shift", BoundedList<I32, capacity_before_v8>>,
    Field<"intensity", BoundedList<I32, capacity_before_v8>>>;
}

namespace since_v6 {
using TurnerData = Record<
    Field<"value", BoundedList<U16, capacity_before_v8>>>;
}

namespace since_v8 {
using PyroData = Record<
    Field<"phase_shift", List<I32>>,
    Field<"intensity", List<I32>>>;
using TurnerData = Record<
    Field<"value", List<U16>>>;
}

namespace since_v10 {
using PyroData = Record<
    Field<"phase_shift", List<I32>>,
    Field<"intensity", List<I32>>,
    Field<"r", List<I32>>>;
}

using K30Data = Record<
    Field<"ppm", List<F32>>>;

using Scd30Data = Record<
    Field<"ppm", List<F32>>,
    Field<"humidity", List<F32>>,
    Field<"temperature", List<F32>>>;

using WaterConductivityData = Record<
    Field<"siemens_per_cm", List<F32>>>;

}  // namespace velunda::samples::chemistry
// clang-format on
