#include "arrow/text_column.hpp"

#include <cctype>
#include <cstring>
#include <utility>

namespace velunda::arrow {

namespace {

// No process can map more than this (the 47-bit user address space of x86-64 and AArch64), so a
// length, offset or size that implies more is a lie the import can catch before reading.
constexpr std::uint64_t max_extent = std::uint64_t{1} << 47;

// A string_view element, 16 bytes: the length, then either the text itself (12 bytes at most)
// or its first four bytes, the index of the data buffer holding it and its offset there.
struct View {
    std::int32_t length;
    std::int32_t buffer_index;
    std::int32_t offset;
    const char* inline_text;
};

constexpr std::size_t view_size = 16;
constexpr std::size_t max_inline_view = 12;

View read_view(const void* views, std::size_t at) {
    const char* raw = static_cast<const char*>(views) + at * view_size;
    View view{};
    std::memcpy(&view.length, raw, 4);
    std::memcpy(&view.buffer_index, raw + 8, 4);
    std::memcpy(&view.offset, raw + 12, 4);
    view.inline_text = raw + 4;
    return view;
}

bool is_text_format(std::string_view format) { return format == "u" || format == "U" || format == "vu"; }

bool is_plain_text(const ArrowSchema* schema) {
    return schema != nullptr && schema->format != nullptr && schema->dictionary == nullptr &&
           is_text_format(schema->format);
}

// The byte width of a dictionary's index type, or 0 for a format that is none.
std::size_t index_width(std::string_view format) {
    if (format.size() != 1) return 0;
    switch (format[0]) {
        case 'c':
        case 'C':
            return 1;
        case 's':
        case 'S':
            return 2;
        case 'i':
        case 'I':
            return 4;
        case 'l':
        case 'L':
            return 8;
        default:
            return 0;
    }
}

// A text column, or dictionary-encoded text.
bool is_text_schema(const ArrowSchema* schema) {
    if (is_plain_text(schema)) return true;
    return schema != nullptr && schema->format != nullptr && schema->dictionary != nullptr &&
           index_width(schema->format) != 0 && is_plain_text(schema->dictionary);
}

// A record batch of one text column reads as that column.
bool is_single_text_struct(const ArrowSchema& schema) {
    return std::string_view(schema.format) == "+s" && schema.dictionary == nullptr && schema.n_children == 1 &&
           schema.children != nullptr && is_text_schema(schema.children[0]);
}

// The counts every array carries, each within what a process could hold.
std::optional<ColumnProblem> check_counts(const ArrowArray& array) {
    if (array.length < 0 || array.offset < 0 || array.n_buffers < 0 || array.n_children < 0) {
        return malformed("a negative length or offset");
    }
    if (array.null_count < -1) return malformed("a null count of " + std::to_string(array.null_count));
    if (static_cast<std::uint64_t>(array.length) > max_extent ||
        static_cast<std::uint64_t>(array.offset) > max_extent - static_cast<std::uint64_t>(array.length) ||
        static_cast<std::uint64_t>(array.n_buffers) > max_extent / sizeof(void*)) {
        return malformed("a length or offset beyond any buffer");
    }
    if (array.n_buffers != 0 && array.buffers == nullptr) return malformed("no buffer list");
    return std::nullopt;
}

// Whether an element buffer of `width` bytes each can hold elements up to `end`.
bool within_reach(std::uint64_t end, std::size_t width) { return end <= max_extent / width; }

bool bit_set(const std::uint8_t* bits, std::size_t at) { return ((bits[at / 8] >> (at % 8)) & 1) != 0; }

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
    if (static_cast<std::uint64_t>(previous) > max_extent) return malformed("offsets beyond any buffer");
    total = static_cast<std::size_t>(previous - offsets[first]);
    return std::nullopt;
}

}  // namespace

ColumnProblem malformed(const std::string& what) {
    return {ColumnProblem::Kind::malformed, "malformed Arrow column: " + what};
}

TextColumn::TextColumn() = default;
TextColumn::TextColumn(TextColumn&&) noexcept = default;
TextColumn& TextColumn::operator=(TextColumn&&) noexcept = default;
TextColumn::~TextColumn() = default;

