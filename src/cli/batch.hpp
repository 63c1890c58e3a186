#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "cli/options.hpp"
#include "codec/byte_buffer.hpp"

namespace velunda::cli {

// A run of whole lines of one input, and what decoding them gave: the JSON Lines (with failures
// in place under --errors inline) and the failures' reports for standard error.
struct Batch {
    std::size_t sequence = 0;
    const std::string* file_name = nullptr;
    codec::ByteBuffer text;  // whole lines, each ended by '\n' except perhaps a file's last
    std::size_t first_line = 1;
    std::vector<std::size_t> too_long;  // lines dropped for their length, standing as empty lines
    codec::ByteBuffer output;
    std::string errors;  // for standard error
    std::size_t failures = 0;
    std::size_t payloads = 0;
    bool starts_file = false;  // a header line may open it
    bool done = false;
};

// Decodes every line of the batch into its output and reports.
void decode_batch(Batch& batch, const Options& options);

}  // namespace velunda::cli
