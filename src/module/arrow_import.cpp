// parse_arrow: an Arrow text column, read in place through the C Data Interface, decoded on the
// batch core while the interpreter lock is released.

#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "arrow/result_column.hpp"
#include "arrow/text_column.hpp"
#include "module/binding.hpp"
#include "module/column_input.hpp"
#include "module/decoded_column.hpp"

namespace velunda::binding {

namespace {

constexpr const char* arrow_parameters[] = {"kind", "version", "column", "threads"};
constexpr Signature arrow_signature{"BinaryParser.parse_arrow()", arrow_parameters, 3, 4};

// Decodes each column on the batch core with the interpreter lock released; false when the call
// was stopped between chunks (report_stop says why).
bool decode_columns(std::span<const arrow::TextColumn> columns, std::string_view kind, std::uint64_t version,
                    unsigned threads, arrow::ResultChunks& chunks) {
    bool stopped = false;
    {
        WithoutInterpreterLock unlocked;
        const auto keep_going = [&] { return unlocked.keep_going(); };
        for (const arrow::TextColumn& rows : columns) {
            auto decoded = arrow::ResultColumn::decode(kind, version, rows, threads, keep_going);
            if (!decoded) {
                stopped = true;
                break;
            }
            chunks.push_back(std::move(decoded));
        }
    }
    return !stopped;
}

}  // namespace

PyObject* parse_arrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[4];
    std::string_view kind;
    std::uint64_t version = 0;
    unsigned threads = 1;
    if (!begin_call(self, arrow_signature, args, nargs, kwnames, bound, kind, version) ||
        !read_threads(bound[3], threads)) {
        return nullptr;
    }
    if (!is_known_kind(kind)) return raise_unknown_kind(kind, version);
    ColumnInput input;
    if (!input.take(bound[2])) return nullptr;
    return guarded([&]() -> PyObject* {
        arrow::ResultChunks chunks;
        const bool decoded = decode_columns(input.imported().columns(), kind, version, threads, chunks);
        input.release();
        if (!decoded) {
            WithoutInterpreterLock::report_stop();
            return nullptr;
        }
        return new_decoded_column(std::move(chunks), input.imported().from_stream());
    });
}

}  // namespace velunda::binding
