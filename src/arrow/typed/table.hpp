#pragma once

// Payloads decoded straight into typed Arrow record batches: one column per top-level field of
// the layout's record, named by its JSON key, in wire order, then `error` (the message parse
// raises, null where the row decoded). A failing or null row has every other column null.

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "arrow/text_column.hpp"
#include "arrow/typed/built_column.hpp"
#include "families.hpp"

namespace velunda::arrow::typed {

// "arrow" keeps the wire's types; "spark" is for engines without unsigned or dictionary types:
// u8 int16, u16 int32, u32 int64, u64 decimal128(20, 0), every dictionary a plain string, every
// fixed-size list a list.
enum class Flavor : std::uint8_t { arrow, spark };

// A zero-row batch of the layout: its schema.
Batch schema_batch(const Layout& layout, Flavor flavor);

// Every row of each column decoded on the batch core, one batch per chunk, in row order; false
// when `keep_going` stopped it.
bool decode_table(const Layout& layout, Flavor flavor, std::span<const TextColumn> columns, unsigned threads,
                  const std::function<bool()>& keep_going, std::vector<Batch>& batches);

// One payload as a one-row batch of its layout, for checks that hold the typed form against the
// JSON; nothing for a kind or version without a layout.
Batch decode_row(std::string_view kind, std::uint64_t version, std::string_view base64_text, Flavor flavor);

}  // namespace velunda::arrow::typed
