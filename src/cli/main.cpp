// velunda-parse: converts files of payloads, one per line, to JSON Lines with the same decoder
// as the Python module.
//
// Lines are read in batches; worker threads decode whole batches, and the batches are written
// in input order. Only a bounded number of batches is ever in flight, so memory stays the same
// whatever the length of the input. The first failed write stops the run.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cli/input.hpp"
#include "cli/options.hpp"
#include "cli/output.hpp"
#include "cli/text.hpp"
#include "codec/byte_buffer.hpp"
#include "codec/static_text.hpp"
#include "decode.hpp"

namespace {

using velunda::codec::ByteBuffer;
using namespace velunda::cli;

struct Batch {
    std::size_t sequence = 0;
    const std::string* file_name = nullptr;
    ByteBuffer text;  // whole lines, each ended by '\n' except perhaps a file's last
    std::size_t first_line = 1;
    std::vector<std::size_t> too_long;  // lines dropped for their length, standing as empty lines
    ByteBuffer output;
    std::string errors;  // for standard error
    std::size_t failures = 0;
    std::size_t payloads = 0;
    bool starts_file = false;  // a header line may open it
    bool done = false;
};

// ---- Decoding ----------------------------------------------------------------------------------

struct LineFailure {
    std::string message;
    std::optional<std::size_t> offset;
    std::string path;
};

bool is_header(std::string_view line) { return line == "kind,version,b64_data"; }

constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";

// Decodes one line's payload onto `output` (with its '\n'), or returns why it failed.
std::optional<LineFailure> decode_line(std::string_view line, const Options& options, ByteBuffer& output) {
    std::string_view kind;
    std::uint64_t version = 0;
    std::string_view text = line;
    if (options.kind) {
        kind = *options.kind;
        version = *options.version;
    } else {
        const std::size_t first = line.find(',');
        const std::size_t second = first == std::string_view::npos ? first : line.find(',', first + 1);
        if (second == std::string_view::npos) return LineFailure{"expected kind,version,base64", {}, {}};
        kind = line.substr(0, first);
        const std::string_view version_text = line.substr(first + 1, second - first - 1);
        const auto number = parse_version(version_text);
        if (!number) {
            return LineFailure{"version is not a number from " + std::string(version_range) + ": '" + std::string(version_text) + "'",
                               {},
                               {}};
        }
        version = *number;
        text = line.substr(second + 1);
    }
    const velunda::Outcome outcome = velunda::decode(kind, version, text, &output);
    if (outcome.ok()) {
        output.keep(outcome.json().size());
        output.append("\n");
        return std::nullopt;
    }
    LineFailure failure{outcome.message(kind), {}, {}};
    if (outcome.status() == velunda::Outcome::Status::failed) {
        failure.offset = outcome.error().offset();
        failure.path = outcome.error().path;
    }
    return failure;
}

void append_json_string(std::string& out, std::string_view text) {
    const std::size_t at = out.size();
    out.resize(at + velunda::codec::quoted_size(text));
    velunda::codec::write_quoted(out.data() + at, text);
}

// A failure as the user sees it: in place in the output, or on standard error. Messages quote
// the line's own bytes, which need not be UTF-8: they are made valid first.
void report(Batch& batch, const Options& options, std::size_t line_number, const LineFailure& failure) {
    ++batch.failures;
    const std::string message = valid_utf8(failure.message);
    if (options.inline_errors) {
        std::string record = "{\"error\":";
        append_json_string(record, message);
        record += ",\"line\":" + std::to_string(line_number) + "}\n";
        batch.output.append(record);
        return;
    }
    std::string line = valid_utf8(*batch.file_name) + ":" + std::to_string(line_number) + ": " + message;
    if (failure.offset) {
        line += " (at byte " + std::to_string(*failure.offset);
        if (!failure.path.empty()) line += ", " + failure.path;
        line += ")";
    }
    batch.errors += line + "\n";
}

void decode_batch(Batch& batch, const Options& options) {
    bool header_allowed = batch.starts_file;
    std::size_t line_number = batch.first_line;
    auto too_long = batch.too_long.begin();
    std::string_view lines = batch.text.text();
    if (batch.starts_file && lines.starts_with(byte_order_mark)) lines.remove_prefix(byte_order_mark.size());
    for (std::size_t begin = 0; begin < lines.size(); ++line_number) {
        std::size_t end = lines.find('\n', begin);
        if (end == std::string_view::npos) end = lines.size();
        std::string_view text = lines.substr(begin, end - begin);
        begin = end + 1;
        if (too_long != batch.too_long.end() && *too_long == line_number) {
            ++too_long;
            ++batch.payloads;
            header_allowed = false;
            report(batch, options, line_number,
                   {"line longer than " + std::to_string(options.max_line_bytes) + " bytes (--max-line-bytes)", {}, {}});
            continue;
        }
        if (text.ends_with('\r')) text.remove_suffix(1);
        if (text.empty()) continue;
        const bool first_line = header_allowed;
        header_allowed = false;
        if (first_line && !options.kind && is_header(text)) continue;
        ++batch.payloads;
        if (const std::optional<LineFailure> failure = decode_line(text, options, batch.output)) {
            report(batch, options, line_number, *failure);
        }
    }
}

// ---- The pipeline --------------------------------------------------------------------------

class Pipeline {
public:
    Pipeline(const Options& options, Output& output) : options_(options), output_(output) {}

