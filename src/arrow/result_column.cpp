#include "arrow/result_column.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "arrow/column_text.hpp"
#include "batch/json_chunks.hpp"

namespace velunda::arrow {

namespace {

void* allocate(std::size_t size) {
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

// A validity bitmap with every row valid; clear() marks the nulls.
struct Bitmap {
    std::uint8_t* bits;
    std::int64_t null_count = 0;

    explicit Bitmap(std::size_t length) : bits(static_cast<std::uint8_t*>(allocate((length + 7) / 8))) {
        std::memset(bits, 0xFF, (length + 7) / 8);
    }
    void clear(std::size_t row) {
        bits[row / 8] &= static_cast<std::uint8_t>(~(1u << (row % 8)));
        ++null_count;
    }
    // Arrow lets a column without nulls leave its bitmap out.
    std::uint8_t* release() {
        if (null_count != 0) return bits;
        std::free(bits);
        return nullptr;
    }
};

}  // namespace

std::shared_ptr<const ResultColumn> ResultColumn::decode(std::string_view kind, std::uint64_t version,
                                                         const TextColumn& input, unsigned threads,
                                                         const std::function<bool()>& keep_going) {
    std::shared_ptr<ResultColumn> column(new ResultColumn());
    const std::size_t length = input.size();
    column->length_ = static_cast<std::int64_t>(length);

    Bitmap json_validity(length);
    column->json_validity_ = json_validity.bits;  // owned by the column from here on
    Bitmap error_validity(length);
    column->error_validity_ = error_validity.bits;
    column->json_offsets_ = static_cast<std::int64_t*>(allocate((length + 1) * sizeof(std::int64_t)));
    column->error_offsets_ = static_cast<std::int32_t*>(allocate((length + 1) * sizeof(std::int32_t)));
    column->json_offsets_[0] = 0;
    column->error_offsets_[0] = 0;

    // A guess at the JSON's size: room it does not use is address space only.
    ColumnText json(2 * input.total_bytes() + 1024 * 1024);
    std::string errors;
    batch::SequenceSource source(kind, version, input);
    const auto consume = [&](const batch::Chunk& chunk) {
        const auto base = static_cast<std::int64_t>(json.take(chunk.first_row, chunk.text.text()));
        auto failure = chunk.failures.begin();
        for (std::size_t at = 0; at < chunk.ends.size(); ++at) {
            const std::size_t row = chunk.first_row + at;
            column->json_offsets_[row + 1] = base + static_cast<std::int64_t>(chunk.ends[at]);
            if (failure != chunk.failures.end() && failure->row == row) {
                errors += failure->message();
                if (errors.size() > static_cast<std::size_t>(INT32_MAX)) {
                    throw std::overflow_error(
                        "the error messages of one Arrow array exceed 2 GiB; pass the column in smaller chunks");
                }
                json_validity.clear(row);
                ++failure;
            } else {
                error_validity.clear(row);
                if (input.has_absent_rows() && !input.present(row)) json_validity.clear(row);
            }
            column->error_offsets_[row + 1] = static_cast<std::int32_t>(errors.size());
        }
        return true;
    };
    if (!batch::decode_in_order({.source = source,
                                 .threads = threads,
                                 .row_end = {},
                                 .consume = consume,
                                 .keep_going = keep_going,
                                 .decoded = [&json](const batch::Chunk& chunk) {
                                     json.place(chunk.first_row, chunk.ends.size(), chunk.text.text());
                                 }})) {
        return nullptr;
    }
    column->json_null_count_ = json_validity.null_count;
    column->json_validity_ = json_validity.release();
    column->error_null_count_ = error_validity.null_count;
    column->error_validity_ = error_validity.release();
    column->error_text_ = static_cast<char*>(allocate(errors.size()));
    if (!errors.empty()) std::memcpy(column->error_text_, errors.data(), errors.size());
    // Consumers expect a data buffer even when every row is null or empty: a mapping always has a page.
    const MappedText text = json.release();
    column->json_text_ = text.data;
    column->json_mapped_ = text.mapped;
    return column;
}

ResultColumn::~ResultColumn() {
    std::free(json_validity_);
    std::free(json_offsets_);
    MappedText::free(json_text_, json_mapped_);
    std::free(error_validity_);
    std::free(error_offsets_);
    std::free(error_text_);
}

// ---- Schema ------------------------------------------------------------------------------------

namespace {

struct SchemaExport {
    ArrowSchema children[2];
    ArrowSchema* child_pointers[2];
};

void release_child_schema(ArrowSchema* schema) { schema->release = nullptr; }

void release_schema(ArrowSchema* schema) {
    auto* owned = static_cast<SchemaExport*>(schema->private_data);
    for (ArrowSchema* child : owned->child_pointers) {
        if (child->release != nullptr) child->release(child);
    }
    delete owned;
    schema->release = nullptr;
}

void set_schema(ArrowSchema* out, const char* format, const char* name, std::int64_t flags) {
    *out = ArrowSchema{format, name, nullptr, flags, 0, nullptr, nullptr, &release_child_schema, nullptr};
}

}  // namespace

void export_schema(ArrowSchema* out) {
    auto* owned = new SchemaExport();
    set_schema(&owned->children[0], "U", "json", ARROW_FLAG_NULLABLE);
    set_schema(&owned->children[1], "u", "error", ARROW_FLAG_NULLABLE);
    owned->child_pointers[0] = &owned->children[0];
    owned->child_pointers[1] = &owned->children[1];
    *out = ArrowSchema{"+s", "", nullptr, 0, 2, owned->child_pointers, nullptr, &release_schema, owned};
}

// ---- Arrays ------------------------------------------------------------------------------------

// Each exported array, and each child on its own (a consumer may move a child out and release
// it later), holds a share of the column.
struct ArrayExport {
    std::shared_ptr<const ResultColumn> column;
    const void* buffers[3];
    ArrowArray* child_pointers[2];
    ArrowArray children[2];

