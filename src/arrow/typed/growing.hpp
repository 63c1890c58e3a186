#pragma once

// The growing buffers of the typed-column builders: they grow with the values appended (never
// by a count read from the wire), can be cut back to a mark, and hand their block over whole.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "arrow/typed/built_column.hpp"

namespace velunda::arrow::typed {

template <class T>
    requires std::is_trivially_copyable_v<T>
class Values {
public:
    Values() = default;
    Values(const Values&) = delete;
    Values& operator=(const Values&) = delete;
    Values(Values&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(other.size_), capacity_(other.capacity_) {}
    ~Values() { std::free(data_); }

    [[gnu::always_inline]] void push(T value) {
        if (size_ == capacity_) [[unlikely]]
            grow(size_ + 1);
        data_[size_++] = value;
    }
    void append(const T* values, std::size_t count) {
        if (count != 0) std::memcpy(extend(count), values, count * sizeof(T));
    }
    // Room for `count` more values, which the caller writes in place (values staged on the stack
    // and copied would be read back before their narrow stores retire).
    [[gnu::always_inline]] T* extend(std::size_t count) {
        if (capacity_ - size_ < count) [[unlikely]]
            grow(size_ + count);
        T* room = data_ + size_;
        size_ += count;
        return room;
    }
    std::size_t size() const { return size_; }
    const T* data() const { return data_; }
    T* data() { return data_; }
    void truncate(std::size_t size) { size_ = size; }

    // The block, never null (consumers expect every value buffer, empty or not), cut to its
    // size. The size is kept as the first capacity of the next block: a builder reused for the
    // next chunk grows once rather than by doubling.
    Buffer release() {
        if (data_ == nullptr) grow(1);
        if (capacity_ - size_ > size_ / 4 + 64) {
            if (void* cut = std::realloc(data_, (size_ == 0 ? 1 : size_) * sizeof(T))) data_ = static_cast<T*>(cut);
        }
        Buffer block(data_);
        hint_ = size_;
        data_ = nullptr;
        size_ = capacity_ = 0;
        return block;
    }

private:
    [[gnu::noinline]] void grow(std::size_t least) {
        std::size_t capacity = capacity_ < 16 ? std::max<std::size_t>(16, hint_ + hint_ / 8) : capacity_ * 2;
        if (capacity < least) capacity = least;
        void* grown = std::realloc(data_, capacity * sizeof(T));
        if (grown == nullptr) throw std::bad_alloc();
        data_ = static_cast<T*>(grown);
        capacity_ = capacity;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    std::size_t hint_ = 0;
};

// Bits, least significant first, as Arrow packs validity and booleans; kept in 64-bit words
// (little-endian, so the words' bytes are Arrow's bytes).
class Bits {
public:
    struct Mark {
        std::size_t count;
        std::size_t zeros;
    };

    void push(bool bit) {
        if (count_ % 64 == 0) words_.push(0);
        words_.data()[count_ / 64] |= static_cast<std::uint64_t>(bit) << (count_ % 64);
        zeros_ += bit ? 0 : 1;
        ++count_;
    }
    // `count` set bits at once.
    void push_ones(std::size_t count) {
        while (count != 0 && count_ % 64 != 0) {
            push(true);
            --count;
        }
        for (; count >= 64; count -= 64, count_ += 64) words_.push(~std::uint64_t{0});
        while (count-- != 0) push(true);
    }
    std::size_t zeros() const { return zeros_; }
    Mark mark() const { return {count_, zeros_}; }
    void rollback(const Mark& mark) {
        count_ = mark.count;
        zeros_ = mark.zeros;
        words_.truncate((count_ + 63) / 64);
        if (count_ % 64 != 0) words_.data()[count_ / 64] &= (std::uint64_t{1} << (count_ % 64)) - 1;
    }
    Buffer release() { return words_.release(); }

private:
    Values<std::uint64_t> words_;
    std::size_t count_ = 0;
    std::size_t zeros_ = 0;
};

// A validity bitmap made only once a null comes: until then a count of valid values, so that
// columns without nulls pay one increment a value.
class Validity {
public:
    using Mark = Bits::Mark;

    void push(bool valid) {
        if (valid && !materialised_) {
            ++count_;
            return;
        }
        push_bit(valid);
    }
    void push_valid(std::size_t count) {
        if (!materialised_) {
            count_ += count;
            return;
        }
        while (count-- != 0) push_bit(true);
    }
    std::size_t zeros() const { return zeros_; }
    Mark mark() const { return {count_, zeros_}; }
    void rollback(const Mark& mark) {
        count_ = mark.count;
        zeros_ = mark.zeros;
        if (materialised_) bits_.rollback(mark);
        if (count_ == 0) materialised_ = false;  // a builder emptied for its next chunk
    }
    Buffer release_validity() { return zeros_ == 0 ? Buffer() : bits_.release(); }

private:
    void push_bit(bool valid) {
        if (!materialised_) {
            bits_.push_ones(count_);
            materialised_ = true;
        }
        bits_.push(valid);
        ++count_;
        if (!valid) ++zeros_;
    }

    Bits bits_;
    std::size_t count_ = 0;
    std::size_t zeros_ = 0;
    bool materialised_ = false;
};

}  // namespace velunda::arrow::typed
