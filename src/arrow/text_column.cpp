#include "arrow/text_column.hpp"

#include <cstring>

namespace velunda::arrow {

namespace {

// A string_view element, 16 bytes: the length, then either the text itself (12 bytes at most)
// or its first four bytes, the index of the data buffer holding it and its offset there.
struct View {
    std::int32_t length;
    std::int32_t buffer_index;
    std::int32_t offset;
    const char* inline_text;
};

constexpr std::size_t view_size = 16;

View read_view(const void* views, std::size_t at) {
    const char* raw = static_cast<const char*>(views) + at * view_size;
    View view{};
    std::memcpy(&view.length, raw, 4);
    std::memcpy(&view.buffer_index, raw + 8, 4);
    std::memcpy(&view.offset, raw + 12, 4);
    view.inline_text = raw + 4;
    return view;
}

constexpr std::size_t max_inline_view = 12;

ColumnProblem malformed(const std::string& what) {
    return {ColumnProblem::Kind::malformed, "malformed Arrow column: " + what};
}

bool is_text_format(std::string_view format) { return format == "u" || format == "U" || format == "vu"; }

// A record batch of one text column reads as that column.
bool is_single_text_struct(const ArrowSchema& schema) {
    return std::string_view(schema.format) == "+s" && schema.n_children == 1 && schema.children != nullptr &&
           schema.children[0] != nullptr && schema.children[0]->format != nullptr &&
           is_text_format(schema.children[0]->format);
}

template <class Offset>
std::optional<ColumnProblem> check_offsets(const Offset* offsets, std::size_t first, std::size_t length,
                                           std::size_t& total) {
    if (length == 0) return std::nullopt;
    if (offsets == nullptr) return malformed("no offsets buffer");
    Offset previous = offsets[first];
    if (previous < 0) return malformed("negative offset");
    for (std::size_t at = first + 1; at <= first + length; ++at) {
        if (offsets[at] < previous) return malformed("offsets decrease at row " + std::to_string(at - first - 1));
        previous = offsets[at];
    }
    total = static_cast<std::size_t>(previous - offsets[first]);
    return std::nullopt;
}

}  // namespace

std::optional<ColumnProblem> TextColumn::check_type(const ArrowSchema& schema) {
    if (schema.format == nullptr) return malformed("no format");
    if (is_text_format(schema.format) || is_single_text_struct(schema)) return std::nullopt;
    return ColumnProblem{ColumnProblem::Kind::not_text,
                         std::string("an Arrow column of format '") + schema.format +
                             "' is not text; expected string ('u'), large_string ('U') or string_view ('vu')"};
}

std::optional<ColumnProblem> TextColumn::open(const ArrowSchema& schema, const ArrowArray& array, TextColumn& column) {
    if (auto problem = check_type(schema)) return problem;
    const ArrowSchema* text_schema = &schema;
    const ArrowArray* text_array = &array;
    std::int64_t extra_offset = 0;
    if (std::string_view(schema.format) == "+s") {
        if (array.n_children != 1 || array.children == nullptr || array.children[0] == nullptr) {
            return malformed("a struct without its child");
        }
        if (array.null_count != 0) return malformed("a record batch with null rows");
        text_schema = schema.children[0];
        text_array = array.children[0];
        extra_offset = array.offset;
        if (text_array->length < array.offset + array.length) return malformed("a child shorter than its struct");
    }
    const std::string_view format = text_schema->format;
    const ArrowArray& source = *text_array;
    if (array.length < 0 || array.offset < 0 || source.offset < 0) return malformed("a negative length or offset");
    column = TextColumn();
    column.length_ = static_cast<std::size_t>(array.length);
    column.offset_ = static_cast<std::size_t>(source.offset + extra_offset);
    if (source.n_buffers < 3 || source.buffers == nullptr) return malformed("too few buffers");
    if (source.null_count != 0) column.validity_ = static_cast<const std::uint8_t*>(source.buffers[0]);
    column.offsets_or_views_ = source.buffers[1];
    if (format == "u" || format == "U") {
        if (source.n_buffers != 3)
            return malformed("a text column with " + std::to_string(source.n_buffers) + " buffers");
        column.data_ = static_cast<const char*>(source.buffers[2]);
        column.layout_ = format == "u" ? Layout::offsets32 : Layout::offsets64;
        auto problem = format == "u" ? check_offsets(static_cast<const std::int32_t*>(column.offsets_or_views_),
                                                     column.offset_, column.length_, column.total_bytes_)
                                     : check_offsets(static_cast<const std::int64_t*>(column.offsets_or_views_),
                                                     column.offset_, column.length_, column.total_bytes_);
        if (problem) return problem;
        // Producers may leave out the data of a column of empty texts.
        if (column.data_ == nullptr && column.length_ != 0) {
            const bool all_at_zero =
                format == "u" ? static_cast<const std::int32_t*>(column.offsets_or_views_)[column.offset_] == 0
                              : static_cast<const std::int64_t*>(column.offsets_or_views_)[column.offset_] == 0;
            if (column.total_bytes_ != 0 || !all_at_zero) return malformed("offsets into a missing data buffer");
            column.data_ = "";
        }
        return std::nullopt;
    }

    // string_view: validity, views, the data buffers, then the data buffers' sizes.
    column.layout_ = Layout::views;
    const auto data_buffers = static_cast<std::size_t>(source.n_buffers - 3);
    column.view_buffers_ = reinterpret_cast<const char* const*>(source.buffers + 2);
    const auto* sizes = static_cast<const std::int64_t*>(source.buffers[source.n_buffers - 1]);
    if (column.length_ != 0 && column.offsets_or_views_ == nullptr) return malformed("no views buffer");
    if (data_buffers != 0 && sizes == nullptr) return malformed("no data buffer sizes");
    for (std::size_t row = 0; row < column.length_; ++row) {
        if (!column.present(row)) continue;
        const View view = read_view(column.offsets_or_views_, column.offset_ + row);
        if (view.length < 0) return malformed("a negative length at row " + std::to_string(row));
        if (static_cast<std::size_t>(view.length) > max_inline_view) {
            const auto index = view.buffer_index;
            if (index < 0 || static_cast<std::size_t>(index) >= data_buffers || view.offset < 0 ||
                static_cast<std::int64_t>(view.offset) + view.length > sizes[index] ||
                column.view_buffers_[index] == nullptr) {
                return malformed("a view outside its data at row " + std::to_string(row));
            }
        }
        column.total_bytes_ += static_cast<std::size_t>(view.length);
    }
    return std::nullopt;
}

bool TextColumn::present(std::size_t row) const {
    if (validity_ == nullptr) return true;
    const std::size_t at = offset_ + row;
    return ((validity_[at / 8] >> (at % 8)) & 1) != 0;
}

std::optional<std::string_view> TextColumn::text(std::size_t row) const {
    if (!present(row)) return std::nullopt;
    const std::size_t at = offset_ + row;
    switch (layout_) {
        case Layout::offsets32: {
            const auto* offsets = static_cast<const std::int32_t*>(offsets_or_views_);
            return std::string_view(data_ + offsets[at], static_cast<std::size_t>(offsets[at + 1] - offsets[at]));
        }
        case Layout::offsets64: {
            const auto* offsets = static_cast<const std::int64_t*>(offsets_or_views_);
            return std::string_view(data_ + offsets[at], static_cast<std::size_t>(offsets[at + 1] - offsets[at]));
        }
        case Layout::views: {
            const View view = read_view(offsets_or_views_, at);
            const auto length = static_cast<std::size_t>(view.length);
            if (length <= max_inline_view) return std::string_view(view.inline_text, length);
            return std::string_view(view_buffers_[view.buffer_index] + view.offset, length);
        }
    }
    return std::nullopt;
}

}  // namespace velunda::arrow
