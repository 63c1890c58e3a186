#pragma once

// The JSON text of a decoded column: one buffer, which the decoding threads fill in parallel.
// Each chunk's place is known once every earlier chunk's size is, which is mostly so by the time
// the chunk is decoded; its decoder then copies it in while the text is still in its core's
// cache, and fresh pages are cleared on the cores that decode. Copied in by the calling thread
// alone, the text took a fifth of the work of decoding typical rows.

#include <cstddef>
#include <mutex>
#include <shared_mutex>
#include <string_view>
#include <vector>

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

    // Any thread, once per decoded chunk, in any order: the chunk of `rows` rows from `first_row`
    // holds `text`. Chunks lie end to end in row order; the chunk is copied in now if its place
    // is known.
    void place(std::size_t first_row, std::size_t rows, std::string_view text);
    // The calling thread, in row order, each chunk after its place(): where its text begins in
    // the column, copied in by then.
    std::size_t take(std::size_t first_row, std::string_view text);
    // The text, its mapping cut to its pages; the ColumnText is then empty.
    MappedText release();

private:
    struct Placement {
        std::size_t first_row;
        std::size_t rows;
        std::size_t bytes;
        std::size_t offset;
        bool known;  // the offset is
        bool copied;
    };
    Placement* find(std::size_t first_row);
    void write_at(std::size_t offset, std::string_view text);
    void grow(std::size_t wanted);

    char* data_ = nullptr;
    std::size_t mapped_ = 0;
    std::size_t size_ = 0;  // the calling thread's: the end of the chunks taken
    // Held shared while text is copied in, exclusively while the mapping grows or moves.
    std::shared_mutex moving_;

    std::mutex placing_;  // guards what follows
    std::vector<Placement> in_flight_;
    std::size_t next_row_ = 0;     // the first row of the first chunk whose place is not known
    std::size_t next_offset_ = 0;  // and that place
};

}  // namespace velunda::arrow
