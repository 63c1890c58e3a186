#pragma once

// Taking a text column over from an Arrow producer: an array (schema and array) or a stream of
// arrays. The producer's structures are moved here, so exactly one release of each happens, here,
// and none of a structure the producer did not fill.

#include <optional>
#include <span>
#include <vector>

#include "arrow/c_data.hpp"
#include "arrow/text_column.hpp"

namespace velunda::arrow {

class ImportedColumns {
public:
    ImportedColumns() = default;
    ImportedColumns(const ImportedColumns&) = delete;
    ImportedColumns& operator=(const ImportedColumns&) = delete;
    ~ImportedColumns() { release(); }

    // Takes `schema` and `array` over (the producer's copies are marked released) and opens the
    // column. On a problem, everything taken over has been released when it returns.
    std::optional<ColumnProblem> take_array(ArrowSchema& schema, ArrowArray& array);
    // Takes `stream` over and reads every array of it; on a problem, likewise.
    std::optional<ColumnProblem> take_stream(ArrowArrayStream& stream);

    std::span<const TextColumn> columns() const { return columns_; }
    bool from_stream() const { return from_stream_; }

    // Releases everything taken over (the producer's callbacks run here).
    void release();
    // Forgets what was taken over without releasing it: for a thread whose interpreter is ending,
    // where the producer's callbacks must not run.
    void abandon();

private:
    std::optional<ColumnProblem> fail(ColumnProblem problem) {
        release();
        return problem;
    }
    std::optional<ColumnProblem> stream_failed(int code);

    bool from_stream_ = false;
    ArrowArrayStream stream_{};
    ArrowSchema schema_{};
    std::vector<ArrowArray> arrays_;
    std::vector<TextColumn> columns_;
};

}  // namespace velunda::arrow
