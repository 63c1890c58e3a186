#include "arrow/column_text.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

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

void ColumnText::append(std::string_view text) {
    if (text.empty()) return;  // an empty text may have no data at all
    if (text.size() > mapped_ - size_) grow(size_ + text.size());
    std::memcpy(data_ + size_, text.data(), text.size());
    size_ += text.size();
}

void ColumnText::grow(std::size_t wanted) {
    const std::size_t bytes = whole_pages(std::max(wanted, mapped_ * 2));
    std::unique_lock lock(moving_);  // no worker is faulting pages in while the mapping moves
    void* moved = mremap(data_, mapped_, bytes, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<char*>(moved);
    mapped_ = bytes;
}

void ColumnText::fault_in(std::size_t bytes) {
    if (bytes == 0 || !can_fault_in_.load(std::memory_order_relaxed)) return;
    const std::size_t begin = faulted_.fetch_add(bytes, std::memory_order_relaxed);
    std::shared_lock lock(moving_);
    const std::size_t page = page_size();
    const std::size_t first = begin / page * page;
    const std::size_t end = std::min(whole_pages(begin + bytes), mapped_);
    if (first >= end) return;
    // Populating writes nothing, so the appends may fill the same pages meanwhile. Kernels before
    // 5.14 do not know the request; their appends then fault pages in as they go.
#ifdef MADV_POPULATE_WRITE
    if (madvise(data_ + first, end - first, MADV_POPULATE_WRITE) != 0 && errno == EINVAL) {
        can_fault_in_.store(false, std::memory_order_relaxed);
    }
#else
    can_fault_in_.store(false, std::memory_order_relaxed);
#endif
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
