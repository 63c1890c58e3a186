#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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

// A run of consecutive rows, decoded: their JSON back to back (failed and absent rows have
// none), where each row's JSON ends, and the failures in row order.
struct DecodedChunk {
    std::size_t first_row = 0;
    std::size_t end_row = 0;
    codec::ByteBuffer text;
    std::vector<std::size_t> ends;
    std::vector<RowFailure> failures;

    std::string_view json(std::size_t row) const {
        const std::size_t at = row - first_row;
        const std::size_t begin = at == 0 ? 0 : ends[at - 1];
        return text.text().substr(begin, ends[at] - begin);
    }
};

// Decodes every row with decode(kind, version, text) on `threads` threads (the calling thread
// among them) and hands the chunks to `consume` on the calling thread, in row order, each once.
// Only a few chunks are in flight at a time and their buffers are reused, so the JSON is
// written into memory that is already warm and the working memory does not grow with the batch.
// `consume` returns false to stop: the chunks after it are then left undecoded. Throws what
// decoding or `consume` throws, once every thread has finished.
void decode_in_order(std::string_view kind, std::uint64_t version, const RowTexts& rows, unsigned threads,
                     const std::function<bool(const DecodedChunk&)>& consume);

// The cores this process may run on.
unsigned usable_cores();

}  // namespace velunda
