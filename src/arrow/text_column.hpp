#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "arrow/c_data.hpp"
#include "batch/rows.hpp"

namespace velunda::arrow {

// Why a column cannot be read: it is not text (a type error), or its buffers contradict
// themselves (a value error).
struct ColumnProblem {
    enum class Kind : std::uint8_t { not_text, malformed };
    Kind kind;
    std::string message;
};

// The rows of an Arrow text column (string, large_string or string_view), or of a one-column
// struct holding one (a record batch), read in place from its buffers.
class TextColumn final : public batch::RowTexts {
public:
    // Whether the schema is of a text column, or of a one-column struct holding one.
    static std::optional<ColumnProblem> check_type(const ArrowSchema& schema);
    // Checks the type and every offset the buffers allow checking; the column stays owned by
    // the caller and must outlive this reader.
    static std::optional<ColumnProblem> open(const ArrowSchema& schema, const ArrowArray& array, TextColumn& column);

    std::size_t size() const override { return length_; }
    std::size_t total_bytes() const override { return total_bytes_; }
    std::optional<std::string_view> text(std::size_t row) const override;
    bool present(std::size_t row) const;
    bool has_absent_rows() const { return validity_ != nullptr; }

private:
    enum class Layout : std::uint8_t { offsets32, offsets64, views };

    Layout layout_ = Layout::offsets32;
    std::size_t length_ = 0;
    std::size_t offset_ = 0;  // of the first row, in the buffers
    const std::uint8_t* validity_ = nullptr;
    const void* offsets_or_views_ = nullptr;
    const char* data_ = nullptr;
    const char* const* view_buffers_ = nullptr;
    std::size_t total_bytes_ = 0;
};

}  // namespace velunda::arrow