std::optional<ColumnProblem> TextColumn::check_type(const ArrowSchema& schema) {
    if (schema.format == nullptr) return malformed("no format");
    if (is_text_schema(&schema) || is_single_text_struct(schema)) return std::nullopt;
    if (schema.dictionary != nullptr) {
        return ColumnProblem{ColumnProblem::Kind::not_text,
                             "a dictionary-encoded Arrow column is text only when its indices are integers and its "
                             "values string, large_string or string_view; cast it to string first"};
    }
    return ColumnProblem{ColumnProblem::Kind::not_text,
                         std::string("an Arrow column of format '") + schema.format +
                             "' is not text; expected string ('u'), large_string ('U') or string_view ('vu')"};
}

std::optional<ColumnProblem> TextColumn::open(const ArrowSchema& schema, const ArrowArray& array, TextColumn& column) {
    if (auto problem = check_type(schema)) return problem;
    if (auto problem = check_counts(array)) return problem;
    const ArrowSchema* text_schema = &schema;
    const ArrowArray* text_array = &array;
    std::uint64_t extra_offset = 0;
    if (std::string_view(schema.format) == "+s") {
        if (array.n_children != 1 || array.children == nullptr || array.children[0] == nullptr) {
            return malformed("a struct without its child");
        }
        const auto* validity = array.n_buffers > 0 ? static_cast<const std::uint8_t*>(array.buffers[0]) : nullptr;
        if (array.null_count > 0) return malformed("a record batch with null rows");
        if (array.null_count == -1 && validity != nullptr) {  // unknown: the bits say
            for (auto at = static_cast<std::size_t>(array.offset);
                 at < static_cast<std::size_t>(array.offset + array.length); ++at) {
                if (!bit_set(validity, at)) return malformed("a record batch with null rows");
            }
        }
        text_schema = schema.children[0];
        text_array = array.children[0];
        if (auto problem = check_counts(*text_array)) return problem;
        if (text_array->length < array.offset + array.length) return malformed("a child shorter than its struct");
        extra_offset = static_cast<std::uint64_t>(array.offset);
    }
    const ArrowArray& source = *text_array;
    column = TextColumn();
    column.length_ = static_cast<std::size_t>(array.length);
    const std::uint64_t first = static_cast<std::uint64_t>(source.offset) + extra_offset;  // both at most 2^47
    if (first > max_extent - column.length_) return malformed("a length or offset beyond any buffer");
    column.offset_ = static_cast<std::size_t>(first);
    if (source.null_count != 0) {
        column.validity_ = source.n_buffers > 0 ? static_cast<const std::uint8_t*>(source.buffers[0]) : nullptr;
        if (source.null_count > 0 && column.validity_ == nullptr && column.length_ != 0) {
            return malformed("null rows without a validity buffer");
        }
    }
    if (text_schema->dictionary != nullptr) return column.open_dictionary(*text_schema, source);
    const std::string_view format = text_schema->format;
    return format == "vu" ? column.open_views(source) : column.open_text(format, source);
}

std::optional<ColumnProblem> TextColumn::open_text(std::string_view format, const ArrowArray& source) {
    if (source.n_buffers < 3) return malformed("too few buffers");
    if (source.n_buffers != 3) return malformed("a text column with " + std::to_string(source.n_buffers) + " buffers");
    const bool narrow = format == "u";
    if (!within_reach(offset_ + length_ + 1, narrow ? 4 : 8)) return malformed("offsets beyond any buffer");
    offsets_or_views_ = source.buffers[1];
    data_ = static_cast<const char*>(source.buffers[2]);
    layout_ = narrow ? Layout::offsets32 : Layout::offsets64;
    auto problem =
        narrow ? check_offsets(static_cast<const std::int32_t*>(offsets_or_views_), offset_, length_, total_bytes_)
               : check_offsets(static_cast<const std::int64_t*>(offsets_or_views_), offset_, length_, total_bytes_);
    if (problem) return problem;
    // Producers may leave out the data of a column of empty texts.
    if (data_ == nullptr && length_ != 0) {
        const bool all_at_zero = narrow ? static_cast<const std::int32_t*>(offsets_or_views_)[offset_] == 0
                                        : static_cast<const std::int64_t*>(offsets_or_views_)[offset_] == 0;
        if (total_bytes_ != 0 || !all_at_zero) return malformed("offsets into a missing data buffer");
        data_ = "";
    }
    return std::nullopt;
}

