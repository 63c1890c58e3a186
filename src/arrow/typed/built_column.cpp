#include "arrow/typed/built_column.hpp"

#include <cerrno>
#include <cstring>
#include <new>

namespace velunda::arrow::typed {

namespace {

// ---- Schemas -----------------------------------------------------------------------------------

struct SchemaNode {
    std::string format;
    std::string name;
    std::vector<ArrowSchema> children;
    std::vector<ArrowSchema*> child_pointers;
    ArrowSchema dictionary{};
};

void release_schema(ArrowSchema* schema) {
    auto* node = static_cast<SchemaNode*>(schema->private_data);
    for (ArrowSchema& child : node->children) {
        if (child.release != nullptr) child.release(&child);
    }
    if (node->dictionary.release != nullptr) node->dictionary.release(&node->dictionary);
    delete node;
    schema->release = nullptr;
}

void fill_schema(const Column& column, ArrowSchema* out) {
    auto node = std::make_unique<SchemaNode>();
    node->format = column.format;
    node->name = column.name;
    node->children.resize(column.children.size());
    for (std::size_t i = 0; i < column.children.size(); ++i) {
        fill_schema(column.children[i], &node->children[i]);
        node->child_pointers.push_back(&node->children[i]);
    }
    if (column.dictionary) fill_schema(*column.dictionary, &node->dictionary);
    SchemaNode* raw = node.release();
    *out = ArrowSchema{raw->format.c_str(),
                       raw->name.c_str(),
                       nullptr,
                       ARROW_FLAG_NULLABLE,
                       static_cast<std::int64_t>(raw->children.size()),
                       raw->child_pointers.empty() ? nullptr : raw->child_pointers.data(),
                       column.dictionary ? &raw->dictionary : nullptr,
                       &release_schema,
                       raw};
}

// ---- Arrays ------------------------------------------------------------------------------------

struct ArrayNode {
    std::shared_ptr<const Column> owner;  // keeps the buffers alive
    std::vector<const void*> buffers;
    std::vector<ArrowArray> children;
    std::vector<ArrowArray*> child_pointers;
    ArrowArray dictionary{};
};

void release_array(ArrowArray* array) {
    auto* node = static_cast<ArrayNode*>(array->private_data);
    for (ArrowArray& child : node->children) {
        if (child.release != nullptr) child.release(&child);
    }
    if (node->dictionary.release != nullptr) node->dictionary.release(&node->dictionary);
    delete node;
    array->release = nullptr;
}

void fill_array(const std::shared_ptr<const Column>& owner, const Column& column, ArrowArray* out) {
    auto node = std::make_unique<ArrayNode>();
    node->owner = owner;
    for (const Buffer& buffer : column.buffers) node->buffers.push_back(buffer.data);
    node->children.resize(column.children.size());
    for (std::size_t i = 0; i < column.children.size(); ++i) {
        fill_array(owner, column.children[i], &node->children[i]);
        node->child_pointers.push_back(&node->children[i]);
    }
    if (column.dictionary) fill_array(column.dictionary, *column.dictionary, &node->dictionary);
    ArrayNode* raw = node.release();
    *out = ArrowArray{column.length,
                      column.null_count,
                      0,
                      static_cast<std::int64_t>(raw->buffers.size()),
                      static_cast<std::int64_t>(raw->children.size()),
                      raw->buffers.empty() ? nullptr : raw->buffers.data(),
                      raw->child_pointers.empty() ? nullptr : raw->child_pointers.data(),
                      column.dictionary ? &raw->dictionary : nullptr,
                      &release_array,
                      raw};
}

// ---- Streams -----------------------------------------------------------------------------------

struct StreamState {
    Batch schema_of;
    std::vector<Batch> batches;
    std::size_t next = 0;
    std::string last_error;
};

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    auto* state = static_cast<StreamState*>(stream->private_data);
    try {
        fill_schema(*state->schema_of, out);
        return 0;
    } catch (const std::bad_alloc&) {
        state->last_error = "out of memory";
        return ENOMEM;
    }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto* state = static_cast<StreamState*>(stream->private_data);
    if (state->next == state->batches.size()) {
        std::memset(out, 0, sizeof *out);  // the end: an array with no release callback
        return 0;
    }
    try {
        export_array(state->batches[state->next], out);
        ++state->next;
        return 0;
    } catch (const std::bad_alloc&) {
        state->last_error = "out of memory";
        return ENOMEM;
    }
}

const char* stream_last_error(ArrowArrayStream* stream) {
    const std::string& error = static_cast<StreamState*>(stream->private_data)->last_error;
    return error.empty() ? nullptr : error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
    delete static_cast<StreamState*>(stream->private_data);
    stream->release = nullptr;
}

}  // namespace

void export_schema(const Column& column, ArrowSchema* out) { fill_schema(column, out); }

void export_array(const Batch& batch, ArrowArray* out) { fill_array(batch, *batch, out); }

void export_stream(Batch schema_of, std::vector<Batch> batches, ArrowArrayStream* out) {
    auto* state = new StreamState{std::move(schema_of), std::move(batches), 0, {}};
    *out = ArrowArrayStream{&stream_get_schema, &stream_get_next, &stream_last_error, &stream_release, state};
}

}  // namespace velunda::arrow::typed
