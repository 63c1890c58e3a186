// velunda-parse: converts files of payloads, one per line, to JSON Lines with the same decoder
// as the Python module.
//
// Lines are read in batches; worker threads decode whole batches, and the batches are written
// in input order. Only a bounded number of batches is ever in flight, so memory stays the same
// whatever the length of the input.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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

#include "codec/byte_buffer.hpp"
#include "codec/static_text.hpp"
#include "decode.hpp"

#ifndef VELUNDA_VERSION
#define VELUNDA_VERSION "unknown"
#endif

namespace {

constexpr std::string_view usage_text =
    "usage: velunda-parse [options] [FILE ...]\n"
    "\n"
    "Decodes payloads, one per line, to JSON Lines on standard output, in input order.\n"
    "Each line is kind,version,base64 (a header line kind,version,b64_data is skipped),\n"
    "or only the base64 text when --kind and --version are given. With no FILE, or\n"
    "when FILE is -, standard input is read.\n"
    "\n"
    "options:\n"
    "  --kind KIND         the kind of every line (calibration, diagnostics, samples)\n"
    "  --version N         the version of every line (with --kind)\n"
    "  -o, --output FILE   write the JSON Lines to FILE instead of standard output\n"
    "  --errors MODE       report a failing line on standard error (stderr, the default)\n"
    "                      or in its place in the output (inline):\n"
    "                      {\"error\":\"<message>\",\"line\":N}\n"
    "  -j, --jobs N        worker threads (default: the number of cores)\n"
    "  -q, --quiet         no progress line\n"
    "  -h, --help          show this help and exit\n"
    "  -V, --version       show the program's version and exit\n"
    "\n"
    "exit status: 0 when every line decoded, 1 when some failed, 2 for bad usage or an\n"
    "unreadable file.\n";

struct Options {
    std::vector<std::string> inputs;
    std::optional<std::string> output;
    std::optional<std::string> kind;
    std::optional<std::uint64_t> version;
    bool inline_errors = false;
    unsigned jobs = 0;
    bool quiet = false;
};

class UsageError {
public:
    explicit UsageError(std::string message) : message_(std::move(message)) {}
    const std::string& message() const { return message_; }

private:
    std::string message_;
};

template <class Number>
std::optional<Number> parse_number(std::string_view text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

// Returns the options, or nullopt once --help or --version has been answered.
std::optional<Options> parse_options(int argc, char** argv) {
    Options options;
    bool only_files = false;
    for (int at = 1; at < argc; ++at) {
        std::string_view argument = argv[at];
        if (only_files || argument == "-" || argument.empty() || argument[0] != '-') {
            options.inputs.emplace_back(argument);
            continue;
        }
        if (argument == "--") {
            only_files = true;
            continue;
        }
        // --name=value, and -j4 / -oFILE for the short options that take a value.
        std::optional<std::string_view> attached;
        if (const auto equals = argument.find('='); argument.starts_with("--") && equals != std::string_view::npos) {
            attached = argument.substr(equals + 1);
            argument = argument.substr(0, equals);
        } else if (argument.size() > 2 && (argument.starts_with("-j") || argument.starts_with("-o"))) {
            attached = argument.substr(2);
            argument = argument.substr(0, 2);
        }
        const auto value = [&]() -> std::string_view {
            if (attached) return *attached;
            if (at + 1 >= argc) throw UsageError("option " + std::string(argument) + " needs a value");
            return argv[++at];
        };
        if (argument == "-h" || argument == "--help") {
            std::fputs(usage_text.data(), stdout);
            return std::nullopt;
        } else if (argument == "-V" || (argument == "--version" && !attached && !(at + 1 < argc && parse_number<std::uint64_t>(argv[at + 1])))) {
            // A bare --version shows ours; --version N (or --version=N) names the payloads'.
            std::printf("velunda-parse %s\n", VELUNDA_VERSION);
            return std::nullopt;
        } else if (argument == "--version") {
            const std::string_view number = value();
            options.version = parse_number<std::uint64_t>(number);
            if (!options.version) throw UsageError("--version needs a number from 0 to 18446744073709551615, not '" + std::string(number) + "'");
        } else if (argument == "--kind") {
            options.kind = std::string(value());
        } else if (argument == "-o" || argument == "--output") {
            options.output = std::string(value());
        } else if (argument == "--errors") {
            const std::string_view mode = value();
            if (mode != "stderr" && mode != "inline") throw UsageError("--errors is stderr or inline, not '" + std::string(mode) + "'");
            options.inline_errors = mode == "inline";
        } else if (argument == "-j" || argument == "--jobs") {
            const std::string_view number = value();
            const auto jobs = parse_number<unsigned>(number);
            if (!jobs || *jobs == 0 || *jobs > 256) throw UsageError("--jobs needs a number from 1 to 256, not '" + std::string(number) + "'");
            options.jobs = *jobs;
        } else if (argument == "-q" || argument == "--quiet") {
            options.quiet = true;
        } else {
            throw UsageError("unknown option " + std::string(argument));
        }
    }
    if (options.kind.has_value() != options.version.has_value()) throw UsageError("--kind and --version go together");
    if (options.inputs.empty()) options.inputs.emplace_back("-");
    if (options.jobs == 0) options.jobs = std::max(1u, std::thread::hardware_concurrency());
    return options;
}

// ---- Input ---------------------------------------------------------------------------------

using velunda::codec::ByteBuffer;

struct Batch {
    std::size_t sequence = 0;
    const std::string* file_name = nullptr;
    ByteBuffer text;  // whole lines, each ended by '\n' except perhaps a file's last
    std::size_t first_line = 1;
    ByteBuffer output;
    std::string errors;  // for standard error
    std::size_t failures = 0;
    std::size_t payloads = 0;
    bool starts_file = false;  // a header line may open it
    bool done = false;
};

// Cuts one file into batches of whole lines. The reading thread only copies blocks and finds
// their last line end; splitting and decoding the lines is the workers' part. A line longer
// than a block grows the batch to hold it, and only it.
class BlockReader {
public:
    explicit BlockReader(std::FILE* file) : file_(file) {}

    // Returns false once the file is exhausted.
    bool fill(Batch& batch, std::size_t block_size) {
        batch.text.clear();
        batch.text.append(carry_);
        carry_.clear();
        while (true) {
            const std::size_t old_size = batch.text.size();
            char* const block = batch.text.resize(block_size);
            if (block == nullptr) throw std::bad_alloc();
            const std::size_t got = std::fread(block, 1, block_size, file_);
            batch.text.keep(got);
            if (got == 0) break;
            // Only the new block is searched, so a long line costs one pass, not one per block.
            const std::size_t last_end = std::string_view(block, got).rfind('\n');
            if (last_end != std::string_view::npos) {
                carry_.assign(block + last_end + 1, got - last_end - 1);
                batch.text.truncate(old_size + last_end + 1);
                break;
            }
        }
        const std::string_view text = batch.text.text();
        if (text.empty()) return false;
        batch.first_line = next_line_;
        next_line_ += static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
        if (text.back() != '\n') ++next_line_;
        return true;
    }

    bool failed() const { return std::ferror(file_) != 0; }

private:
    std::FILE* file_;
    std::string carry_;
    std::size_t next_line_ = 1;
};

// ---- Decoding ----------------------------------------------------------------------------------

struct LineFailure {
    std::string message;
    std::optional<std::size_t> offset;
    std::string path;
};

bool is_header(std::string_view line) { return line == "kind,version,b64_data"; }

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
        const auto number = parse_number<std::uint64_t>(version_text);
        if (!number) return LineFailure{"version is not a number from 0 to 18446744073709551615: '" + std::string(version_text) + "'", {}, {}};
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

void decode_batch(Batch& batch, const Options& options) {
    bool header_allowed = batch.starts_file;
    std::size_t line_number = batch.first_line;
    const std::string_view lines = batch.text.text();
    for (std::size_t begin = 0; begin < lines.size(); ++line_number) {
        std::size_t end = lines.find('\n', begin);
        if (end == std::string_view::npos) end = lines.size();
        std::string_view text = lines.substr(begin, end - begin);
        begin = end + 1;
        if (text.ends_with('\r')) text.remove_suffix(1);
        if (text.empty()) continue;
        const bool first_line = header_allowed;
        header_allowed = false;
        if (first_line && !options.kind && is_header(text)) continue;
        ++batch.payloads;
        const std::optional<LineFailure> failure = decode_line(text, options, batch.output);
        if (!failure) continue;
        ++batch.failures;
        if (options.inline_errors) {
            std::string record = "{\"error\":";
            append_json_string(record, failure->message);
            record += ",\"line\":" + std::to_string(line_number) + "}\n";
            batch.output.append(record);
        } else {
            batch.errors += *batch.file_name + ":" + std::to_string(line_number) + ": " + failure->message;
            if (failure->offset) {
                batch.errors += " (at byte " + std::to_string(*failure->offset);
                if (!failure->path.empty()) batch.errors += ", " + failure->path;
                batch.errors += ")";
            }
            batch.errors += "\n";
        }
    }
}

// ---- The pipeline --------------------------------------------------------------------------

class Pipeline {
public:
    Pipeline(const Options& options, std::FILE* output) : options_(options), output_(output) {}

    // Reads every input through the workers and the writer; returns the number of failed lines,
    // or nullopt when an input could not be read.
    std::optional<std::size_t> run(const std::vector<std::pair<std::string, std::FILE*>>& inputs) {
        started_ = std::chrono::steady_clock::now();
        std::vector<std::thread> workers;
        for (unsigned i = 0; i < options_.jobs; ++i) workers.emplace_back([this] { work(); });
        std::thread writer([this] { write(); });

        bool readable = true;
        std::size_t sequence = 0;
        for (const auto& [name, file] : inputs) {
            BlockReader reader(file);
            bool first_batch = true;
            while (true) {
                std::unique_ptr<Batch> batch = take_spare();
                batch->file_name = &name;
                if (!reader.fill(*batch, batch_bytes)) break;
                batch->sequence = sequence++;
                batch->starts_file = first_batch;
                first_batch = false;
                submit(std::move(batch));
            }
            if (reader.failed()) {
                std::fprintf(stderr, "velunda-parse: %s: read error: %s\n", name.c_str(), std::strerror(errno));
                readable = false;
                break;
            }
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
        finish_progress();
        if (!readable) return std::nullopt;
        return failures_;
    }

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
        batch->failures = batch->payloads = 0;
        batch->done = false;
        return batch;
    }

    void submit(std::unique_ptr<Batch> batch) {
        std::unique_lock lock(mutex_);
        // At most a few batches per worker in flight: memory does not grow with the input.
        room_.wait(lock, [this] { return in_flight_.size() < 2 * options_.jobs + 2; });
        Batch* raw = batch.get();
        in_flight_.push_back(std::move(batch));
        pending_work_.push_back(raw);
        work_ready_.notify_one();
    }

    void work() {
        while (true) {
            Batch* batch = nullptr;
            {
                std::unique_lock lock(mutex_);
                work_ready_.wait(lock, [this] { return !pending_work_.empty() || reading_done_; });
                if (pending_work_.empty()) return;
                batch = pending_work_.front();
                pending_work_.pop_front();
            }
            decode_batch(*batch, options_);
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
                    return (!in_flight_.empty() && in_flight_.front()->done) || (reading_done_ && next >= total_batches_);
                });
                if (in_flight_.empty()) return;
                batch = std::move(in_flight_.front());
                in_flight_.pop_front();
            }
            room_.notify_one();
            const std::string_view output = batch->output.text();
            std::fwrite(output.data(), 1, output.size(), output_);
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
    std::FILE* output_;
    std::mutex mutex_;
    std::condition_variable work_ready_, written_, room_;
    std::deque<std::unique_ptr<Batch>> in_flight_;  // in input order
    std::deque<Batch*> pending_work_;
    std::vector<std::unique_ptr<Batch>> spare_;
    bool reading_done_ = false;
    std::size_t total_batches_ = 0;
    std::size_t failures_ = 0, payloads_ = 0, bytes_ = 0;
    const bool stderr_is_terminal_ = isatty(STDERR_FILENO) != 0;
    bool progress_shown_ = false;
    std::chrono::steady_clock::time_point started_, last_progress_;
};

}  // namespace

