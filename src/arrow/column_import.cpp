#include "arrow/column_import.hpp"

#include <cstring>
#include <string>

namespace velunda::arrow {

namespace {

// Moves a structure out of the producer's hands: the interface lets a consumer take it by copy,
// marking the original released.
template <class Struct>
Struct take(Struct& from) {
    Struct taken = from;
    from.release = nullptr;
    return taken;
}

template <class Struct>
void release_once(Struct& value) {
    if (value.release == nullptr) return;
    auto* const release = value.release;
    release(&value);
    value.release = nullptr;  // a producer that forgets to mark it is not released twice
}

}  // namespace

std::optional<ColumnProblem> ImportedColumns::take_array(ArrowSchema& schema, ArrowArray& array) {
    if (schema.release != nullptr) schema_ = take(schema);
    if (array.release != nullptr) arrays_.push_back(take(array));
    if (schema_.release == nullptr || arrays_.empty()) return fail(malformed("an Arrow export already released"));
    columns_.emplace_back();
    if (auto problem = TextColumn::open(schema_, arrays_.back(), columns_.back())) return fail(std::move(*problem));
    return std::nullopt;
}

std::optional<ColumnProblem> ImportedColumns::take_stream(ArrowArrayStream& stream) {
    from_stream_ = true;
    if (stream.release == nullptr) return fail(malformed("an Arrow stream already released"));
    stream_ = take(stream);
    const char* missing = stream_.get_schema == nullptr       ? "get_schema"
                          : stream_.get_next == nullptr       ? "get_next"
                          : stream_.get_last_error == nullptr ? "get_last_error"
                                                              : nullptr;
    if (missing != nullptr) return fail(malformed(std::string("an Arrow stream without its ") + missing + " callback"));

    ArrowSchema schema{};
    if (const int code = stream_.get_schema(&stream_, &schema)) return stream_failed(code);
    schema_ = schema;
    if (auto problem = TextColumn::check_type(schema_)) return fail(std::move(*problem));
    while (true) {
        ArrowArray next{};
        if (const int code = stream_.get_next(&stream_, &next)) return stream_failed(code);  // `next` was not filled
        if (next.release == nullptr) return std::nullopt;
        arrays_.push_back(next);
        columns_.emplace_back();
        if (auto problem = TextColumn::open(schema_, arrays_.back(), columns_.back())) {
            return fail(std::move(*problem));
        }
    }
}

// The producer's reason lives in the stream, so it is copied before the stream is released.
std::optional<ColumnProblem> ImportedColumns::stream_failed(int code) {
    const char* reason = stream_.get_last_error(&stream_);
    std::string message = "the Arrow stream failed: ";
    message += reason != nullptr ? reason : std::strerror(code);
    return fail({ColumnProblem::Kind::malformed, std::move(message)});
}

void ImportedColumns::release() {
    columns_.clear();
    for (ArrowArray& array : arrays_) release_once(array);
    arrays_.clear();
    release_once(schema_);
    release_once(stream_);
}

void ImportedColumns::abandon() {
    columns_.clear();
    arrays_.clear();
    schema_ = {};
    stream_ = {};
}

}  // namespace velunda::arrow
