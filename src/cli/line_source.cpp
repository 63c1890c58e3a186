#include "cli/line_source.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "cli/text.hpp"

namespace velunda::cli {

namespace {

// Chunks of about this much input: a few read(2) calls each, and their JSON stays in cache.
constexpr std::size_t chunk_bytes = 256 * 1024;

constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";

bool is_header(std::string_view line) { return line == "kind,version,b64_data"; }

}  // namespace

LineSource::LineSource(const Options& options) : options_(options) {
    for (const std::string& input : options.inputs) names_.push_back(input == "-" ? "<stdin>" : input);
}

LineSource::~LineSource() { close_current(); }

bool LineSource::open_next() {
    const std::string& input = options_.inputs[next_input_];
    const int fd = input == "-" ? STDIN_FILENO : open(input.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "velunda-parse: %s: %s\n", printable(names_[next_input_]).c_str(), std::strerror(errno));
        return false;
    }
    fd_ = fd;
    reader_ = std::make_unique<LineReader>(fd, options_.max_line_bytes);
    file_started_ = false;
    return true;
}

void LineSource::close_current() {
    if (fd_ > STDERR_FILENO) close(fd_);
    fd_ = -1;
    reader_.reset();
}

batch::ChunkStages::Filled LineSource::fill(batch::ChunkRows& rows, bool may_wait, const std::atomic<bool>& stop) {
    using Filled = batch::ChunkStages::Filled;
    auto& chunk = static_cast<FileLines&>(rows);
    while (!unreadable_ && next_input_ < options_.inputs.size()) {
        if (!reader_ && !open_next()) {
            unreadable_ = true;
            break;
        }
        const LineReader::Got got = reader_->fill(chunk.lines, chunk_bytes, may_wait, stop);
        if (got == LineReader::Got::nothing_yet) return Filled::not_now;
        if (got == LineReader::Got::lines) {
            chunk.file_name = &names_[next_input_];
            chunk.starts_file = !file_started_;
            file_started_ = true;
            return Filled::chunk;
        }
        if (stop.load(std::memory_order_relaxed)) break;
        if (const int error = reader_->error()) {
            std::fprintf(stderr, "velunda-parse: %s: read error: %s\n", printable(names_[next_input_]).c_str(),
                         std::strerror(error));
            unreadable_ = true;
        }
        close_current();
        ++next_input_;
    }
    return Filled::none_left;
}

void LineSource::read_row(std::size_t line_number, std::string_view line, batch::RowVisitor& visitor) const {
    if (options_.kind && options_.version) {
        visitor.payload(line_number, *options_.kind, *options_.version, line);
        return;
    }
    const std::size_t first = line.find(',');
    const std::size_t second = first == std::string_view::npos ? first : line.find(',', first + 1);
    if (second == std::string_view::npos) {
        visitor.unreadable(line_number, "expected kind,version,base64");
        return;
    }
    const std::string_view version_text = line.substr(first + 1, second - first - 1);
    const auto version = parse_version(version_text);
    if (!version) {
        visitor.unreadable(line_number, "version is not a number from " + std::string(version_range) + ": '" +
                                            std::string(version_text) + "'");
        return;
    }
    visitor.payload(line_number, line.substr(0, first), *version, line.substr(second + 1));
}

void LineSource::visit(const batch::ChunkRows& rows, batch::RowVisitor& visitor) const {
    const auto& chunk = static_cast<const FileLines&>(rows);
    const Lines& lines = chunk.lines;
    bool header_allowed = chunk.starts_file;
    std::size_t line_number = lines.first_line;
    auto too_long = lines.too_long.begin();
    std::string_view text = lines.text.text();
    if (chunk.starts_file && text.starts_with(byte_order_mark)) text.remove_prefix(byte_order_mark.size());
    for (std::size_t begin = 0; begin < text.size(); ++line_number) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(begin, end - begin);
        begin = end + 1;
        if (too_long != lines.too_long.end() && *too_long == line_number) {
            ++too_long;
            header_allowed = false;
            visitor.unreadable(line_number, "line longer than " + std::to_string(options_.max_line_bytes) +
                                                " bytes (--max-line-bytes)");
            continue;
        }
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (line.empty()) continue;
        const bool first_line = header_allowed;
        header_allowed = false;
        if (first_line && !options_.kind && is_header(line)) continue;
        read_row(line_number, line, visitor);
    }
}

}  // namespace velunda::cli
