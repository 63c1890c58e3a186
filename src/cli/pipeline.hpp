#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/options.hpp"
#include "cli/output.hpp"

namespace velunda::cli {

enum class Ending : std::uint8_t { complete, unreadable, unwritable };

struct RunResult {
    Ending ending;
    std::size_t failures;  // lines that failed
    int write_error;       // the errno of the failed write, for Ending::unwritable
};

// Reads every input, one at a time, in batches of whole lines; worker threads decode the batches
// and one writer puts them out in input order. Only a few batches per worker are in flight, so
// memory does not grow with the input. The first failed write stops everything. Throws what
// decoding throws (std::bad_alloc) once every thread has stopped.
RunResult run_pipeline(const Options& options, Output& output);

}  // namespace velunda::cli
