// The result types of parse_arrow: the decoded column, exported through the Arrow PyCapsule
// interface as often as asked, each export sharing the same buffers.

#include "module/decoded_column.hpp"

#include <memory>
#include <utility>

#include "module/capsules.hpp"

namespace velunda::binding {

namespace {

// What parse_arrow returns: the decoded column, exported through the Arrow PyCapsule interface
// as often as asked, each export sharing the same buffers.
struct DecodedColumnObject {
    PyObject_HEAD arrow::ResultChunks* chunks;
};

PyTypeObject* decoded_column_type = nullptr;          // one array: __arrow_c_array__ and __arrow_c_stream__
PyTypeObject* decoded_chunked_column_type = nullptr;  // from a stream: __arrow_c_stream__

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

}  // namespace

PyObject* new_decoded_column(arrow::ResultChunks&& chunks, bool chunked) {
    PyTypeObject* type = chunked ? decoded_chunked_column_type : decoded_column_type;
    auto owned = std::make_unique<arrow::ResultChunks>(std::move(chunks));
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    reinterpret_cast<DecodedColumnObject*>(object)->chunks = owned.release();
    return object;
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
