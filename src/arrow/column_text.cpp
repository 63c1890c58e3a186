#include "arrow/column_text.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include <emmintrin.h>

namespace velunda::arrow {

namespace {

std::size_t page_size() {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

std::size_t whole_pages(std::size_t bytes) {
    const std::size_t page = page_size();
    return (std::max<std::size_t>(bytes, 1) + page - 1) / page * page;
}

char* map_pages(std::size_t bytes) {
    void* pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return pages == MAP_FAILED ? nullptr : static_cast<char*>(pages);
}

// Copies with stores that bypass the cache: the column's text is far larger than any cache and
// is not read again before the call returns, so ordinary stores would first read every line
// they write, doubling the memory traffic that bounds this copy.
void copy_streaming(char* out, const char* text, std::size_t size) {
    constexpr std::size_t line = sizeof(__m128i);
    const std::size_t head = std::min(size, (line - reinterpret_cast<std::uintptr_t>(out) % line) % line);
    std::memcpy(out, text, head);
    std::size_t at = head;
    for (; size - at >= line; at += line) {
        _mm_stream_si128(reinterpret_cast<__m128i*>(out + at),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at)));
    }
    std::memcpy(out + at, text + at, size - at);
    _mm_sfence();  // the streamed stores are seen before whatever follows the copy
}

std::mutex kept_lock;
MappedText kept;

}  // namespace

void MappedText::free(char* data, std::size_t mapped) {
    if (data == nullptr) return;
#ifdef MADV_FREE
    if (madvise(data, mapped, MADV_FREE) == 0) {
        MappedText older;
        {
            std::lock_guard lock(kept_lock);
            older = std::exchange(kept, MappedText{data, mapped});
        }
        if (older.data != nullptr) munmap(older.data, older.mapped);
        return;
    }
#endif
    munmap(data, mapped);
}

MappedText MappedText::take_kept() {
    std::lock_guard lock(kept_lock);
    return std::exchange(kept, MappedText{});
}

ColumnText::ColumnText(std::size_t expected) {
    if (const MappedText reused = MappedText::take_kept(); reused.data != nullptr) {
        data_ = reused.data;
        mapped_ = reused.mapped;
        return;
    }
    // The first guess is only address space; where the system will not map that much (an address
    // space limit, strict overcommit), the mapping starts small and grows with the text.
    for (std::size_t bytes = whole_pages(expected);; bytes = whole_pages(bytes / 16)) {
        data_ = map_pages(bytes);
        if (data_ != nullptr) {
            mapped_ = bytes;
            return;
        }
        if (bytes <= page_size()) throw std::bad_alloc();
    }
}

ColumnText::~ColumnText() { MappedText::free(data_, mapped_); }

ColumnText::Placement* ColumnText::find(std::size_t first_row) {
    for (Placement& placement : in_flight_) {
        if (placement.first_row == first_row) return &placement;
    }
    return nullptr;
}

void ColumnText::place(std::size_t first_row, std::size_t rows, std::string_view text) {
    std::size_t offset = 0;
    {
        std::lock_guard lock(placing_);
        in_flight_.push_back({first_row, rows, text.size(), 0, false, false});
        // This chunk may be the one the next places waited for.
        for (Placement* next = find(next_row_); next != nullptr && !next->known; next = find(next_row_)) {
            next->offset = next_offset_;
            next->known = true;
            next_offset_ += next->bytes;
            next_row_ += next->rows;
        }
        const Placement& placed = *find(first_row);
        if (!placed.known) return;  // the calling thread copies it in when it takes it
        offset = placed.offset;
    }
    write_at(offset, text);
    std::lock_guard lock(placing_);
    find(first_row)->copied = true;
}

std::size_t ColumnText::take(std::size_t first_row, std::string_view text) {
    Placement placement{};
    {
        std::lock_guard lock(placing_);
        Placement* const found = find(first_row);
        placement = *found;  // known: every earlier chunk was placed before it was taken
        *found = in_flight_.back();
        in_flight_.pop_back();
    }
    if (!placement.copied) write_at(placement.offset, text);
    size_ = placement.offset + text.size();
    return placement.offset;
}

void ColumnText::write_at(std::size_t offset, std::string_view text) {
    if (text.empty()) return;  // an empty text may have no data at all
    while (true) {
        {
            std::shared_lock lock(moving_);
            if (text.size() <= mapped_ && offset <= mapped_ - text.size()) {
                copy_streaming(data_ + offset, text.data(), text.size());
                return;
            }
        }
        grow(offset + text.size());
    }
}

void ColumnText::grow(std::size_t wanted) {
    std::unique_lock lock(moving_);  // no thread is copying text in while the mapping moves
    if (wanted <= mapped_) return;   // another thread grew it meanwhile
    const std::size_t bytes = whole_pages(std::max(wanted, mapped_ * 2));
    void* moved = mremap(data_, mapped_, bytes, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<char*>(moved);
    mapped_ = bytes;
}

MappedText ColumnText::release() {
    const std::size_t used = whole_pages(size_);
    if (used < mapped_) {
        std::unique_lock lock(moving_);
        munmap(data_ + used, mapped_ - used);
        mapped_ = used;
    }
    MappedText text{data_, mapped_};
    data_ = nullptr;
    mapped_ = size_ = 0;
    return text;
}

}  // namespace velunda::arrow
