#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

#include "codec/text_storage.hpp"

namespace velunda::codec {

// A growable byte buffer that never zero-fills, in malloc'd memory so that its contents can be
// handed over whole (release()). As a TextStorage it offers room at its end: the decoder writes
// a payload's JSON straight there and keep() adopts it, so nothing is copied after decoding.
class ByteBuffer final : public TextStorage {
public:
    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ByteBuffer(ByteBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    ByteBuffer& operator=(ByteBuffer&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ~ByteBuffer() { std::free(data_); }

    std::string_view text() const { return {data_, size_}; }
    const char* data() const { return data_; }
    std::size_t size() const { return size_; }
    void clear() { size_ = 0; }
    void truncate(std::size_t size) { size_ = size; }

    // Room for `capacity` more bytes at the end; keep() then adopts what was written there.
    char* resize(std::size_t capacity) override { return reserve(size_ + capacity) ? data_ + size_ : nullptr; }
    void keep(std::size_t written) { size_ += written; }

    void append(std::string_view text) {
        if (text.empty()) return;
        if (!reserve(size_ + text.size())) throw std::bad_alloc();
        std::memcpy(data_ + size_, text.data(), text.size());
        size_ += text.size();
    }

    // Makes room for `wanted` bytes in all; false when memory runs out.
    bool reserve(std::size_t wanted) {
        if (wanted <= capacity_) return true;
        const std::size_t capacity = std::max(wanted, capacity_ * 2);
        char* grown = static_cast<char*>(std::realloc(data_, capacity));
        if (grown == nullptr) return false;
        data_ = grown;
        capacity_ = capacity;
        return true;
    }

    // Hands the malloc'd bytes over to the caller, who frees them; the buffer is left empty.
    char* release() {
        size_ = capacity_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace velunda::codec
