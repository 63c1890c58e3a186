#pragma once

#include "arrow/typed/built_column.hpp"

namespace velunda::arrow::typed {

// Rewrites a batch for engines without unsigned or dictionary types (Spark): u8 to int16, u16 to
// int32, u32 to int64, u64 to decimal128(20, 0), every dictionary to its plain strings, and
// every fixed-size list to a list.
void to_spark(Column& column);

}  // namespace velunda::arrow::typed
