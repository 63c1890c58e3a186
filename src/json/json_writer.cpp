#include "json/json_writer.hpp"

#include <cstdlib>
#include <new>
#include <utility>

namespace velunda::json {

namespace {

char* resize(TextStorage* storage, char* begin, std::size_t capacity) {
    char* resized = storage != nullptr ? storage->resize(capacity) : static_cast<char*>(std::realloc(begin, capacity));
    if (resized == nullptr) throw std::bad_alloc();
    return resized;
}

}  // namespace

JsonWriter::JsonWriter(std::size_t initial_capacity, TextStorage* storage) : storage_(storage) {
    if (initial_capacity == 0) return;
    begin_ = resize(storage_, nullptr, initial_capacity);
    cursor_ = begin_;
    end_ = begin_ + initial_capacity;
}

JsonWriter::~JsonWriter() {
    if (storage_ == nullptr) std::free(begin_);
}

JsonWriter::JsonWriter(JsonWriter&& other) noexcept
    : begin_(std::exchange(other.begin_, nullptr)),
      cursor_(std::exchange(other.cursor_, nullptr)),
      end_(std::exchange(other.end_, nullptr)),
      storage_(std::exchange(other.storage_, nullptr)) {}

void JsonWriter::write_string(std::string_view text) {
    reserve(codec::quoted_size(text));
    cursor_ = codec::write_quoted(cursor_, text);
}

void JsonWriter::grow(std::size_t size) {
    const std::size_t used = static_cast<std::size_t>(cursor_ - begin_);
    const std::size_t capacity = static_cast<std::size_t>(end_ - begin_);
    std::size_t wanted = capacity * 2;
    if (wanted < used + size) wanted = used + size;
    char* grown = resize(storage_, begin_, wanted);
    begin_ = grown;
    cursor_ = grown + used;
    end_ = grown + wanted;
}

}  // namespace velunda::json