int main(int argc, char** argv) {
    std::optional<Options> options;
    try {
        options = parse_options(argc, argv);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "velunda-parse: %s\nTry 'velunda-parse --help' for more information.\n", error.message().c_str());
        return 2;
    }
    if (!options) return 0;

    // Every input is opened before any output, so an unreadable file stops the run cleanly.
    std::vector<std::pair<std::string, std::FILE*>> inputs;
    int status = 0;
    for (const std::string& name : options->inputs) {
        std::FILE* file = name == "-" ? stdin : std::fopen(name.c_str(), "rb");
        if (file == nullptr) {
            std::fprintf(stderr, "velunda-parse: %s: %s\n", name.c_str(), std::strerror(errno));
            status = 2;
            continue;
        }
        inputs.emplace_back(name == "-" ? "<stdin>" : name, file);
    }
    std::FILE* output = stdout;
    if (status == 0 && options->output) {
        output = std::fopen(options->output->c_str(), "wb");
        if (output == nullptr) {
            std::fprintf(stderr, "velunda-parse: %s: %s\n", options->output->c_str(), std::strerror(errno));
            status = 2;
        }
    }
    if (status == 0) {
        static char output_buffer[1 << 16];
        std::setvbuf(output, output_buffer, _IOFBF, sizeof output_buffer);
        Pipeline pipeline(*options, output);
        const std::optional<std::size_t> failures = pipeline.run(inputs);
        if (std::fflush(output) != 0 || std::ferror(output)) {
            std::fprintf(stderr, "velunda-parse: write error: %s\n", std::strerror(errno));
            status = 2;
        } else {
            status = !failures ? 2 : *failures > 0 ? 1 : 0;
        }
        if (output != stdout) std::fclose(output);
    }
    for (const auto& [name, file] : inputs) {
        if (file != stdin) std::fclose(file);
    }
    return status;
}
