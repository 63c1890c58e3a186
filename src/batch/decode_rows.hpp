#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "codec/byte_buffer.hpp"
#include "decode.hpp"

namespace velunda {

// The base64 texts of a batch of rows, read by the worker threads: a list of Python strings
// converted up front, or the buffers of an Arrow string column.
class RowTexts {
public:
    virtual std::size_t size() const = 0;
    // All the rows' text bytes, to size the work units.
    virtual std::size_t total_bytes() const = 0;
    // The text of `row`, or nothing for a row that is absent (a null in a column).
    virtual std::optional<std::string_view> text(std::size_t row) const = 0;

protected:
    ~RowTexts() = default;
};

struct RowFailure {
    std::size_t row;
    Outcome::Status status;
    Error error;
};

struct BatchOptions {
    unsigned threads = 1;
    // Stop once a row has failed: the rows after the first failure may then stay undecoded.
    bool stop_at_first_failure = false;
};

// The JSON of every row of a batch, in row order: runs of consecutive rows (chunks) are decoded
// by whichever thread takes them, each into its own buffer; the rows' ends are kept as Arrow
// offsets, local to the chunk until join() makes them one text.
class DecodedRows {
public:
    DecodedRows(const DecodedRows&) = delete;
    DecodedRows& operator=(const DecodedRows&) = delete;
    DecodedRows(DecodedRows&&) noexcept = default;
    DecodedRows& operator=(DecodedRows&&) noexcept = default;
    ~DecodedRows();

    std::size_t size() const { return row_count_; }
    // Every failed row in row order (with stop_at_first_failure, the first one).
    const std::vector<RowFailure>& failures() const { return failures_; }

    // The JSON of `row`: empty for a failed or absent row.
    std::string_view json(std::size_t row) const;
    // Frees the JSON of the chunks that end at or before `row`, once its reader is done with it.
    void discard_before(std::size_t row);

    // Every row's JSON as one malloc'd text with size()+1 Arrow offsets (int64, also malloc'd),
    // both handed over to the caller; the chunks are freed. Each chunk is copied once, by
    // `threads` threads.
    struct Joined {
        char* text;
        std::size_t text_size;
        std::int64_t* offsets;
    };
    Joined join(unsigned threads);

private:
    friend DecodedRows decode_rows(std::string_view, std::uint64_t, const RowTexts&, const BatchOptions&);
    DecodedRows() = default;

    std::size_t row_count_ = 0;
    std::size_t rows_per_chunk_ = 1;
    std::vector<codec::ByteBuffer> chunks_;
    std::size_t first_kept_chunk_ = 0;
    struct FreeDeleter {
        void operator()(std::int64_t* offsets) const;
    };
    std::unique_ptr<std::int64_t[], FreeDeleter> offsets_;  // row_count_ + 1
    std::vector<RowFailure> failures_;
};

// Decodes every row with decode(kind, version, text) on `options.threads` threads (the calling
// thread among them). Throws what decoding throws (std::bad_alloc), once every thread is done.
DecodedRows decode_rows(std::string_view kind, std::uint64_t version, const RowTexts& rows, const BatchOptions& options);

// Runs work(unit) for every unit in [0, units) on up to `threads` threads, the calling thread
// among them, handing out units in increasing order. The first exception thrown stops the
// handing out and is rethrown here once every thread has finished.
void run_in_parallel(std::size_t units, unsigned threads, const std::function<void(std::size_t)>& work);

// The cores this process may run on.
unsigned usable_cores();

}  // namespace velunda
