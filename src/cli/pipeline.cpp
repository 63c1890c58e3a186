#include "cli/pipeline.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "cli/batch.hpp"
#include "cli/input.hpp"
#include "cli/progress.hpp"
#include "cli/text.hpp"

namespace velunda::cli {

namespace {

class Pipeline {
public:
    Pipeline(const Options& options, Output& output) : options_(options), output_(output), progress_(options.quiet) {}

    // Reads every input through the workers and the writer, opening one input at a time.
    Ending run(const std::vector<std::string>& inputs) {
        progress_.start();
        std::vector<std::thread> workers;
        workers.reserve(options_.jobs);
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
        progress_.finish(payloads_, bytes_);
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

    void stop(const std::exception_ptr& fault = nullptr) {
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
                    return stop_ || (!in_flight_.empty() && in_flight_.front()->done) ||
                           (reading_done_ && next >= total_batches_);
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
                progress_.clear();
                std::fwrite(batch->errors.data(), 1, batch->errors.size(), stderr);
            }
            failures_ += batch->failures;
            payloads_ += batch->payloads;
            bytes_ += batch->text.size();
            progress_.show(payloads_, bytes_);
            std::lock_guard lock(mutex_);
            spare_.push_back(std::move(batch));
        }
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
    Progress progress_;
};

}  // namespace

RunResult run_pipeline(const Options& options, Output& output) {
    Pipeline pipeline(options, output);
    const Ending ending = pipeline.run(options.inputs);
    return {ending, pipeline.failures(), pipeline.write_error()};
}

}  // namespace velunda::cli