// string_view: validity, views, the data buffers, then the data buffers' sizes.
std::optional<ColumnProblem> TextColumn::open_views(const ArrowArray& source) {
    if (source.n_buffers < 3) return malformed("too few buffers");
    if (!within_reach(offset_ + length_, view_size)) return malformed("views beyond any buffer");
    layout_ = Layout::views;
    const auto data_buffers = static_cast<std::size_t>(source.n_buffers - 3);
    offsets_or_views_ = source.buffers[1];
    view_buffers_ = reinterpret_cast<const char* const*>(source.buffers + 2);
    const auto* sizes = static_cast<const std::int64_t*>(source.buffers[source.n_buffers - 1]);
    if (length_ != 0 && offsets_or_views_ == nullptr) return malformed("no views buffer");
    if (data_buffers != 0 && sizes == nullptr) return malformed("no data buffer sizes");
    for (std::size_t index = 0; index < data_buffers; ++index) {
        if (sizes[index] < 0 || static_cast<std::uint64_t>(sizes[index]) > max_extent) {
            return malformed("data buffer " + std::to_string(index) + " of size " + std::to_string(sizes[index]));
        }
        if (sizes[index] != 0 && view_buffers_[index] == nullptr) {
            return malformed("data buffer " + std::to_string(index) + " missing");
        }
    }
    for (std::size_t row = 0; row < length_; ++row) {
        if (!valid(row)) continue;
        const View view = read_view(offsets_or_views_, offset_ + row);
        if (view.length < 0) return malformed("a negative length at row " + std::to_string(row));
        if (static_cast<std::size_t>(view.length) > max_inline_view) {
            const auto index = view.buffer_index;
            if (index < 0 || static_cast<std::size_t>(index) >= data_buffers || view.offset < 0 ||
                static_cast<std::int64_t>(view.offset) + view.length > sizes[index]) {
                return malformed("a view outside its data at row " + std::to_string(row));
            }
        }
        total_bytes_ += static_cast<std::size_t>(view.length);
    }
    return std::nullopt;
}

// Dictionary-encoded text: each row is the dictionary's text at its index.
std::optional<ColumnProblem> TextColumn::open_dictionary(const ArrowSchema& schema, const ArrowArray& source) {
    const std::size_t width = index_width(schema.format);
    index_width_ = width;
    if (source.n_buffers != 2)
        return malformed("an index column with " + std::to_string(source.n_buffers) + " buffers");
    if (!within_reach(offset_ + length_, width)) return malformed("indices beyond any buffer");
    if (source.dictionary == nullptr) return malformed("no dictionary");
    offsets_or_views_ = source.buffers[1];
    if (length_ != 0 && offsets_or_views_ == nullptr) return malformed("no indices buffer");
    layout_ = Layout::dictionary;
    dictionary_ = std::make_unique<TextColumn>();
    if (auto problem = open(*schema.dictionary, *source.dictionary, *dictionary_)) return problem;
    const bool is_signed = std::islower(static_cast<unsigned char>(schema.format[0])) != 0;
    for (std::size_t row = 0; row < length_; ++row) {
        if (!valid(row)) continue;
        const std::size_t index = index_at(offset_ + row);
        const bool negative = is_signed && (index >> (width * 8 - 1) & 1) != 0;
        if (negative || index >= dictionary_->size()) {
            return malformed("an index outside its dictionary at row " + std::to_string(row));
        }
        if (const auto text = dictionary_->text(index)) total_bytes_ += text->size();
    }
    return std::nullopt;
}

// The raw index bits at `at`, zero-extended.
std::size_t TextColumn::index_at(std::size_t at) const {
    const auto* bytes = static_cast<const unsigned char*>(offsets_or_views_);
    switch (index_width_) {
        case 1:
            return bytes[at];
        case 2: {
            std::uint16_t value;
            std::memcpy(&value, bytes + at * 2, 2);
            return value;
        }
        case 4: {
            std::uint32_t value;
            std::memcpy(&value, bytes + at * 4, 4);
            return value;
        }
        default: {
            std::uint64_t value;
            std::memcpy(&value, bytes + at * 8, 8);
            return value;
        }
    }
}

bool TextColumn::valid(std::size_t row) const { return validity_ == nullptr || bit_set(validity_, offset_ + row); }

bool TextColumn::present(std::size_t row) const {
    if (!valid(row)) return false;
    return layout_ != Layout::dictionary || dictionary_->present(index_at(offset_ + row));
}

std::optional<std::string_view> TextColumn::text(std::size_t row) const {
    if (!valid(row)) return std::nullopt;
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
        case Layout::dictionary:
            return dictionary_->text(index_at(at));
    }
    return std::nullopt;
}

}  // namespace velunda::arrow
