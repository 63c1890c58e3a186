#include "batch/in_order.hpp"

#include <sched.h>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <vector>

namespace velunda::batch {

namespace {

// Chunk k lives in slot k % slots from its fill until it is consumed. One lock guards the
// counters; the stages run outside it.
class InOrder {
public:
    InOrder(ChunkStages& stages, std::size_t slots) : stages_(stages), slots_(std::max<std::size_t>(slots, 1)) {
        done_.assign(slots_, 0);
    }

    bool run(unsigned threads, const ThreadStarter& start) {
        const std::size_t useful = std::max<std::size_t>(1, stages_.chunk_count_hint());
        std::vector<std::thread> helpers;
        start_helpers(helpers, std::min<std::size_t>(std::max(threads, 1u), useful) - 1, start);
        bool completed = false;
        try {
            completed = lead();
        } catch (...) {
            // Whatever it is (the unwinding of a thread being ended, too), the other threads
            // must be gone before this one's stack is.
            finish(helpers);
            throw;
        }
        finish(helpers);
        if (fault_) std::rethrow_exception(fault_);
        return completed;
    }

private:
    void start_helpers(std::vector<std::thread>& helpers, std::size_t count, const ThreadStarter& start) {
        try {
            helpers.reserve(count);
            for (std::size_t i = 0; i < count; ++i) {
                std::function<void()> body = [this] { help(); };
                helpers.push_back(start ? start(std::move(body)) : std::thread(std::move(body)));
            }
        } catch (const std::exception&) {  // NOLINT(bugprone-empty-catch): no more threads to be had, so
                                           // those started and this one do the work
        }
    }

    // Under the lock, these say what can be done next.
    bool next_done() const { return next_consume_ < next_fill_ && done_[next_consume_ % slots_] != 0; }
    bool all_consumed() const { return exhausted_ && next_consume_ == next_fill_; }
    bool can_fill() const { return !stopped_ && !exhausted_ && !filling_ && next_fill_ < next_consume_ + slots_; }

    // Fills the next chunk, with the lock released meanwhile; its number, or nothing.
    std::optional<std::size_t> fill_next(std::unique_lock<std::mutex>& lock, bool may_wait) {
        const std::size_t chunk = next_fill_;
        filling_ = true;
        lock.unlock();
        ChunkStages::Filled filled{};
        try {
            filled = stages_.fill(chunk % slots_, may_wait, stop_requested_);
        } catch (...) {
            lock.lock();
            filling_ = false;
            throw;
        }
        lock.lock();
        filling_ = false;
        if (filled == ChunkStages::Filled::chunk) ++next_fill_;
        if (filled == ChunkStages::Filled::none_left) exhausted_ = true;
        changed_.notify_all();
        return filled == ChunkStages::Filled::chunk ? std::optional(chunk) : std::nullopt;
    }

    void decode(std::unique_lock<std::mutex>& lock, std::size_t chunk) {
        lock.unlock();
        stages_.decode(chunk % slots_);
        lock.lock();
        done_[chunk % slots_] = 1;
        changed_.notify_all();
    }

    void help() {
        try {
            std::unique_lock lock(mutex_);
            while (true) {
                changed_.wait(lock, [this] { return stopped_ || exhausted_ || can_fill(); });
                if (stopped_ || exhausted_) return;
                if (const std::optional<std::size_t> chunk = fill_next(lock, true)) decode(lock, *chunk);
            }
        } catch (...) {
            stop(std::current_exception());
        }
    }

    // The calling thread consumes each chunk as soon as it is done, and fills and decodes chunks
    // itself while it waits. It waits for input only when no decoded chunk can be waiting for it.
    // True once every chunk was consumed.
    bool lead() {
        std::unique_lock lock(mutex_);
        bool fill_deferred = false;  // the input had nothing yet: wait for the chunks in flight
        while (true) {
            changed_.wait(lock,
                          [&] { return stopped_ || next_done() || all_consumed() || (can_fill() && !fill_deferred); });
            if (stopped_ || all_consumed()) return !stopped_;
            if (next_done()) {
                const std::size_t slot = next_consume_ % slots_;
                lock.unlock();
                const bool go_on = stages_.consume(slot) && stages_.keep_going();
                lock.lock();
                if (!go_on) return false;
                done_[slot] = 0;
                ++next_consume_;
                fill_deferred = false;
                changed_.notify_all();
                continue;
            }
            const bool in_flight = next_consume_ != next_fill_;
            const std::optional<std::size_t> chunk = fill_next(lock, !in_flight);
            if (!chunk) {
                fill_deferred = in_flight;
                continue;
            }
            decode(lock, *chunk);
            lock.unlock();
            const bool go_on = stages_.keep_going();
            lock.lock();
            if (!go_on) return false;
        }
    }

    void stop(const std::exception_ptr& fault) {
        {
            std::lock_guard lock(mutex_);
            if (fault && !fault_) fault_ = fault;
            stopped_ = true;
            stop_requested_ = true;
        }
        changed_.notify_all();
    }

    void finish(std::vector<std::thread>& helpers) {
        stop(nullptr);
        for (std::thread& helper : helpers) helper.join();
        helpers.clear();
    }

    ChunkStages& stages_;
    const std::size_t slots_;
    std::vector<char> done_;  // per slot: its chunk is decoded

    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t next_fill_ = 0;
    std::size_t next_consume_ = 0;
    bool filling_ = false;
    bool exhausted_ = false;
    bool stopped_ = false;
    std::atomic<bool> stop_requested_{false};
    std::exception_ptr fault_;
};

}  // namespace

unsigned usable_cores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<unsigned>(count);
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

bool run_in_order(ChunkStages& stages, std::size_t slots, unsigned threads, const ThreadStarter& start) {
    return InOrder(stages, slots).run(threads, start);
}

}  // namespace velunda::batch
