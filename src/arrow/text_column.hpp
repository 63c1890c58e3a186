#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "arrow/c_data.hpp"
#include "batch/rows.hpp"

namespace velunda::arrow {

// Why a column cannot be read: it is not text (a type error), or its structures contradict
// themselves (a value error).
struct ColumnProblem {
    enum class Kind : std::uint8_t { not_text, malformed };
    Kind kind;
    std::string message;
};

ColumnProblem malformed(const std::string& what);

// The rows of an Arrow text column (string, large_string or string_view, plain or
// dictionary-encoded), or of a one-column struct holding one (a record batch), read in place
// from its buffers.
class TextColumn final : public batch::RowTexts {
public:
    TextColumn();
    TextColumn(TextColumn&&) noexcept;
    TextColumn& operator=(TextColumn&&) noexcept;
    ~TextColumn();

    // Whether the schema is of a text column, or of a one-column struct holding one.
    static std::optional<ColumnProblem> check_type(const ArrowSchema& schema);
    // Checks the type, and every length, offset, view and index against the others before
    // reading through any of them; the column stays owned by the caller and must outlive this
    // reader. What no check can catch is a buffer shorter than the producer says.
    static std::optional<ColumnProblem> open(const ArrowSchema& schema, const ArrowArray& array, TextColumn& column);

    std::size_t size() const override { return length_; }
    std::size_t total_bytes() const override { return total_bytes_; }
    std::optional<std::string_view> text(std::size_t row) const override;
    // Whether the row holds text: not null, nor an index of a null in its dictionary.
    bool present(std::size_t row) const;
    bool has_absent_rows() const { return validity_ != nullptr || (dictionary_ && dictionary_->has_absent_rows()); }

private:
    enum class Layout : std::uint8_t { offsets32, offsets64, views, dictionary };

    std::optional<ColumnProblem> open_text(std::string_view format, const ArrowArray& source);
    std::optional<ColumnProblem> open_views(const ArrowArray& source);
    std::optional<ColumnProblem> open_dictionary(const ArrowSchema& schema, const ArrowArray& source);
    std::size_t index_at(std::size_t at) const;
    bool valid(std::size_t row) const;

    Layout layout_ = Layout::offsets32;
    std::size_t length_ = 0;
    std::size_t offset_ = 0;  // of the first row, in the buffers
    const std::uint8_t* validity_ = nullptr;
    const void* offsets_or_views_ = nullptr;  // or the dictionary's indices
    const char* data_ = nullptr;
    const char* const* view_buffers_ = nullptr;
    std::size_t total_bytes_ = 0;
    std::size_t index_width_ = 0;
    std::unique_ptr<TextColumn> dictionary_;
};

}  // namespace velunda::arrow
