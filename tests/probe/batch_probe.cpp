// The batch core on its own, for the Python tests (through ctypes): a source whose rows carry
// their own kind and version, consumers that stop or throw, a stop request between chunks and
// thread starts that fail.

#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "batch/json_chunks.hpp"

namespace {

using namespace velunda;

// Row i: calibration 1, diagnostics 2, an unknown kind, calibration 7 (no such version) and a
// calibration payload cut short, in turn; chunks of a fixed number of rows.
class MixedSource final : public batch::RowSource {
public:
    MixedSource(std::size_t rows, std::size_t rows_per_chunk) : rows_(rows), rows_per_chunk_(rows_per_chunk) {}

    std::unique_ptr<batch::ChunkRows> new_rows() const override {
        return std::make_unique<batch::SequenceSource::Range>();
    }

    batch::ChunkStages::Filled fill(batch::ChunkRows& rows, bool, const std::atomic<bool>&) override {
        if (next_ >= rows_) return batch::ChunkStages::Filled::none_left;
        auto& range = static_cast<batch::SequenceSource::Range&>(rows);
        range.first = next_;
        range.end = std::min(next_ + rows_per_chunk_, rows_);
        next_ = range.end;
        return batch::ChunkStages::Filled::chunk;
    }

    void visit(const batch::ChunkRows& rows, batch::RowVisitor& visitor) const override {
        {
            std::lock_guard lock(mutex_);
            decoding_threads_.insert(std::this_thread::get_id());
        }
        const auto& range = static_cast<const batch::SequenceSource::Range&>(rows);
        static constexpr struct {
            const char* kind;
            std::uint64_t version;
            const char* text;
        } forms[] = {{"calibration", 1, "AhgFAA=="},
                     {"diagnostics", 2, "rAIAAVr0HA=="},
                     {"Samples", 1, ""},
                     {"calibration", 7, ""},
                     {"calibration", 1, "AhgF"}};
        for (std::size_t row = range.first; row < range.end; ++row) {
            const auto& form = forms[row % std::size(forms)];
            visitor.payload(row, form.kind, form.version, form.text);
        }
    }

    std::size_t decoding_threads() const {
        std::lock_guard lock(mutex_);
        return decoding_threads_.size();
    }

private:
    std::size_t rows_;
    std::size_t rows_per_chunk_;
    std::size_t next_ = 0;
    mutable std::mutex mutex_;
    mutable std::set<std::thread::id> decoding_threads_;
};

}  // namespace

extern "C" {

// Decodes `rows` rows in chunks of `rows_per_chunk` on `threads` threads, of which only
// `startable` extra threads can be started. The consumer stops after chunk `stop_after` (counted
// from 1; 0 never), throws at chunk `throw_at`, and the stop request is raised after chunk
// `request_stop_after`. Writes "<outcome> <chunks consumed> <decoding threads>\n" (the outcome
// ok, stopped or threw), then one line per row consumed, "<row> <json or message>", to `out`;
// returns the size it needed.
__attribute__((visibility("default"))) std::size_t velunda_probe_batch(unsigned threads, unsigned startable,
                                                                       std::size_t rows, std::size_t rows_per_chunk,
                                                                       std::size_t stop_after, std::size_t throw_at,
                                                                       std::size_t request_stop_after, char* out,
                                                                       std::size_t capacity) {
    MixedSource source(rows, rows_per_chunk);
    std::string lines;
    std::size_t consumed = 0;
    const auto consume = [&](const batch::Chunk& chunk) {
        if (++consumed == throw_at) throw std::runtime_error("consumer failed");
        auto failure = chunk.failures.begin();
        for (std::size_t at = 0; at < chunk.ends.size(); ++at) {
            const std::size_t row = chunk.first_row + at;
            lines += std::to_string(row) + ' ';
            if (failure != chunk.failures.end() && failure->row == row) {
                lines += (failure++)->message();
            } else {
                lines += chunk.json(at);
            }
            lines += '\n';
        }
        return consumed != stop_after;
    };
    const auto keep_going = [&] { return request_stop_after == 0 || consumed < request_stop_after; };
    unsigned started = 0;
    const auto start_thread = [&](std::function<void()> body) {
        if (started == startable)
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        ++started;
        return std::thread(std::move(body));
    };
    std::string outcome;
    try {
        const bool completed = batch::decode_in_order({.source = source,
                                                       .threads = threads,
                                                       .row_end = {},
                                                       .consume = consume,
                                                       .keep_going = keep_going,
                                                       .start_thread = start_thread});
        outcome = completed ? "ok" : "stopped";
    } catch (const std::runtime_error& fault) {
        outcome = "threw";
    }
    const std::string text =
        outcome + ' ' + std::to_string(consumed) + ' ' + std::to_string(source.decoding_threads()) + '\n' + lines;
    std::memcpy(out, text.data(), std::min(text.size(), capacity));
    return text.size();
}

}  // extern "C"
