#pragma once

// The JSON text of a decoded column: one buffer, appended to in row order by the calling thread
// while the workers fault its next pages in. Fresh pages are most of the cost of placing gigabytes
// of text (the kernel clears each one on first touch), and that work would otherwise fall on
// the one thread that appends; faulted in by the workers that decoded the text, it runs on
// every core.

#include <atomic>
#include <cstddef>
#include <shared_mutex>
#include <string_view>

namespace velunda::arrow {

// The text's pages, handed over by ColumnText::release and given back by free().
//
// The pages of the last text freed are kept for the next column (with each call's results
// dropped, a loop of calls would otherwise have the kernel clear gigabytes of fresh pages every
// time, on the cores the decoding needs). They are kept as pages the kernel may take back
// whenever memory is short, so they hold no memory anyone else needs.
struct MappedText {
    char* data = nullptr;
    std::size_t mapped = 0;

    static void free(char* data, std::size_t mapped);
    // The kept pages, if any ({nullptr, 0} otherwise); the caller owns them from then on.
    static MappedText take_kept();
};

class ColumnText {
public:
    // Room for about `expected` bytes at first; the mapping grows in place or moves as needed.
    // Throws std::bad_alloc when no memory can be mapped.
    explicit ColumnText(std::size_t expected);
    ColumnText(const ColumnText&) = delete;
    ColumnText& operator=(const ColumnText&) = delete;
    ~ColumnText();

    // The calling thread only.
    void append(std::string_view text);
    std::size_t size() const { return size_; }
    // The text, its mapping cut to its pages; the ColumnText is then empty.
    MappedText release();

    // Any thread, once per decoded chunk of `bytes` bytes of text: faults in the next `bytes` of
    // the pages that the appends will reach. The chunks' sizes add up to the text's, so the
    // pages faulted in are those the text fills, whatever order the chunks come in. Never
    // changes a byte.
    void fault_in(std::size_t bytes);

private:
    void grow(std::size_t wanted);

    char* data_ = nullptr;
    std::size_t mapped_ = 0;
    std::size_t size_ = 0;
    std::atomic<std::size_t> faulted_{0};
    // Held shared while pages are faulted in, exclusively while the mapping moves.
    std::shared_mutex moving_;
    std::atomic<bool> can_fault_in_{true};
};

}  // namespace velunda::arrow
