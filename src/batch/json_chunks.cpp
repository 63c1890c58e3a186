#include "batch/json_chunks.hpp"

#include <algorithm>
#include <utility>

#include "json/decode_json.hpp"

namespace velunda::batch {

namespace {

// A chunk is a run of rows with about this much input: large enough that handing it out costs
// nothing next to decoding it, small enough that its buffers stay in cache and the threads
// finish close together.
constexpr std::size_t chunk_input_bytes = 64 * 1024;
constexpr std::size_t max_rows_per_chunk = 16 * 1024;

// Decodes the rows a source hands over into a chunk.
class JsonRows final : public RowVisitor {
public:
    JsonRows(Chunk& chunk, std::string_view row_end) : chunk_(chunk), row_end_(row_end) {
        chunk_.text.clear();
        chunk_.ends.clear();
        chunk_.failures.clear();
    }

    void payload(std::size_t row, std::string_view kind, std::uint64_t version, std::string_view base64_text) override {
        start(row);
        const json::Outcome outcome = json::decode(kind, version, base64_text, &chunk_.text);
        if (outcome.ok()) {
            chunk_.text.keep(outcome.json().size());
            chunk_.text.append(row_end_);
        } else {
            RowFailure& failure = fail(row);
            failure.status = outcome.status();
            failure.error = outcome.error();
            if (outcome.status() == Status::unknown_kind) failure.kind = kind;
        }
        chunk_.ends.push_back(chunk_.text.size());
    }

    void absent(std::size_t row) override {
        start(row);
        chunk_.ends.push_back(chunk_.text.size());
    }

    void unreadable(std::size_t row, std::string problem) override {
        start(row);
        fail(row).problem = std::move(problem);
        chunk_.ends.push_back(chunk_.text.size());
    }

private:
    void start(std::size_t row) {
        if (chunk_.ends.empty()) chunk_.first_row = row;
    }

    RowFailure& fail(std::size_t row) {
        return chunk_.failures.emplace_back(RowFailure{row, chunk_.text.size(), Status::failed, Error{}, {}, {}});
    }

    Chunk& chunk_;
    std::string_view row_end_;
};

class JsonStages final : public ChunkStages {
public:
    JsonStages(const JsonBatch& batch, std::size_t slots) : batch_(batch), chunks_(slots) {
        for (Chunk& chunk : chunks_) chunk.rows = batch.source.new_rows();
    }

    Filled fill(std::size_t slot, bool may_wait, const std::atomic<bool>& stop) override {
        return batch_.source.fill(*chunks_[slot].rows, may_wait, stop);
    }

    void decode(std::size_t slot) override {
        Chunk& chunk = chunks_[slot];
        JsonRows rows(chunk, batch_.row_end);
        batch_.source.visit(*chunk.rows, rows);
    }

    bool consume(std::size_t slot) override { return batch_.consume(chunks_[slot]); }
    bool keep_going() override { return !batch_.keep_going || batch_.keep_going(); }
    std::size_t chunk_count_hint() const override { return batch_.source.chunk_count_hint(); }

private:
    const JsonBatch& batch_;
    std::vector<Chunk> chunks_;
};

}  // namespace

SequenceSource::SequenceSource(std::string_view kind, std::uint64_t version, const RowTexts& texts)
    : kind_(kind), version_(version), texts_(texts) {
    const std::size_t average = std::max<std::size_t>(1, texts.total_bytes() / std::max<std::size_t>(1, texts.size()));
    rows_per_chunk_ = std::clamp<std::size_t>(chunk_input_bytes / average, 1, max_rows_per_chunk);
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

void decode_in_order(const JsonBatch& batch) {
    const std::size_t slots = slots_for(std::max(batch.threads, 1u));
    JsonStages stages(batch, slots);
    run_in_order(stages, slots, batch.threads, batch.start_thread);
}

}  // namespace velunda::batch
