// parse_arrow: an Arrow text column, read in place through the C Data Interface, decoded on the
// batch core while the interpreter lock is released.

#include <cstring>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "arrow/result_column.hpp"
#include "arrow/text_column.hpp"
#include "module/binding.hpp"
#include "module/decoded_column.hpp"

namespace velunda::binding {

namespace {

constexpr const char* arrow_parameters[] = {"kind", "version", "column", "threads"};
constexpr Signature arrow_signature{"BinaryParser.parse_arrow()", arrow_parameters, 3, 4};

// An imported Arrow structure, released when done with.
template <class Struct>
struct Imported {
    Struct value{};
    Imported() = default;
    Imported(const Imported&) = delete;
    Imported& operator=(const Imported&) = delete;
    ~Imported() {
        if (value.release != nullptr && !thread_is_ending()) value.release(&value);
    }
};

bool raise_column_problem(const arrow::ColumnProblem& problem) {
    if (problem.kind == arrow::ColumnProblem::Kind::not_text) {
        PyErr_Format(PyExc_TypeError, "argument 'column': %s", problem.message.c_str());
    } else {
        PyErr_Format(PyExc_ValueError, "argument 'column': %s", problem.message.c_str());
    }
    return false;
}

// Calls column.<method>() with no arguments; the caller checks what it returned.
PyObject* call_export(PyObject* column, const char* method) {
    PyObject* name = PyUnicode_FromString(method);
    if (name == nullptr) return nullptr;
    PyObject* result = PyObject_CallMethodNoArgs(column, name);
    Py_DECREF(name);
    return result;
}

template <class Struct>
Struct* capsule_pointer(PyObject* capsule, const char* name) {
    if (!PyCapsule_IsValid(capsule, name)) {
        PyErr_Format(PyExc_TypeError, "argument 'column': its Arrow export is not a '%s' capsule", name);
        return nullptr;
    }
    return static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
}

// Decodes each column on the batch core with the interpreter lock released; false with an
// exception set when the call was stopped between chunks.
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
    if (stopped) WithoutInterpreterLock::report_stop();
    return !stopped;
}

PyObject* decode_array_export(PyObject* column, std::string_view kind, std::uint64_t version, unsigned threads) {
    PyObject* pair = call_export(column, "__arrow_c_array__");
    if (pair == nullptr) return nullptr;
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
        Py_DECREF(pair);
        PyErr_SetString(PyExc_TypeError, "argument 'column': __arrow_c_array__() did not return a pair of capsules");
        return nullptr;
    }
    const auto* schema = capsule_pointer<ArrowSchema>(PyTuple_GET_ITEM(pair, 0), "arrow_schema");
    const auto* array =
        schema != nullptr ? capsule_pointer<ArrowArray>(PyTuple_GET_ITEM(pair, 1), "arrow_array") : nullptr;
    arrow::TextColumn rows;
    if (array == nullptr || array->release == nullptr || schema->release == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "argument 'column': an Arrow export already released");
        Py_DECREF(pair);
        return nullptr;
    }
    if (auto problem = arrow::TextColumn::open(*schema, *array, rows)) {
        Py_DECREF(pair);
        raise_column_problem(*problem);
        return nullptr;
    }
    PyObject* result = guarded([&]() -> PyObject* {
        arrow::ResultChunks chunks;
        if (!decode_columns({&rows, 1}, kind, version, threads, chunks)) return nullptr;
        return new_decoded_column(std::move(chunks), false);
    });
    if (!thread_is_ending()) Py_DECREF(pair);  // the capsules' destructors release the column
    return result;
}

PyObject* decode_stream_export(PyObject* column, std::string_view kind, std::uint64_t version, unsigned threads) {
    PyObject* capsule = call_export(column, "__arrow_c_stream__");
    if (capsule == nullptr) return nullptr;
    PyObject* result = guarded([&]() -> PyObject* {
        auto* stream = capsule_pointer<ArrowArrayStream>(capsule, "arrow_array_stream");
        if (stream == nullptr) return nullptr;
        if (stream->release == nullptr) {
            PyErr_SetString(PyExc_ValueError, "argument 'column': an Arrow stream already released");
            return nullptr;
        }
        const auto stream_failure = [stream](int code) {
            const char* reason = stream->get_last_error(stream);
            PyErr_Format(PyExc_ValueError, "argument 'column': the Arrow stream failed: %s",
                         reason != nullptr ? reason : std::strerror(code));
            return nullptr;
        };
        Imported<ArrowSchema> schema;
        if (const int code = stream->get_schema(stream, &schema.value)) return stream_failure(code);
        if (auto problem = arrow::TextColumn::check_type(schema.value)) {
            raise_column_problem(*problem);
            return nullptr;
        }
        std::vector<std::unique_ptr<Imported<ArrowArray>>> arrays;
        std::vector<arrow::TextColumn> columns;
        while (true) {
            auto array = std::make_unique<Imported<ArrowArray>>();
            if (const int code = stream->get_next(stream, &array->value)) return stream_failure(code);
            if (array->value.release == nullptr) break;
            columns.emplace_back();
            if (auto problem = arrow::TextColumn::open(schema.value, array->value, columns.back())) {
                raise_column_problem(*problem);
                return nullptr;
            }
            arrays.push_back(std::move(array));
        }
        arrow::ResultChunks chunks;
        if (!decode_columns(columns, kind, version, threads, chunks)) return nullptr;
        return new_decoded_column(std::move(chunks), true);
    });
    if (!thread_is_ending()) Py_DECREF(capsule);
    return result;
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
    PyObject* column = bound[2];
    if (PyObject_HasAttrString(column, "__arrow_c_array__") == 1)
        return decode_array_export(column, kind, version, threads);
    if (PyObject_HasAttrString(column, "__arrow_c_stream__") == 1)
        return decode_stream_export(column, kind, version, threads);
    PyErr_Format(PyExc_TypeError,
                 "argument 'column': '%s' object is not an Arrow column (it has neither __arrow_c_array__ nor "
                 "__arrow_c_stream__)",
                 type_name(column).c_str());
    return nullptr;
}

}  // namespace velunda::binding
