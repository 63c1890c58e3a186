#include "codec/json_writer.hpp"

#include <cstdlib>
#include <new>
#include <utility>

namespace velunda::codec {

JsonWriter::JsonWriter(std::size_t initial_capacity) {
    if (initial_capacity == 0) return;
    begin_ = static_cast<char*>(std::malloc(initial_capacity));
    if (begin_ == nullptr) throw std::bad_alloc();
    cursor_ = begin_;
    end_ = begin_ + initial_capacity;
}

JsonWriter::~JsonWriter() { std::free(begin_); }

JsonWriter::JsonWriter(JsonWriter&& other) noexcept
    : begin_(std::exchange(other.begin_, nullptr)),
      cursor_(std::exchange(other.cursor_, nullptr)),
      end_(std::exchange(other.end_, nullptr)) {}

JsonWriter& JsonWriter::operator=(JsonWriter&& other) noexcept {
    if (this != &other) {
        std::free(begin_);
        begin_ = std::exchange(other.begin_, nullptr);
        cursor_ = std::exchange(other.cursor_, nullptr);
        end_ = std::exchange(other.end_, nullptr);
    }
    return *this;
}

void JsonWriter::write_string(std::string_view text) {
    reserve(quoted_size(text));
    cursor_ = write_quoted(cursor_, text);
}

void JsonWriter::grow(std::size_t size) {
    const std::size_t used = static_cast<std::size_t>(cursor_ - begin_);
    const std::size_t capacity = static_cast<std::size_t>(end_ - begin_);
    std::size_t wanted = capacity * 2;
    if (wanted < used + size) wanted = used + size;
    char* grown = static_cast<char*>(std::realloc(begin_, wanted));
    if (grown == nullptr) throw std::bad_alloc();
    begin_ = grown;
    cursor_ = grown + used;
    end_ = grown + wanted;
}

}  // namespace velunda::codec
