#include "arrow/typed/flavor.hpp"

#include <cstring>
#include <string_view>

#include "arrow/typed/growing.hpp"

namespace velunda::arrow::typed {

namespace {

template <class From, class To>
void widen(Column& column, const char* format) {
    const auto* values = static_cast<const From*>(column.buffers[1].data);
    Values<To> wider;
    for (std::int64_t at = 0; at < column.length; ++at) wider.push(static_cast<To>(values[at]));
    column.buffers[1] = wider.release();
    column.format = std::string(format);
}

// decimal128(20, 0): a 16-byte little-endian two's-complement integer, here never negative.
void to_decimal(Column& column) {
    const auto* values = static_cast<const std::uint64_t*>(column.buffers[1].data);
    Values<std::uint64_t> words;
    for (std::int64_t at = 0; at < column.length; ++at) {
        words.push(values[at]);
        words.push(0);
    }
    column.buffers[1] = words.release();
    column.format = std::string("d:20,0");
}

// Each row's variant name written out: the dictionary's values by index.
void undictionary(Column& column) {
    const Column& names = *column.dictionary;
    const auto* name_offsets = static_cast<const std::int32_t*>(names.buffers[1].data);
    const auto* name_text = static_cast<const char*>(names.buffers[2].data);
    const auto* indices = static_cast<const std::int8_t*>(column.buffers[1].data);
    const auto* validity = static_cast<const std::uint8_t*>(column.buffers[0].data);
    Values<std::int32_t> offsets;
    Values<char> text;
    offsets.push(0);
    for (std::int64_t at = 0; at < column.length; ++at) {
        const bool valid = validity == nullptr || ((validity[at / 8] >> (at % 8)) & 1) != 0;
        if (valid) {
            const auto index = static_cast<std::size_t>(static_cast<std::uint8_t>(indices[at]));  // never negative
            text.append(name_text + name_offsets[index],
                        static_cast<std::size_t>(name_offsets[index + 1] - name_offsets[index]));
        }
        offsets.push(static_cast<std::int32_t>(text.size()));
    }
    column.buffers.resize(1);
    column.buffers.push_back(offsets.release());
    column.buffers.push_back(text.release());
    column.dictionary.reset();
    column.format = std::string("u");
}

// A fixed-size list as a list whose offsets step by its size: Spark reads no fixed-size lists.
void to_variable_list(Column& column) {
    const auto size = std::stoll(column.format.substr(3));
    Values<std::int32_t> offsets;
    for (std::int64_t at = 0; at <= column.length; ++at) offsets.push(static_cast<std::int32_t>(at * size));
    column.buffers.push_back(offsets.release());
    column.format = std::string("+l");
}

}  // namespace

void to_spark(Column& column) {
    if (column.dictionary) {
        undictionary(column);
    } else if (column.format == "C") {
        widen<std::uint8_t, std::int16_t>(column, "s");
    } else if (column.format == "S") {
        widen<std::uint16_t, std::int32_t>(column, "i");
    } else if (column.format == "I") {
        widen<std::uint32_t, std::int64_t>(column, "l");
    } else if (column.format == "L") {
        to_decimal(column);
    } else if (column.format.starts_with("+w:")) {
        to_variable_list(column);
    }
    for (Column& child : column.children) to_spark(child);
}

}  // namespace velunda::arrow::typed
