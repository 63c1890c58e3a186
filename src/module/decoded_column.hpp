#pragma once

// What parse_arrow returns: the decoded column, exported through the Arrow PyCapsule interface.

#include "arrow/result_column.hpp"
#include "module/binding.hpp"

namespace velunda::binding {

// A DecodedColumn (one array: __arrow_c_array__ and __arrow_c_stream__), or, from a stream, a
// DecodedChunkedColumn (__arrow_c_stream__ only); nullptr with the exception set on failure.
PyObject* new_decoded_column(arrow::ResultChunks&& chunks, bool chunked);

}  // namespace velunda::binding