    enum class Ending : std::uint8_t { complete, unreadable, unwritable };

    // Reads every input through the workers and the writer, opening one input at a time.
    Ending run(const std::vector<std::string>& inputs) {
        started_ = std::chrono::steady_clock::now();
        std::vector<std::thread> workers;
        for (unsigned i = 0; i < options_.jobs; ++i) workers.emplace_back([this] { work(); });
        std::thread writer([this] { write(); });

        bool readable = true;
        std::size_t sequence = 0;
        try {
            for (const std::string& input : inputs) {
                if (stop_) break;
                const std::string name = input == "-" ? "<stdin>" : input;
                const int fd = input == "-" ? STDIN_FILENO : open(input.c_str(), O_RDONLY | O_CLOEXEC);
                if (fd < 0) {
                    std::fprintf(stderr, "velunda-parse: %s: %s\n", valid_utf8(name).c_str(), std::strerror(errno));
                    readable = false;
                    break;
                }
                file_names_.push_back(std::make_unique<std::string>(name));
                LineReader reader(fd, options_.max_line_bytes);
                bool first_batch = true;
                while (!stop_) {
                    std::unique_ptr<Batch> batch = take_spare();
                    batch->file_name = file_names_.back().get();
                    LineReader::Batch lines{&batch->text, 1, &batch->too_long};
                    if (!reader.fill(lines, batch_bytes, stop_)) break;
                    batch->first_line = lines.first_line;
                    batch->sequence = sequence++;
                    batch->starts_file = first_batch;
                    first_batch = false;
                    submit(std::move(batch));
                }
                if (fd != STDIN_FILENO) close(fd);
                if (reader.error() != 0) {
                    std::fprintf(stderr, "velunda-parse: %s: read error: %s\n", valid_utf8(name).c_str(),
                                 std::strerror(reader.error()));
                    readable = false;
                    break;
                }
            }
        } catch (...) {
            stop(std::current_exception());
        }
        {
            std::lock_guard lock(mutex_);
            reading_done_ = true;
            total_batches_ = sequence;
        }
        work_ready_.notify_all();
        written_.notify_all();
        for (std::thread& worker : workers) worker.join();
        writer.join();
        if (fault_) std::rethrow_exception(fault_);
        finish_progress();
        if (write_error_ != 0) return Ending::unwritable;
        return readable ? Ending::complete : Ending::unreadable;
    }

