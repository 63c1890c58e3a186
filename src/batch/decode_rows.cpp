#include "batch/decode_rows.hpp"

#include <sched.h>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace velunda {

namespace {

// A chunk is a run of rows with about this much input: large enough that handing it out costs
// nothing next to decoding it, small enough that its buffers stay in cache and the threads
// finish close together.
constexpr std::size_t chunk_input_bytes = 64 * 1024;
constexpr std::size_t max_rows_per_chunk = 16 * 1024;

void decode_chunk(std::string_view kind, std::uint64_t version, const RowTexts& rows, DecodedChunk& chunk) {
    chunk.text.clear();
    chunk.ends.clear();
    chunk.failures.clear();
    for (std::size_t row = chunk.first_row; row < chunk.end_row; ++row) {
        if (const std::optional<std::string_view> base64_text = rows.text(row)) {
            const Outcome outcome = decode(kind, version, *base64_text, &chunk.text);
            if (outcome.ok()) {
                chunk.text.keep(outcome.json().size());
            } else {
                chunk.failures.push_back({row, outcome.status(), outcome.error()});
            }
        }
        chunk.ends.push_back(chunk.text.size());
    }
}

// The chunks in flight live in a ring of slots: chunk k in slot k % slots, decoded by whichever
// thread claims it, consumed by the calling thread in order.
class InOrderDecoder {
public:
    InOrderDecoder(std::string_view kind, std::uint64_t version, const RowTexts& rows, unsigned threads,
                   const std::function<bool(const DecodedChunk&)>& consume)
        : kind_(kind), version_(version), rows_(rows), consume_(consume) {
        const std::size_t average =
            std::max<std::size_t>(1, rows.total_bytes() / std::max<std::size_t>(1, rows.size()));
        rows_per_chunk_ = std::clamp<std::size_t>(chunk_input_bytes / average, 1, max_rows_per_chunk);
        chunk_count_ = (rows.size() + rows_per_chunk_ - 1) / rows_per_chunk_;
        threads_ = static_cast<unsigned>(std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(chunk_count_, 1)));
        slots_.resize(2 * static_cast<std::size_t>(threads_) + 2);
    }

    void run() {
        std::vector<std::thread> helpers;
        try {
            for (unsigned i = 1; i < threads_; ++i) helpers.emplace_back([this] { help(); });
        } catch (const std::system_error&) {  // NOLINT(bugprone-empty-catch): no more threads to be had, so
                                              // those started and this one do the work
        }
        try {
            lead();
        } catch (...) {
            stop(std::current_exception());
        }
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        changed_.notify_all();
        for (std::thread& helper : helpers) helper.join();
        if (fault_) std::rethrow_exception(fault_);
    }

private:
    struct Slot {
        DecodedChunk chunk;
        bool done = false;
    };

    Slot& slot_of(std::size_t chunk) { return slots_[chunk % slots_.size()]; }

    // Under the lock: whether a chunk may be claimed now (its slot is free).
    bool claimable() const { return next_claim_ < chunk_count_ && next_claim_ < next_consume_ + slots_.size(); }

    void decode(std::size_t chunk) {
        Slot& slot = slot_of(chunk);
        slot.chunk.first_row = chunk * rows_per_chunk_;
        slot.chunk.end_row = std::min(slot.chunk.first_row + rows_per_chunk_, rows_.size());
        decode_chunk(kind_, version_, rows_, slot.chunk);
        {
            std::lock_guard lock(mutex_);
            slot.done = true;
        }
        changed_.notify_all();
    }

    void help() {
        try {
            while (true) {
                std::size_t chunk;
                {
                    std::unique_lock lock(mutex_);
                    changed_.wait(lock, [this] { return stopped_ || claimable() || next_claim_ >= chunk_count_; });
                    if (stopped_ || next_claim_ >= chunk_count_) return;
                    chunk = next_claim_++;
                }
                decode(chunk);
            }
        } catch (...) {
            stop(std::current_exception());
        }
    }

    // The calling thread consumes the next chunk as soon as it is done, and decodes chunks
    // itself while it waits.
    void lead() {
        while (next_consume_ < chunk_count_) {
            std::size_t to_decode = chunk_count_;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [this] { return stopped_ || slot_of(next_consume_).done || claimable(); });
                if (stopped_) return;
                if (!slot_of(next_consume_).done) to_decode = next_claim_++;
            }
            if (to_decode != chunk_count_) {
                decode(to_decode);
                continue;
            }
            Slot& slot = slot_of(next_consume_);
            if (!consume_(slot.chunk)) return;
            {
                std::lock_guard lock(mutex_);
                slot.done = false;
                ++next_consume_;
            }
            changed_.notify_all();
        }
    }

    void stop(const std::exception_ptr& fault) {
        {
            std::lock_guard lock(mutex_);
            if (!fault_) fault_ = fault;
            stopped_ = true;
        }
        changed_.notify_all();
    }

    std::string_view kind_;
    std::uint64_t version_;
    const RowTexts& rows_;
    const std::function<bool(const DecodedChunk&)>& consume_;
    std::size_t rows_per_chunk_ = 1;
    std::size_t chunk_count_ = 0;
    unsigned threads_ = 1;
    std::vector<Slot> slots_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t next_claim_ = 0;
    std::size_t next_consume_ = 0;
    bool stopped_ = false;
    std::exception_ptr fault_;
};

}  // namespace

unsigned usable_cores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<unsigned>(count);
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

void decode_in_order(std::string_view kind, std::uint64_t version, const RowTexts& rows, unsigned threads,
                     const std::function<bool(const DecodedChunk&)>& consume) {
    InOrderDecoder(kind, version, rows, threads, consume).run();
}

}  // namespace velunda
