#include "batch/decode_rows.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <thread>

namespace velunda {

namespace {

// A work unit is a run of rows with about this much input: large enough that handing it out
// costs nothing next to decoding it, small enough that the threads finish close together.
constexpr std::size_t unit_input_bytes = 64 * 1024;
constexpr std::size_t max_rows_per_unit = 16 * 1024;

template <class Number>
Number* allocate_array(std::size_t count) {
    if (count > SIZE_MAX / sizeof(Number)) throw std::bad_alloc();
    void* memory = std::malloc(std::max<std::size_t>(count * sizeof(Number), 1));
    if (memory == nullptr) throw std::bad_alloc();
    return static_cast<Number*>(memory);
}

}  // namespace

unsigned usable_cores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<unsigned>(count);
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

void run_in_parallel(std::size_t units, unsigned threads, const std::function<void(std::size_t)>& work) {
    std::atomic<std::size_t> next_unit{0};
    std::atomic<bool> stop{false};
    std::exception_ptr first_fault;
    std::mutex fault_mutex;
    const auto run = [&] {
        while (!stop.load(std::memory_order_relaxed)) {
            const std::size_t unit = next_unit.fetch_add(1, std::memory_order_relaxed);
            if (unit >= units) return;
            try {
                work(unit);
            } catch (...) {
                std::lock_guard lock(fault_mutex);
                if (!first_fault) first_fault = std::current_exception();
                stop = true;
            }
        }
    };
    const std::size_t helpers = std::min<std::size_t>(std::max(threads, 1u), units) - (units > 0 ? 1 : 0);
    std::vector<std::thread> started;
    started.reserve(helpers);
    try {
        for (std::size_t i = 0; i < helpers; ++i) started.emplace_back(run);
    } catch (...) {
        // No thread to be had: the threads already started and this one do the work.
    }
    run();
    for (std::thread& thread : started) thread.join();
    if (first_fault) std::rethrow_exception(first_fault);
}

void DecodedRows::FreeDeleter::operator()(std::int64_t* offsets) const { std::free(offsets); }

DecodedRows::~DecodedRows() = default;

std::string_view DecodedRows::json(std::size_t row) const {
    const std::size_t chunk = row / rows_per_chunk_;
    const std::size_t begin = row % rows_per_chunk_ == 0 ? 0 : static_cast<std::size_t>(offsets_[row]);
    const std::size_t end = static_cast<std::size_t>(offsets_[row + 1]);
    return std::string_view(chunks_[chunk].data() + begin, end - begin);
}

void DecodedRows::discard_before(std::size_t row) {
    while (first_kept_chunk_ < chunks_.size() && (first_kept_chunk_ + 1) * rows_per_chunk_ <= row) {
        chunks_[first_kept_chunk_++] = codec::ByteBuffer();
    }
}

DecodedRows::Joined DecodedRows::join(unsigned threads) {
    std::vector<std::size_t> bases(chunks_.size() + 1, 0);
    for (std::size_t chunk = 0; chunk < chunks_.size(); ++chunk) bases[chunk + 1] = bases[chunk] + chunks_[chunk].size();
    const std::size_t text_size = bases.back();
    char* text = allocate_array<char>(text_size);
    try {
        run_in_parallel(chunks_.size(), threads, [&](std::size_t chunk) {
            const codec::ByteBuffer& part = chunks_[chunk];
            if (part.size() != 0) std::memcpy(text + bases[chunk], part.data(), part.size());
            const std::size_t first = chunk * rows_per_chunk_;
            const std::size_t end = std::min(first + rows_per_chunk_, row_count_);
            const auto base = static_cast<std::int64_t>(bases[chunk]);
            for (std::size_t row = first; row < end; ++row) offsets_[row + 1] += base;
        });
    } catch (...) {
        std::free(text);
        throw;
    }
    chunks_.clear();
    return {text, text_size, offsets_.release()};
}

DecodedRows decode_rows(std::string_view kind, std::uint64_t version, const RowTexts& rows, const BatchOptions& options) {
    DecodedRows decoded;
    decoded.row_count_ = rows.size();
    const std::size_t average_bytes = std::max<std::size_t>(1, rows.total_bytes() / std::max<std::size_t>(1, rows.size()));
    decoded.rows_per_chunk_ = std::clamp<std::size_t>(unit_input_bytes / average_bytes, 1, max_rows_per_unit);
    const std::size_t chunk_count = (decoded.row_count_ + decoded.rows_per_chunk_ - 1) / decoded.rows_per_chunk_;
    decoded.chunks_.resize(chunk_count);
    decoded.offsets_.reset(allocate_array<std::int64_t>(decoded.row_count_ + 1));
    decoded.offsets_[0] = 0;

    std::vector<std::vector<RowFailure>> chunk_failures(chunk_count);
    std::atomic<std::size_t> first_failed_chunk{SIZE_MAX};
    run_in_parallel(chunk_count, options.threads, [&](std::size_t chunk) {
        if (chunk > first_failed_chunk.load(std::memory_order_relaxed)) return;
        codec::ByteBuffer& text = decoded.chunks_[chunk];
        std::int64_t* const offsets = decoded.offsets_.get();
        const std::size_t first = chunk * decoded.rows_per_chunk_;
        const std::size_t end = std::min(first + decoded.rows_per_chunk_, decoded.row_count_);
        for (std::size_t row = first; row < end; ++row) {
            if (const std::optional<std::string_view> base64_text = rows.text(row)) {
                const Outcome outcome = decode(kind, version, *base64_text, &text);
                if (outcome.ok()) {
                    text.keep(outcome.json().size());
                } else {
                    chunk_failures[chunk].push_back({row, outcome.status(), outcome.error()});
                    if (options.stop_at_first_failure) {
                        std::size_t seen = first_failed_chunk.load();
                        while (chunk < seen && !first_failed_chunk.compare_exchange_weak(seen, chunk)) {
                        }
                        break;
                    }
                }
            }
            offsets[row + 1] = static_cast<std::int64_t>(text.size());
        }
    });
    for (std::vector<RowFailure>& failures : chunk_failures) {
        decoded.failures_.insert(decoded.failures_.end(), std::make_move_iterator(failures.begin()),
                                 std::make_move_iterator(failures.end()));
        if (options.stop_at_first_failure && !decoded.failures_.empty()) break;
    }
    return decoded;
}

}  // namespace velunda
