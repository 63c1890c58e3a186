#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "codec/checks.hpp"
#include "codec/number_format.hpp"
#include "codec/static_text.hpp"
#include "codec/text_storage.hpp"

namespace velunda::json {

using codec::max_number_chars;
using codec::TextStorage;

// One growing text buffer, in malloc'd memory or in a caller's TextStorage. Writers append
// tokens whose separators the walker already placed (keys carry their leading `,` or `{`), so
// writing never fails; only growth can, with bad_alloc.
class JsonWriter {
public:
    explicit JsonWriter(std::size_t initial_capacity = 128, TextStorage* storage = nullptr);
    ~JsonWriter();
    JsonWriter(JsonWriter&& other) noexcept;
    JsonWriter& operator=(JsonWriter&& other) = delete;
    JsonWriter(const JsonWriter&) = delete;
    JsonWriter& operator=(const JsonWriter&) = delete;

    std::string_view text() const { return {begin_, static_cast<std::size_t>(cursor_ - begin_)}; }

    void put(char c) {
        reserve(1);
        *cursor_++ = c;
    }
    void put(std::string_view text) {
        reserve(text.size());
        std::memcpy(cursor_, text.data(), text.size());
        cursor_ += text.size();
    }
    template <std::size_t N>
    void put(const std::array<char, N>& token) {
        reserve(N);
        std::memcpy(cursor_, token.data(), N);
        cursor_ += N;
    }

    // `format` writes at most max_number_chars bytes and returns the end of its text.
    template <class Value, class Format>
    void put_formatted(Value value, Format format) {
        reserve(max_number_chars);
        cursor_ = format(cursor_, value);
    }
    void write_string(std::string_view text);

    // Room for `size` more bytes, to be filled through a TextCursor from cursor() on.
    void reserve(std::size_t size) {
        if (static_cast<std::size_t>(end_ - cursor_) < size) grow(size);
    }
    char* cursor() const { return cursor_; }
    void set_cursor(char* cursor) {
        VELUNDA_ASSERT(cursor >= cursor_ && cursor <= end_);
        cursor_ = cursor;
    }

private:
    void grow(std::size_t size);

    char* begin_ = nullptr;
    char* cursor_ = nullptr;
    char* end_ = nullptr;
    TextStorage* storage_ = nullptr;
};

// Writes into room a JsonWriter has reserved, with the writer's interface and, in release
// builds, no checks: each value's reservation is computed from its type's largest JSON. Checked
// builds carry the reservation's end and stop at the first write past it.
struct TextCursor {
    char* at;
#if defined(VELUNDA_CHECKED)
    char* end;
    TextCursor(char* start, std::size_t room) : at(start), end(start + room) {}
#else
    TextCursor(char* start, std::size_t) : at(start) {}
#endif

    void put(char c) {
        VELUNDA_ASSERT(at + 1 <= end);
        *at++ = c;
    }
    template <std::size_t N>
    void put(const std::array<char, N>& token) {
        VELUNDA_ASSERT(at + N <= end);
        std::memcpy(at, token.data(), N);
        at += N;
    }
    template <class Value, class Format>
    void put_formatted(Value value, Format format) {
        VELUNDA_ASSERT(at + max_number_chars <= end);
        at = format(at, value);
    }
    // Several values' text at once, within `room`.
    template <class Write>
    void put_within([[maybe_unused]] std::size_t room, Write write) {
        VELUNDA_ASSERT(at + room <= end);
        at = write(at);
    }
};

}  // namespace velunda::json
