#pragma once

// Where a batch's rows come from. A source hands its rows out a chunk at a time: a fixed
// sequence of texts (parse_many, parse_arrow), or the command's lines, whose rows carry their own
// kind and version. Sources fill chunks in order and then walk each chunk's rows on any thread.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "batch/in_order.hpp"
#include "decode.hpp"

namespace velunda::batch {

// A row that gave no record, and why: what parse raises for it, or what is wrong with the row
// itself (a line that is not a payload row).
struct RowFailure {
    std::size_t row;      // its number: the index in a sequence, the line in a file
    std::size_t text_at;  // where in its chunk's text the row's text would have stood
    Status status;        // unknown_kind or failed
    Error error;          // of a failed payload
    std::string kind;     // the kind the row named, for unknown_kind
    std::string problem;  // set when the row itself could not be read

    std::string message() const { return problem.empty() ? failure_message(status, error, kind) : problem; }
};

// A source's rows of one chunk; each source keeps its own form.
struct ChunkRows {
    virtual ~ChunkRows() = default;
};

// What a source hands the rows of a chunk to, in order.
class RowVisitor {
public:
    virtual void payload(std::size_t row, std::string_view kind, std::uint64_t version,
                         std::string_view base64_text) = 0;
    // A row that is there but holds nothing to decode (a null in a column).
    virtual void absent(std::size_t row) = 0;
    virtual void unreadable(std::size_t row, std::string problem) = 0;

protected:
    ~RowVisitor() = default;
};

class RowSource {
public:
    virtual ~RowSource() = default;
    virtual std::unique_ptr<ChunkRows> new_rows() const = 0;
    // The next chunk's rows into `rows`, as ChunkStages::fill.
    virtual ChunkStages::Filled fill(ChunkRows& rows, bool may_wait, const std::atomic<bool>& stop) = 0;
    // Hands every row of a filled chunk to `visitor`, in order; may run on any thread.
    virtual void visit(const ChunkRows& rows, RowVisitor& visitor) const = 0;
    virtual std::size_t chunk_count_hint() const { return SIZE_MAX; }
};

// The base64 texts of a fixed sequence of rows: Python strings read up front, or the buffers of
// an Arrow string column.
class RowTexts {
public:
    virtual std::size_t size() const = 0;
    // All the rows' text bytes, to size the chunks.
    virtual std::size_t total_bytes() const = 0;
    // The text of `row`, or nothing for a row that is absent (a null in a column).
    virtual std::optional<std::string_view> text(std::size_t row) const = 0;

protected:
    ~RowTexts() = default;
};

// Every row of `texts` as a payload of one kind and version, in chunks of consecutive rows.
class SequenceSource final : public RowSource {
public:
    struct Range final : ChunkRows {
        std::size_t first = 0;
        std::size_t end = 0;
    };

    // Chunks of about `chunk_bytes` of input each: large enough that handing one out costs
    // nothing next to decoding it, small enough that its buffers stay in cache and the threads
    // finish close together.
    SequenceSource(std::string_view kind, std::uint64_t version, const RowTexts& texts,
                   std::size_t chunk_bytes = 64 * 1024);

    std::unique_ptr<ChunkRows> new_rows() const override { return std::make_unique<Range>(); }
    ChunkStages::Filled fill(ChunkRows& rows, bool may_wait, const std::atomic<bool>& stop) override;
    void visit(const ChunkRows& rows, RowVisitor& visitor) const override;
    std::size_t chunk_count_hint() const override { return (texts_.size() + rows_per_chunk_ - 1) / rows_per_chunk_; }

private:
    std::string_view kind_;
    std::uint64_t version_;
    const RowTexts& texts_;
    std::size_t rows_per_chunk_ = 1;
    std::size_t next_row_ = 0;
};

}  // namespace velunda::batch
