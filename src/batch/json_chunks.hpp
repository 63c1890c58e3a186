#pragma once

// Batches decoded to JSON text: every caller's rows (parse_many, parse_arrow, the command) go
// through this one chunk type on the batch core.

#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "batch/rows.hpp"
#include "codec/byte_buffer.hpp"

namespace velunda::batch {

// One chunk: the rows its source put in it, and what decoding made of them. Slots keep their
// buffers from chunk to chunk, so after the first few no chunk costs fresh memory.
struct Chunk {
    std::unique_ptr<ChunkRows> rows;
    std::size_t first_row = 0;         // the number of the first row the source handed over
    codec::ByteBuffer text;            // each decoded row's JSON, then the row end, back to back
    std::vector<std::size_t> ends;     // per row handed over: where its text ends
    std::vector<RowFailure> failures;  // in row order

    // The text of the `at`-th row handed over (empty for a row that failed or was absent).
    std::string_view json(std::size_t at) const {
        const std::size_t begin = at == 0 ? 0 : ends[at - 1];
        return text.text().substr(begin, ends[at] - begin);
    }
};

struct JsonBatch {
    RowSource& source;
    unsigned threads;
    std::string_view row_end;  // written after each row's JSON ("\n" for JSON Lines)
    // Takes each decoded chunk on the calling thread, in order; false stops the batch.
    std::function<bool(const Chunk&)> consume;
    // Asked on the calling thread between chunks; false stops the batch.
    std::function<bool()> keep_going = {};
    // Told on the decoding thread, of each chunk it has just decoded.
    std::function<void(const Chunk&)> decoded = {};
    ThreadStarter start_thread = {};
};

// Decodes every row of the batch's source to JSON on the batch core: true when every chunk was
// consumed, false when `consume` or `keep_going` stopped it. Throws what a stage threw, once
// every thread has stopped.
bool decode_in_order(const JsonBatch& batch);

}  // namespace velunda::batch
