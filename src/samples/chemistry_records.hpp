#pragma once

// The chemistry sensor records. They changed form twice: the lists lost their capacity of 11
// in version 8, and PyroData gained `r` in version 10. Only the wire differs between the
// capacity forms; their JSON is the same.

#include "codec/schema.hpp"

namespace velunda::samples::chemistry {

using namespace codec::schema_types;

inline constexpr std::uint64_t v5_v6_capacity = 11;

namespace v5_v6_form {
using PyroData = Record<
    Field<"phase_shift", BoundedList<I32, v5_v6_capacity>>,
    Field<"intensity", BoundedList<I32, v5_v6_capacity>>>;
}

namespace v6_form {
using TurnerData = Record<
    Field<"value", BoundedList<U16, v5_v6_capacity>>>;
}

namespace v8_v9_form {
using PyroData = Record<
    Field<"phase_shift", List<I32>>,
    Field<"intensity", List<I32>>>;
}

namespace v10_to_v13_form {
using PyroData = Record<
    Field<"phase_shift", List<I32>>,
    Field<"intensity", List<I32>>,
    Field<"r", List<I32>>>;
}

namespace v8_to_v13_form {
using TurnerData = Record<
    Field<"value", List<U16>>>;
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
