#pragma once

#include <cstddef>
#include <cstdint>

#include "cli/options.hpp"
#include "cli/output.hpp"

namespace velunda::cli {

enum class Ending : std::uint8_t { complete, unreadable, unwritable };

struct RunResult {
    Ending ending;
    std::size_t failures;  // lines that failed
    int write_error;       // the errno of the failed write, for Ending::unwritable
};

// Converts every input, one at a time, on the batch core: the lines are decoded on worker
// threads in chunks, and each chunk is written out in input order with its failures reported.
// The first failed write stops everything. Throws what decoding throws (std::bad_alloc) once
// every thread has stopped.
RunResult convert_inputs(const Options& options, Output& output);

}  // namespace velunda::cli
