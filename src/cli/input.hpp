#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codec/byte_buffer.hpp"

namespace velunda::cli {

// Why an input cannot be read ("No such file or directory", "Is a directory"), checked up front
// so that a bad name stops the run before anything is written; nothing when it can be read.
std::optional<std::string> input_problem(const std::string& name);

// A run of whole lines of one input, each ended by '\n' except perhaps the input's last. A line
// dropped for its length stands as an empty line, its number recorded.
struct Lines {
    codec::ByteBuffer text;
    std::size_t first_line = 1;         // the number of its first line
    std::vector<std::size_t> too_long;  // numbers of the lines dropped for their length
};

// Whole lines of one input, a run at a time. Reads with read(2) and waits with poll(2), so
// that a slow stream hands over the complete lines it has after a short quiet spell rather than
// waiting for a full block. A line longer than the limit is dropped as it is read (memory stays
// bounded whatever the input) and stands in the run as an empty line, its number recorded.
class LineReader {
public:
    LineReader(int fd, std::size_t max_line_bytes) : fd_(fd), max_line_bytes_(max_line_bytes) {}

    enum class Got : std::uint8_t { lines, end, nothing_yet };

    // Fills `lines` with about `block_size` bytes of whole lines, or fewer once the input has
    // been quiet for a while. `end` when the input is exhausted (or unreadable: see error()), or
    // when `stop_requested` becomes true while waiting. Without `may_wait` it never waits: what
    // has come is handed over, and with no whole line yet it answers `nothing_yet`.
    Got fill(Lines& lines, std::size_t block_size, bool may_wait, const std::atomic<bool>& stop_requested);

    // The errno of a failed read, or 0.
    int error() const { return error_; }

private:
    // Waits for input; false when `quiet_ms` passed without any.
    bool wait_for_input(int quiet_ms);
    void take(Lines& lines, std::size_t from);

    int fd_;
    std::size_t max_line_bytes_;
    std::string carry_;      // the start of the line that the last run ended inside
    bool dropping_ = false;  // inside a line too long to keep, until its end
    bool at_end_ = false;
    int error_ = 0;
    std::size_t next_line_ = 1;   // the number of the line carry_ starts
    std::size_t line_start_ = 0;  // in the run being filled: where its unfinished line starts
};

}  // namespace velunda::cli