    std::size_t failures() const { return failures_; }
    int write_error() const { return write_error_; }

private:
    static constexpr std::size_t batch_bytes = 1 << 20;

    // Written batches come back for reuse with their buffers' capacity, so that after the first
    // few no batch costs fresh memory (whose page faults took a fifth of the run).
    std::unique_ptr<Batch> take_spare() {
        std::unique_ptr<Batch> batch;
        {
            std::lock_guard lock(mutex_);
            if (!spare_.empty()) {
                batch = std::move(spare_.back());
                spare_.pop_back();
            }
        }
        if (!batch) return std::make_unique<Batch>();
        batch->output.clear();
        batch->text.clear();
        batch->errors.clear();
        batch->too_long.clear();
        batch->failures = batch->payloads = 0;
        batch->done = false;
        return batch;
    }

    void submit(std::unique_ptr<Batch> batch) {
        std::unique_lock lock(mutex_);
        // At most a few batches per worker in flight: memory does not grow with the input.
        room_.wait(lock, [this] { return in_flight_.size() < 2 * options_.jobs + 2 || stop_; });
        Batch* raw = batch.get();
        in_flight_.push_back(std::move(batch));
        pending_work_.push_back(raw);
        work_ready_.notify_one();
    }

    void stop(std::exception_ptr fault = nullptr) {
        {
            std::lock_guard lock(mutex_);
            if (fault && !fault_) fault_ = fault;
            stop_ = true;
        }
        room_.notify_all();
        work_ready_.notify_all();
        written_.notify_all();
    }

    void work() {
        while (true) {
            Batch* batch = nullptr;
            {
                std::unique_lock lock(mutex_);
                work_ready_.wait(lock, [this] { return !pending_work_.empty() || reading_done_ || stop_; });
                if (pending_work_.empty() || stop_) return;
                batch = pending_work_.front();
                pending_work_.pop_front();
            }
            try {
                decode_batch(*batch, options_);
            } catch (...) {
                stop(std::current_exception());
                return;
            }
            {
                std::lock_guard lock(mutex_);
                batch->done = true;
            }
            written_.notify_all();
        }
    }

    void write() {
        for (std::size_t next = 0;; ++next) {
            std::unique_ptr<Batch> batch;
            {
                std::unique_lock lock(mutex_);
                written_.wait(lock, [&] {
                    return stop_ || (!in_flight_.empty() && in_flight_.front()->done) || (reading_done_ && next >= total_batches_);
                });
                if (stop_ || in_flight_.empty()) return;
                batch = std::move(in_flight_.front());
                in_flight_.pop_front();
            }
            room_.notify_one();
            if (const int error = output_.write(batch->output.text())) {
                write_error_ = error;
                stop();
                return;
            }
            if (!batch->errors.empty()) {
                clear_progress();
                std::fwrite(batch->errors.data(), 1, batch->errors.size(), stderr);
            }
            failures_ += batch->failures;
            payloads_ += batch->payloads;
            bytes_ += batch->text.size();
            show_progress();
            std::lock_guard lock(mutex_);
            spare_.push_back(std::move(batch));
        }
    }

    // The progress line: only on a terminal, only once the work has taken a second.
    void show_progress(bool final = false) {
        if (options_.quiet || !stderr_is_terminal_) return;
        const auto now = std::chrono::steady_clock::now();
        if (final ? !progress_shown_
                  : now - started_ < std::chrono::seconds(1) || now - last_progress_ < std::chrono::milliseconds(250)) {
            return;
        }
        last_progress_ = now;
        const double seconds = std::chrono::duration<double>(now - started_).count();
        std::fprintf(stderr, "\r%zu records, %.0f records/s, %.1f MB read ", payloads_, payloads_ / seconds, bytes_ / 1e6);
        progress_shown_ = true;
    }
    void clear_progress() {
        if (progress_shown_) std::fputs("\r\033[K", stderr);
    }
    // The totals, in the progress line's place, once it has been shown.
    void finish_progress() {
        show_progress(true);
        if (progress_shown_) std::fputc('\n', stderr);
    }

