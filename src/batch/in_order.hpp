#pragma once

// The one batch core: chunks of rows go through three stages on worker threads and come back in
// order. A chunk is filled (one thread at a time, in order), decoded (on any thread, several at
// once) and consumed (on the calling thread, in order), each in a slot of its own that is reused
// once consumed, so only a few chunks are ever in flight and memory does not grow with the batch.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>

namespace velunda::batch {

// The cores this process may run on: every caller's default thread count.
unsigned usable_cores();

// What a batch does with its chunks. The stages own `slots` chunk slots, numbered from 0.
class ChunkStages {
public:
    enum class Filled : std::uint8_t { chunk, none_left, not_now };

    // Puts the next chunk's rows in `slot`: one thread at a time, in chunk order. Without
    // `may_wait`, a source whose input has not arrived answers not_now rather than wait for it;
    // a source that waits gives up (none_left) once `stop` is set.
    virtual Filled fill(std::size_t slot, bool may_wait, const std::atomic<bool>& stop) = 0;
    // Decodes the rows in `slot`; several threads at once, each on a slot of its own.
    virtual void decode(std::size_t slot) = 0;
    // Takes the decoded chunk in `slot`, on the calling thread, in chunk order; false stops the batch.
    virtual bool consume(std::size_t slot) = 0;
    // Asked on the calling thread between chunks; false stops the batch (a caller's stop request).
    virtual bool keep_going() { return true; }
    // How many chunks there will be, when known: no more threads than chunks are started.
    virtual std::size_t chunk_count_hint() const { return SIZE_MAX; }

protected:
    ~ChunkStages() = default;
};

// How a worker thread is started; std::thread's by default. Throwing means no more threads.
using ThreadStarter = std::function<std::thread(std::function<void()>)>;

// Chunk slots for `threads` threads: enough that no thread waits for a slot while the calling
// thread consumes.
constexpr std::size_t slots_for(unsigned threads) { return 2 * static_cast<std::size_t>(threads) + 2; }

// Runs every chunk through the stages on up to `threads` threads, the calling thread among them;
// a thread that cannot be started leaves the work to those that could. Returns once every chunk
// was consumed (true) or a stage stopped the batch (false), with every thread joined; throws
// what a stage threw. A thread being unwound (the interpreter ending a daemon thread) is let
// through once the other threads have been joined.
bool run_in_order(ChunkStages& stages, std::size_t slots, unsigned threads, const ThreadStarter& start = {});

}  // namespace velunda::batch
