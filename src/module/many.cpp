// parse_many and parse_arrow: many payloads per call, decoded on worker threads while the
// interpreter lock is released. The Python objects are read before and made after; the threads
// see only text views and buffers.

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "arrow/result_column.hpp"
#include "arrow/text_column.hpp"
#include "batch/decode_rows.hpp"
#include "module/binding.hpp"

namespace velunda::binding {

namespace {

// ---- parse_many --------------------------------------------------------------------------------

constexpr const char* many_parameters[] = {"kind", "version", "texts", "errors", "threads"};
constexpr Signature many_signature{"BinaryParser.parse_many()", many_parameters, 3, 5};

// The UTF-8 text of each str, read up front; the tuple holding the strs outlives the decode.
class StrRows final : public RowTexts {
public:
    std::size_t size() const override { return texts_.size(); }
    std::size_t total_bytes() const override { return total_bytes_; }
    std::optional<std::string_view> text(std::size_t row) const override { return texts_[row]; }

    // False with the exception set when an element is no str or cannot be encoded.
    bool read(PyObject* tuple) {
        const Py_ssize_t count = PyTuple_GET_SIZE(tuple);
        texts_.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* item = PyTuple_GET_ITEM(tuple, i);
            if (!PyUnicode_Check(item)) {
                PyErr_Format(PyExc_TypeError,
                             "argument 'texts': element %zd: '%s' object cannot be converted to 'PyString'", i,
                             type_name(item).c_str());
                return false;
            }
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
            if (utf8 == nullptr) return false;  // UnicodeEncodeError, as the interpreter raised it
            texts_.emplace_back(utf8, static_cast<std::size_t>(size));
            total_bytes_ += static_cast<std::size_t>(size);
        }
        return true;
    }

private:
    std::vector<std::string_view> texts_;
    std::size_t total_bytes_ = 0;
};

// An immutable hold on the texts: a list could change, and free its strs, while threads read them.
PyObject* texts_tuple(PyObject* texts) {
    if (PyUnicode_Check(texts) || PyBytes_Check(texts) || PyByteArray_Check(texts)) {
        PyErr_Format(PyExc_TypeError, "argument 'texts': expected a sequence of str, not '%s'",
                     type_name(texts).c_str());
        return nullptr;
    }
    PyObject* tuple = PySequence_Tuple(texts);
    if (tuple == nullptr && PyErr_ExceptionMatches(PyExc_TypeError)) prefix_type_error("texts");
    return tuple;
}

// ---- parse_arrow: results ----------------------------------------------------------------------

// What parse_arrow returns: the decoded column, exported through the Arrow PyCapsule interface
// as often as asked, each export sharing the same buffers.
struct DecodedColumnObject {
    PyObject_HEAD arrow::ResultChunks* chunks;
};

PyTypeObject* decoded_column_type = nullptr;          // one array: __arrow_c_array__ and __arrow_c_stream__
PyTypeObject* decoded_chunked_column_type = nullptr;  // from a stream: __arrow_c_stream__

void schema_capsule_destructor(PyObject* capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (schema == nullptr) return;
    if (schema->release != nullptr) schema->release(schema);
    delete schema;
}

void array_capsule_destructor(PyObject* capsule) {
    auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
    if (array == nullptr) return;
    if (array->release != nullptr) array->release(array);
    delete array;
}

void stream_capsule_destructor(PyObject* capsule) {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (stream == nullptr) return;
    if (stream->release != nullptr) stream->release(stream);
    delete stream;
}

// The consumer's requested schema is a hint the interface lets a producer ignore: the column has
// one form.
bool accept_requested_schema(PyObject* args, PyObject* kwargs, const char* format) {
    static const char* keywords[] = {"requested_schema", nullptr};
    PyObject* requested = nullptr;
    return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &requested) != 0;
}