    static void release_child(ArrowArray* array) {
        delete static_cast<ArrayExport*>(array->private_data);
        array->release = nullptr;
    }

    static void release(ArrowArray* array) {
        auto* owned = static_cast<ArrayExport*>(array->private_data);
        for (ArrowArray* child : owned->child_pointers) {
            if (child->release != nullptr) child->release(child);
        }
        delete owned;
        array->release = nullptr;
    }

    static void export_child(const std::shared_ptr<const ResultColumn>& column, bool json, ArrowArray* out) {
        auto* owned = new ArrayExport{column, {}, {}, {}};
        const ResultColumn& c = *column;
        if (json) {
            owned->buffers[0] = c.json_validity_;
            owned->buffers[1] = c.json_offsets_;
            owned->buffers[2] = c.json_text_;
        } else {
            owned->buffers[0] = c.error_validity_;
            owned->buffers[1] = c.error_offsets_;
            owned->buffers[2] = c.error_text_;
        }
        *out = ArrowArray{c.length_,
                          json ? c.json_null_count_ : c.error_null_count_,
                          0,
                          3,
                          0,
                          owned->buffers,
                          nullptr,
                          nullptr,
                          &release_child,
                          owned};
    }
};

void export_array(const std::shared_ptr<const ResultColumn>& column, ArrowArray* out) {
    auto* owned = new ArrayExport{column, {nullptr}, {}, {}};
    ArrayExport::export_child(column, true, &owned->children[0]);
    ArrayExport::export_child(column, false, &owned->children[1]);
    owned->child_pointers[0] = &owned->children[0];
    owned->child_pointers[1] = &owned->children[1];
    *out = ArrowArray{column->length(),      0,    0, 1, 2, owned->buffers, owned->child_pointers, nullptr,
                      &ArrayExport::release, owned};
}

// ---- Streams -----------------------------------------------------------------------------------

namespace {

struct StreamExport {
    ResultChunks chunks;
    std::size_t next = 0;
    std::string last_error;
};

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    try {
        export_schema(out);
        return 0;
    } catch (const std::bad_alloc&) {
        static_cast<StreamExport*>(stream->private_data)->last_error = "out of memory";
        return ENOMEM;
    }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto* owned = static_cast<StreamExport*>(stream->private_data);
    if (owned->next == owned->chunks.size()) {
        std::memset(out, 0, sizeof *out);  // the end: an array with no release callback
        return 0;
    }
    try {
        export_array(owned->chunks[owned->next], out);
        ++owned->next;
        return 0;
    } catch (const std::bad_alloc&) {
        owned->last_error = "out of memory";
        return ENOMEM;
    }
}

const char* stream_last_error(ArrowArrayStream* stream) {
    const std::string& error = static_cast<StreamExport*>(stream->private_data)->last_error;
    return error.empty() ? nullptr : error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
    delete static_cast<StreamExport*>(stream->private_data);
    stream->release = nullptr;
}

}  // namespace

void export_stream(ResultChunks chunks, ArrowArrayStream* out) {
    auto* owned = new StreamExport{std::move(chunks), 0, {}};
    *out = ArrowArrayStream{&stream_get_schema, &stream_get_next, &stream_last_error, &stream_release, owned};
}

}  // namespace velunda::arrow
