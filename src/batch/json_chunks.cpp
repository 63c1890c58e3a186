#include "batch/json_chunks.hpp"

#include <algorithm>
#include <utility>

#include "json/decode_json.hpp"

namespace velunda::batch {

namespace {

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
        if (batch_.decoded) batch_.decoded(chunk);
    }

    bool consume(std::size_t slot) override { return batch_.consume(chunks_[slot]); }
    bool keep_going() override { return !batch_.keep_going || batch_.keep_going(); }
    std::size_t chunk_count_hint() const override { return batch_.source.chunk_count_hint(); }

private:
    const JsonBatch& batch_;
    std::vector<Chunk> chunks_;
};

}  // namespace

bool decode_in_order(const JsonBatch& batch) {
    const std::size_t slots = slots_for(std::max(batch.threads, 1u));
    JsonStages stages(batch, slots);
    return run_in_order(stages, slots, batch.threads, batch.start_thread);
}

}  // namespace velunda::batch
