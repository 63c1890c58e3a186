#include "cli/input.hpp"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>

namespace velunda::cli {

namespace {

// A stream quiet for this long has its complete lines decoded and written: `tail -f` streams.
constexpr int quiet_spell_ms = 100;
// While waiting for a line to end, the reader looks up this often for a reason to stop.
constexpr int stop_check_ms = 100;

}  // namespace

std::optional<std::string> input_problem(const std::string& name) {
    if (name == "-") return std::nullopt;
    struct stat info;
    if (stat(name.c_str(), &info) != 0) return std::strerror(errno);
    if (S_ISDIR(info.st_mode)) return std::strerror(EISDIR);
    if (access(name.c_str(), R_OK) != 0) return std::strerror(errno);
    return std::nullopt;
}

bool LineReader::wait_for_input(int quiet_ms) {
    pollfd waiting{fd_, POLLIN, 0};
    while (true) {
        const int ready = poll(&waiting, 1, quiet_ms);
        if (ready > 0) return true;
        if (ready == 0) return false;
        if (errno != EINTR) return true;  // the read reports it
    }
}

// Removes [from, to) of the text, moving what follows down.
void erase(codec::ByteBuffer& text, std::size_t from, std::size_t to) {
    char* const data = const_cast<char*>(text.data());
    std::memmove(data + from, data + to, text.size() - to);
    text.truncate(text.size() - (to - from));
}

// Universal newlines: a lone CR ends a line as LF does, so it becomes one; the CR of a CRLF
// stays (rows drop it). A CR that is the last byte read waits, as the next byte may be its LF.
void end_lone_carriage_returns(codec::ByteBuffer& text, std::size_t from) {
    char* const data = const_cast<char*>(text.data());
    const std::size_t size = text.size();
    for (std::size_t at = from; at < size;) {
        const void* found = std::memchr(data + at, '\r', size - at);
        if (found == nullptr) return;
        const auto cr = static_cast<std::size_t>(static_cast<const char*>(found) - data);
        if (cr + 1 < size && data[cr + 1] != '\n') data[cr] = '\n';
        at = cr + 1;
    }
}

// The length a line counts towards the limit: without the CR of its CRLF (or a CR that waits to
// be one).
std::size_t counted_length(const codec::ByteBuffer& text, std::size_t start, std::size_t end) {
    return end - start - (end > start && text.data()[end - 1] == '\r' ? 1 : 0);
}

// Adopts the bytes read at [from, end) of the run: ends the lines they end, counts them, and
// drops what belongs to a line too long to keep.
void LineReader::take(Lines& lines, std::size_t from) {
    codec::ByteBuffer& text = lines.text;
    // A CR left waiting by the last read is a line's end unless this read begins with its LF.
    std::size_t at = from > 0 && text.data()[from - 1] == '\r' ? from - 1 : from;
    end_lone_carriage_returns(text, at);
    while (at < text.size()) {
        const void* found = std::memchr(text.data() + at, '\n', text.size() - at);
        const std::size_t end =
            found != nullptr ? static_cast<std::size_t>(static_cast<const char*>(found) - text.data()) : text.size();
        if (dropping_) {
            // The line's stand-in end was written when dropping began; its own end goes too.
            erase(text, at, found != nullptr ? end + 1 : end);
            dropping_ = found == nullptr;
            continue;
        }
        if (counted_length(text, line_start_, end) > max_line_bytes_) {
            lines.too_long.push_back(next_line_++);
            if (found != nullptr) {
                erase(text, line_start_, end);  // its '\n' stays, as an empty line
                line_start_ = at = line_start_ + 1;
                continue;
            }
            text.truncate(line_start_);
            text.append("\n");
            line_start_ = at = text.size();
            dropping_ = true;
            continue;
        }
        if (found == nullptr) return;
        ++next_line_;
        line_start_ = at = end + 1;
    }
}

LineReader::Got LineReader::fill(Lines& lines, std::size_t block_size, bool may_wait,
                                 const std::atomic<bool>& stop_requested) {
    codec::ByteBuffer& text = lines.text;
    text.clear();
    lines.too_long.clear();
    text.append(carry_);
    carry_.clear();
    lines.first_line = next_line_;
    line_start_ = 0;
    while (!at_end_) {
        const bool has_lines = line_start_ > 0;
        if (has_lines && text.size() >= block_size) break;
        const int quiet_ms = !may_wait ? 0 : has_lines ? quiet_spell_ms : stop_check_ms;
        if (!wait_for_input(quiet_ms)) {
            if (has_lines) break;
            if (!may_wait) {
                // Not a whole line yet: what has come waits for the next fill.
                carry_.assign(text.data(), text.size());
                return Got::nothing_yet;
            }
            if (stop_requested.load(std::memory_order_relaxed)) return Got::end;
            continue;
        }
        const std::size_t before = text.size();
        char* room = text.resize(block_size);
        if (room == nullptr) throw std::bad_alloc();
        const ssize_t got = read(fd_, room, block_size);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            error_ = errno;
            at_end_ = true;
            break;
        }
        if (got == 0) {
            at_end_ = true;
            break;
        }
        text.keep(static_cast<std::size_t>(got));
        take(lines, before);
    }
    if (!at_end_) {
        // The unfinished line waits for the next run.
        carry_.assign(text.data() + line_start_, text.size() - line_start_);
        text.truncate(line_start_);
    } else if (line_start_ < text.size()) {
        ++next_line_;  // the input's last line, without an end
    }
    return text.size() != 0 || !lines.too_long.empty() ? Got::lines : Got::end;
}

}  // namespace velunda::cli