// A capsule that owns the exported structure (its destructor releases and frees it); when no
// capsule can be made, the structure is released and freed here.
template <class Struct>
PyObject* owning_capsule(std::unique_ptr<Struct> exported, const char* name, PyCapsule_Destructor destructor) {
    Struct* raw = exported.release();
    PyObject* capsule = PyCapsule_New(raw, name, destructor);
    if (capsule == nullptr) {
        raw->release(raw);
        delete raw;
    }
    return capsule;
}

PyObject* decoded_column_array(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!accept_requested_schema(args, kwargs, "|O:__arrow_c_array__")) return nullptr;
    const auto& chunks = *reinterpret_cast<DecodedColumnObject*>(self)->chunks;
    return guarded([&]() -> PyObject* {
        auto schema = std::make_unique<ArrowSchema>();
        arrow::export_schema(schema.get());
        PyObject* schema_capsule = owning_capsule(std::move(schema), "arrow_schema", schema_capsule_destructor);
        if (schema_capsule == nullptr) return nullptr;
        PyObject* array_capsule = nullptr;
        try {
            auto array = std::make_unique<ArrowArray>();
            arrow::export_array(chunks.front(), array.get());
            array_capsule = owning_capsule(std::move(array), "arrow_array", array_capsule_destructor);
        } catch (...) {
            Py_DECREF(schema_capsule);
            throw;
        }
        PyObject* pair = array_capsule != nullptr ? PyTuple_Pack(2, schema_capsule, array_capsule) : nullptr;
        Py_DECREF(schema_capsule);
        Py_XDECREF(array_capsule);
        return pair;
    });
}

PyObject* decoded_column_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!accept_requested_schema(args, kwargs, "|O:__arrow_c_stream__")) return nullptr;
    const auto& chunks = *reinterpret_cast<DecodedColumnObject*>(self)->chunks;
    return guarded([&]() -> PyObject* {
        auto stream = std::make_unique<ArrowArrayStream>();
        arrow::export_stream(chunks, stream.get());
        return owning_capsule(std::move(stream), "arrow_array_stream", stream_capsule_destructor);
    });
}

Py_ssize_t decoded_column_length(PyObject* self) {
    Py_ssize_t length = 0;
    for (const auto& chunk : *reinterpret_cast<DecodedColumnObject*>(self)->chunks) length += chunk->length();
    return length;
}

void decoded_column_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<DecodedColumnObject*>(self)->chunks;
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef decoded_column_methods[] = {
    {"__arrow_c_array__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decoded_column_array)),
     METH_VARARGS | METH_KEYWORDS, "__arrow_c_array__($self, requested_schema=None)\n--\n\n"},
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decoded_column_stream)),
     METH_VARARGS | METH_KEYWORDS, "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};
// The chunked form has no single array to give.
PyMethodDef decoded_chunked_column_methods[] = {decoded_column_methods[1], {nullptr, nullptr, 0, nullptr}};

PyType_Slot decoded_column_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(decoded_column_dealloc)},
    {Py_tp_methods, decoded_column_methods},
    {Py_sq_length, reinterpret_cast<void*>(decoded_column_length)},
    {Py_tp_doc,
     const_cast<char*>("A column decoded by BinaryParser.parse_arrow(): struct<json: large_string, error: string>.")},
    {0, nullptr},
};
PyType_Slot decoded_chunked_column_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(decoded_column_dealloc)},
    {Py_tp_methods, decoded_chunked_column_methods},
    {Py_sq_length, reinterpret_cast<void*>(decoded_column_length)},
    {Py_tp_doc, const_cast<char*>("A chunked column decoded by BinaryParser.parse_arrow(): a stream of struct<json: "
                                  "large_string, error: string>.")},
    {0, nullptr},
};
// Results are made only by parse_arrow: no constructor.
PyType_Spec decoded_column_spec = {"velunda_binary_parser.DecodedColumn", sizeof(DecodedColumnObject), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, decoded_column_slots};
PyType_Spec decoded_chunked_column_spec = {"velunda_binary_parser.DecodedChunkedColumn", sizeof(DecodedColumnObject), 0,
                                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                           decoded_chunked_column_slots};

