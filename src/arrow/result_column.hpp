#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "arrow/c_data.hpp"
#include "arrow/text_column.hpp"

namespace velunda::arrow {

// A decoded column as Arrow buffers: per row its JSON (large_string, null where the row failed
// or was null) and its error message (string, null where it decoded). Every export shares these
// buffers, so nothing is copied on the way to the consumer; the last release frees them.
class ResultColumn {
public:
    // Decodes every row of `input` on `threads` threads, each chunk's JSON copied into the json
    // child's buffer by the worker that decoded it (by the calling thread when its place came
    // later), the offsets filled in row order;
    // `keep_going` is asked between chunks on the calling thread (a stop request makes the
    // result null). Throws std::overflow_error when the messages outgrow a string column (2 GiB).
    static std::shared_ptr<const ResultColumn> decode(std::string_view kind, std::uint64_t version,
                                                      const TextColumn& input, unsigned threads,
                                                      const std::function<bool()>& keep_going = {});

    ResultColumn(const ResultColumn&) = delete;
    ResultColumn& operator=(const ResultColumn&) = delete;
    ~ResultColumn();

    std::int64_t length() const { return length_; }

private:
    friend struct ArrayExport;
    ResultColumn() = default;

    std::int64_t length_ = 0;
    std::int64_t json_null_count_ = 0;
    std::uint8_t* json_validity_ = nullptr;
    std::int64_t* json_offsets_ = nullptr;
    char* json_text_ = nullptr;  // mapped pages: MappedText
    std::size_t json_mapped_ = 0;
    std::int64_t error_null_count_ = 0;
    std::uint8_t* error_validity_ = nullptr;
    std::int32_t* error_offsets_ = nullptr;
    char* error_text_ = nullptr;
};

using ResultChunks = std::vector<std::shared_ptr<const ResultColumn>>;

// struct<json: large_string, error: string>
void export_schema(ArrowSchema* out);
void export_array(const std::shared_ptr<const ResultColumn>& column, ArrowArray* out);
// A stream of one array per chunk, in order.
void export_stream(ResultChunks chunks, ArrowArrayStream* out);

}  // namespace velunda::arrow
