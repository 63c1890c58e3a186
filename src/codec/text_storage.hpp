#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace velunda::codec {

// Memory a caller owns for the text, so that the finished text needs no final copy (the
// binding grows its result str in place). `resize` keeps the first bytes, like realloc, and
// returns the new start or nullptr when memory runs out.
class TextStorage {
public:
    virtual char* resize(std::size_t capacity) = 0;

protected:
    ~TextStorage() = default;
};

// Room for short texts inside the object (on the caller's stack), moving to the heap only
// when a text outgrows it: most payloads then cost no allocation for their text at all.
template <std::size_t InlineSize>
class InlineTextStorage final : public TextStorage {
public:
    InlineTextStorage() = default;
    InlineTextStorage(const InlineTextStorage&) = delete;
    InlineTextStorage& operator=(const InlineTextStorage&) = delete;
    ~InlineTextStorage() { std::free(heap_); }

    char* resize(std::size_t capacity) override {
        if (heap_ == nullptr && capacity <= InlineSize) return inline_;
        if (heap_ == nullptr) {
            heap_ = static_cast<char*>(std::malloc(capacity));
            if (heap_ != nullptr) std::memcpy(heap_, inline_, InlineSize);
            return heap_;
        }
        char* grown = static_cast<char*>(std::realloc(heap_, capacity));
        if (grown != nullptr) heap_ = grown;
        return grown;
    }

private:
    char inline_[InlineSize];
    char* heap_ = nullptr;
};

}  // namespace velunda::codec