PyObject* new_decoded_column(PyTypeObject* type, arrow::ResultChunks&& chunks) {
    auto owned = std::make_unique<arrow::ResultChunks>(std::move(chunks));
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    reinterpret_cast<DecodedColumnObject*>(object)->chunks = owned.release();
    return object;
}

// ---- parse_arrow: reading the column -----------------------------------------------------------

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
        if (value.release != nullptr) value.release(&value);
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
        {
            WithoutInterpreterLock unlocked;
            chunks.push_back(arrow::ResultColumn::decode(kind, version, rows, threads));
        }
        return new_decoded_column(decoded_column_type, std::move(chunks));
    });
    Py_DECREF(pair);  // the capsules' destructors release the column
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
        {
            WithoutInterpreterLock unlocked;
            for (const arrow::TextColumn& rows : columns) {
                chunks.push_back(arrow::ResultColumn::decode(kind, version, rows, threads));
            }
        }
        return new_decoded_column(decoded_chunked_column_type, std::move(chunks));
    });
    Py_DECREF(capsule);
    return result;
}

}  // namespace

PyObject* parse_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[5];
    std::string_view kind;
    std::uint64_t version = 0;
    std::string_view errors = "raise";
    unsigned threads = 1;
    if (!begin_call(self, many_signature, args, nargs, kwnames, bound, kind, version) ||
        (bound[3] != nullptr && !read_text(bound[3], "errors", errors)) || !read_threads(bound[4], threads)) {
        return nullptr;
    }
    if (errors != "raise" && errors != "null") {
        PyErr_Format(PyExc_ValueError, "errors must be 'raise' or 'null', not %R", bound[3]);
        return nullptr;
    }
    if (!is_known_kind(kind)) return raise_unknown_kind(kind, version);
    PyObject* tuple = texts_tuple(bound[2]);
    if (tuple == nullptr) return nullptr;
    PyObject* result = guarded([&]() -> PyObject* {
        StrRows rows;
        if (!rows.read(tuple)) return nullptr;
        const bool raise_errors = errors == "raise";
        PyObject* list = PyList_New(static_cast<Py_ssize_t>(rows.size()));
        if (list == nullptr) return nullptr;
        std::optional<RowFailure> first_failure;
        bool python_failed = false;
        try {
            WithoutInterpreterLock unlocked;
            // Each chunk's strs are made as soon as it is decoded, while the threads go on.
            decode_in_order(kind, version, rows, threads, [&](const DecodedChunk& chunk) {
                if (raise_errors && !chunk.failures.empty()) {
                    first_failure = chunk.failures.front();
                    return false;
                }
                WithoutInterpreterLock::Relocked relocked(unlocked);
                auto failure = chunk.failures.begin();
                for (std::size_t row = chunk.first_row; row < chunk.end_row; ++row) {
                    const bool failed = failure != chunk.failures.end() && failure->row == row;
                    if (failed) ++failure;
                    PyObject* const item = failed ? Py_NewRef(Py_None) : ascii_str(chunk.json(row));
                    if (item == nullptr) {
                        python_failed = true;
                        return false;
                    }
                    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(row), item);
                }
                return true;
            });
        } catch (...) {
            Py_DECREF(list);
            throw;
        }
        if (python_failed || first_failure) {
            Py_DECREF(list);
            if (python_failed) return nullptr;
            return raise_parse_error(first_failure->status, first_failure->error, kind, version, first_failure->row);
        }
        return list;
    });
    Py_DECREF(tuple);
    return result;
}

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

bool create_arrow_types() {
    if (decoded_column_type == nullptr) {
        decoded_column_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&decoded_column_spec));
        if (decoded_column_type == nullptr) return false;
    }
    if (decoded_chunked_column_type == nullptr) {
        decoded_chunked_column_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&decoded_chunked_column_spec));
        if (decoded_chunked_column_type == nullptr) return false;
    }
    return true;
}

}  // namespace velunda::binding