    const Options& options_;
    Output& output_;
    std::vector<std::unique_ptr<std::string>> file_names_;
    std::mutex mutex_;
    std::condition_variable work_ready_, written_, room_;
    std::deque<std::unique_ptr<Batch>> in_flight_;  // in input order
    std::deque<Batch*> pending_work_;
    std::vector<std::unique_ptr<Batch>> spare_;
    bool reading_done_ = false;
    std::atomic<bool> stop_{false};
    std::exception_ptr fault_;
    int write_error_ = 0;
    std::size_t total_batches_ = 0;
    std::size_t failures_ = 0, payloads_ = 0, bytes_ = 0;
    const bool stderr_is_terminal_ = isatty(STDERR_FILENO) != 0;
    bool progress_shown_ = false;
    std::chrono::steady_clock::time_point started_, last_progress_;
};

int fail(const std::string& what, const std::string& reason) {
    std::fprintf(stderr, "velunda-parse: %s: %s\n", valid_utf8(what).c_str(), reason.c_str());
    return 2;
}

// The JSON Schemas the layouts declare: one, or all keyed "<kind>/<version>".
int print_schema(const Options::SchemaRequest& request) {
    std::string out;
    if (request.kind.empty()) {
        out += '{';
        for (const auto& [kind, version] : velunda::supported_layouts()) {
            if (out.size() > 1) out += ',';
            out += '"';
            out += kind;
            out += '/';
            out += std::to_string(version);
            out += "\":";
            out += *velunda::json_schema(kind, version);
        }
        out += '}';
    } else if (auto schema = velunda::json_schema(request.kind, request.version)) {
        out = std::move(*schema);
    } else {
        std::fprintf(stderr, "velunda-parse: no layout for kind '%s' version %llu\nTry 'velunda-parse --help' for more information.\n",
                     valid_utf8(request.kind).c_str(), static_cast<unsigned long long>(request.version));
        return 2;
    }
    out += '\n';
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : fail("write error", std::strerror(errno));
}

int convert(const Options& options) {
    // Every input is checked before any output, so a bad name stops the run with nothing written.
    int status = 0;
    for (const std::string& name : options.inputs) {
        if (auto problem = input_problem(name)) status = fail(name, *problem);
    }
    if (status != 0) return status;
    if (auto same = input_that_is_output(options.inputs, options.output)) {
        return fail(options.output.value_or("<stdout>"), "is also an input (" + *same + "); refusing to overwrite it");
    }
    Output output;
    if (auto problem = output.open(options.output)) return fail(output.name(), *problem);
    Pipeline pipeline(options, output);
    switch (pipeline.run(options.inputs)) {
        case Pipeline::Ending::unreadable:
            return 2;
        case Pipeline::Ending::unwritable:
            return fail("write error", std::strerror(pipeline.write_error()));
        case Pipeline::Ending::complete:
            break;
    }
    if (const int error = output.commit()) return fail("write error", std::strerror(error));
    return pipeline.failures() > 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        std::optional<Options> options;
        try {
            options = parse_options(argc, argv);
        } catch (const UsageError& error) {
            std::fprintf(stderr, "velunda-parse: %s\nTry 'velunda-parse --help' for more information.\n", error.message().c_str());
            return 2;
        }
        if (!options) return 0;
        if (options->schema) return print_schema(*options->schema);
        return convert(*options);
    } catch (const std::bad_alloc&) {
        std::fputs("velunda-parse: out of memory\n", stderr);
    } catch (const std::exception& fault) {
        std::fprintf(stderr, "velunda-parse: internal error: %s\n", fault.what());
    }
    return 2;
}
