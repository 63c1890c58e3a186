#include "batch/rows.hpp"

#include <algorithm>

namespace velunda::batch {

namespace {

constexpr std::size_t max_rows_per_chunk = 16 * 1024;

}  // namespace

SequenceSource::SequenceSource(std::string_view kind, std::uint64_t version, const RowTexts& texts,
                               std::size_t chunk_bytes)
    : kind_(kind), version_(version), texts_(texts) {
    const std::size_t average = std::max<std::size_t>(1, texts.total_bytes() / std::max<std::size_t>(1, texts.size()));
    rows_per_chunk_ = std::clamp<std::size_t>(chunk_bytes / average, 1, max_rows_per_chunk);
}

ChunkStages::Filled SequenceSource::fill(ChunkRows& rows, bool, const std::atomic<bool>&) {
    if (next_row_ >= texts_.size()) return ChunkStages::Filled::none_left;
    auto& range = static_cast<Range&>(rows);
    range.first = next_row_;
    range.end = std::min(next_row_ + rows_per_chunk_, texts_.size());
    next_row_ = range.end;
    return ChunkStages::Filled::chunk;
}

void SequenceSource::visit(const ChunkRows& rows, RowVisitor& visitor) const {
    const auto& range = static_cast<const Range&>(rows);
    for (std::size_t row = range.first; row < range.end; ++row) {
        if (const std::optional<std::string_view> text = texts_.text(row)) {
            visitor.payload(row, kind_, version_, *text);
        } else {
            visitor.absent(row);
        }
    }
}

}  // namespace velunda::batch
