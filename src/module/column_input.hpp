#pragma once

// The text column an Arrow method was given, taken over from its producer through the PyCapsule
// interface: parse_arrow's and parse_table's one way in.

#include "arrow/column_import.hpp"
#include "module/binding.hpp"

namespace velunda::binding {

// What was taken from the column, released when done with. The producer's release callbacks may
// run Python code, so a pending exception is set aside while they run; a thread the interpreter
// is ending leaves them unreleased.
class ColumnInput {
public:
    ColumnInput() = default;
    ColumnInput(const ColumnInput&) = delete;
    ColumnInput& operator=(const ColumnInput&) = delete;
    ~ColumnInput() { release(); }

    // Takes `column` (an object exporting __arrow_c_array__ or __arrow_c_stream__) over and opens
    // its text; false with the exception set, everything taken already released.
    bool take(PyObject* column);
    const arrow::ImportedColumns& imported() const { return imported_; }
    void release();

private:
    arrow::ImportedColumns imported_;
};

}  // namespace velunda::binding
