#pragma once

// A decoded batch as Arrow columns: a tree of nodes, each with its format, name, buffers and
// children, exported through the C Data Interface without copying. Each exported array (and each
// child on its own, as a consumer may move one out) holds a share of its batch; the last release
// frees the buffers.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "arrow/c_data.hpp"

namespace velunda::arrow::typed {

// A malloc'd block, or none (a column without nulls has no validity bitmap).
struct Buffer {
    void* data = nullptr;

    Buffer() = default;
    explicit Buffer(void* owned) : data(owned) {}
    Buffer(Buffer&& other) noexcept : data(other.data) { other.data = nullptr; }
    Buffer& operator=(Buffer&& other) noexcept {
        std::swap(data, other.data);
        return *this;
    }
    ~Buffer() { std::free(data); }
};

struct Column {
    std::string format;
    std::string name;
    std::int64_t length = 0;
    std::int64_t null_count = 0;
    std::vector<Buffer> buffers;
    std::vector<Column> children;
    std::shared_ptr<const Column> dictionary;  // a dictionary-encoded column's values
};

using Batch = std::shared_ptr<const Column>;

// The schema of `column` (a zero-row batch is the schema alone); every field nullable.
void export_schema(const Column& column, ArrowSchema* out);
// The batch's root column as an array sharing its buffers.
void export_array(const Batch& batch, ArrowArray* out);
// A stream of the batches, in order, all of the schema of `schema_of`.
void export_stream(Batch schema_of, std::vector<Batch> batches, ArrowArrayStream* out);

}  // namespace velunda::arrow::typed
