#pragma once

// The weather station's NMEA sentences, already reduced to numbers on the platform. A field
// the station left empty is carried absent, so every field is optional.

#include "codec/descriptions.hpp"

// Declarations laid out as tables, a row a line: the formatter leaves them as written.
// clang-format off

namespace velunda::samples::airmar {

using namespace codec::descriptions;

using AirmarSentenceData = Enum<
    Unit<"None">,
    StructVariant<"GPGGASentence",
        Field<"latitude", Option<F32>>,
        Field<"longitude", Option<F32>>,
        Field<"satellites", Option<U8>>,
        Field<"horizontal_dop", Option<F32>>>,
    // The misspelling is the name stored data carries; it must stay.
    StructVariant<"GPVTGSentenece",
        Field<"course_true", Option<F32>>,
        Field<"course_magnetic", Option<F32>>,
        Field<"speed", Option<F32>>>,
    StructVariant<"WIMDASentence",
        Field<"barometric_pressure", Option<F32>>,
        Field<"air_temperature", Option<F32>>,
        Field<"air_rh", Option<F32>>,
        Field<"air_ah", Option<F32>>,
        Field<"wind_direction_true", Option<F32>>,
        Field<"wind_direction_magnetic", Option<F32>>,
        Field<"wind_speed", Option<F32>>>,
    StructVariant<"YXXDRSentence",
        Field<"pitch", Option<F32>>,
        Field<"roll", Option<F32>>>>;

using AirmarData = Record<
    Field<"sentences", List<AirmarSentenceData>>>;

}  // namespace velunda::samples::airmar
// clang-format on
