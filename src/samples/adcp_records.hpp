#pragma once

// The current profiler's data sets: current profiles over a column of depth cells, attitude
// readings and altimeter readings, mixed in one series in any order. Nothing relates
// `number_of_cells` to the list lengths; both are carried as delivered.

#include "codec/descriptions.hpp"

// Declarations laid out as tables, a row a line: the formatter leaves them as written.
// clang-format off

namespace velunda::samples::adcp {

using namespace codec::descriptions;

using AdcpDataSeries = Enum<
    StructVariant<"CurrentProfile",
        Field<"timestamp", U32>,
        Field<"microseconds", U32>,
        Field<"cell_size", F32>,
        Field<"blanking", F32>,
        Field<"number_of_cells", U64>,
        Field<"velocity", List<Array<I16, 3>>>,
        Field<"amplitude", List<Array<U8, 3>>>,
        Field<"correlation", List<Array<U8, 3>>>>,
    StructVariant<"Ahrs",
        Field<"timestamp", U32>,
        Field<"microseconds", U32>,
        Field<"roll", F32>,
        Field<"pitch", F32>,
        Field<"heading", F32>>,
    StructVariant<"Altimeter",
        Field<"timestamp", U32>,
        Field<"microseconds", U32>,
        Field<"distance", Option<F32>>>>;

using AdcpData = Record<
    Field<"series", List<AdcpDataSeries>>>;

}  // namespace velunda::samples::adcp
// clang-format on
