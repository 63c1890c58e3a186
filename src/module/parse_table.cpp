// parse_table and arrow_schema: payloads decoded straight into typed Arrow record batches, one per
// chunk the workers decoded, and the schema they have.

#include <memory>
#include <utility>
#include <vector>

#include "arrow/typed/table.hpp"
#include "module/binding.hpp"
#include "module/capsules.hpp"
#include "module/column_input.hpp"

namespace velunda::binding {

namespace {

using arrow::typed::Batch;
using arrow::typed::Flavor;

constexpr const char* table_parameters[] = {"kind", "version", "column", "threads", "flavor"};
constexpr Signature table_signature{"BinaryParser.parse_table()", table_parameters, 3, 5};
constexpr const char* schema_parameters[] = {"kind", "version", "flavor"};
constexpr Signature schema_signature{"BinaryParser.arrow_schema()", schema_parameters, 2, 3};

PyTypeObject* table_type = nullptr;
PyTypeObject* schema_type = nullptr;

// A decoded table (its batches) or a schema (a zero-row batch standing for it).
struct BatchesObject {
    PyObject_HEAD std::vector<Batch>* batches;
    Batch* schema_of;
    Py_ssize_t rows;
};

bool read_flavor(PyObject* object, Flavor& flavor) {
    if (object == nullptr) return true;
    std::string_view text;
    if (!read_text(object, "flavor", text)) return false;
    if (text == "arrow" || text == "spark") {
        flavor = text == "arrow" ? Flavor::arrow : Flavor::spark;
        return true;
    }
    PyErr_Format(PyExc_ValueError, "flavor must be 'arrow' or 'spark', not %R", object);
    return false;
}

// The layout a table method decodes: an unknown kind raises as parse does, and a version the
// family lacks at once, since a column has no schema to fill.
bool find_table_layout(std::string_view kind, std::uint64_t version, Layout& layout) {
    const FamilyInfo* family = find_family(kind);
    if (family == nullptr) {
        raise_unknown_kind(kind, version);
        return false;
    }
    const auto found = find_layout(*family, version);
    if (!found) {
        raise_parse_error(Status::failed, Error{.kind = Error::Kind::ProtocolVersionNotSupported, .version = version},
                          kind, version);
        return false;
    }
    layout = *found;
    return true;
}

PyObject* new_batches(PyTypeObject* type, Batch schema_of, std::vector<Batch> batches) {
    auto owned_batches = std::make_unique<std::vector<Batch>>(std::move(batches));
    auto owned_schema = std::make_unique<Batch>(std::move(schema_of));
    Py_ssize_t rows = 0;
    for (const Batch& batch : *owned_batches) rows += static_cast<Py_ssize_t>(batch->length);
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    auto* fields = reinterpret_cast<BatchesObject*>(object);
    fields->batches = owned_batches.release();
    fields->schema_of = owned_schema.release();
    fields->rows = rows;
    return object;
}

void batches_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* fields = reinterpret_cast<BatchesObject*>(self);
    delete fields->batches;
    delete fields->schema_of;
    type->tp_free(self);
    Py_DECREF(type);
}

Py_ssize_t table_length(PyObject* self) { return reinterpret_cast<BatchesObject*>(self)->rows; }

PyObject* table_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!accept_requested_schema(args, kwargs, "|O:__arrow_c_stream__")) return nullptr;
    const auto* fields = reinterpret_cast<BatchesObject*>(self);
    return guarded([&]() -> PyObject* {
        auto stream = std::make_unique<ArrowArrayStream>();
        arrow::typed::export_stream(*fields->schema_of, *fields->batches, stream.get());
        return owning_capsule(std::move(stream), "arrow_array_stream", stream_capsule_destructor);
    });
}

PyObject* schema_export(PyObject* self, PyObject*) {
    const auto* fields = reinterpret_cast<BatchesObject*>(self);
    return guarded([&]() -> PyObject* {
        auto schema = std::make_unique<ArrowSchema>();
        arrow::typed::export_schema(**fields->schema_of, schema.get());
        return owning_capsule(std::move(schema), "arrow_schema", schema_capsule_destructor);
    });
}

PyMethodDef table_methods[] = {
    {"__arrow_c_stream__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(table_stream)),
     METH_VARARGS | METH_KEYWORDS, "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"},
    {"__arrow_c_schema__", schema_export, METH_NOARGS, "__arrow_c_schema__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef schema_methods[] = {table_methods[1], {nullptr, nullptr, 0, nullptr}};

PyType_Slot table_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(batches_dealloc)},
    {Py_tp_methods, table_methods},
    {Py_sq_length, reinterpret_cast<void*>(table_length)},
    {Py_tp_doc, const_cast<char*>("A table decoded by BinaryParser.parse_table(): a stream of typed record batches, "
                                  "one per decoded chunk.")},
    {0, nullptr},
};
PyType_Slot schema_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(batches_dealloc)},
    {Py_tp_methods, schema_methods},
    {Py_tp_doc, const_cast<char*>("The Arrow schema of a layout's table, from BinaryParser.arrow_schema().")},
    {0, nullptr},
};
PyType_Spec table_spec = {"velunda_binary_parser.DecodedTable", sizeof(BatchesObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, table_slots};
PyType_Spec schema_spec = {"velunda_binary_parser.TableSchema", sizeof(BatchesObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, schema_slots};

}  // namespace

PyObject* parse_table(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[5];
    std::string_view kind;
    std::uint64_t version = 0;
    unsigned threads = 1;
    Flavor flavor = Flavor::arrow;
    Layout layout{};
    if (!begin_call(self, table_signature, args, nargs, kwnames, bound, kind, version) ||
        !read_threads(bound[3], threads) || !read_flavor(bound[4], flavor) ||
        !find_table_layout(kind, version, layout)) {
        return nullptr;
    }
    ColumnInput input;
    if (!input.take(bound[2])) return nullptr;
    return guarded([&]() -> PyObject* {
        std::vector<Batch> batches;
        bool decoded = false;
        {
            WithoutInterpreterLock unlocked;
            const std::function<bool()> keep_going = [&] { return unlocked.keep_going(); };
            decoded =
                arrow::typed::decode_table(layout, flavor, input.imported().columns(), threads, keep_going, batches);
        }
        input.release();
        if (!decoded) {
            WithoutInterpreterLock::report_stop();
            return nullptr;
        }
        return new_batches(table_type, arrow::typed::schema_batch(layout, flavor), std::move(batches));
    });
}

PyObject* arrow_schema(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[3];
    std::string_view kind;
    std::uint64_t version = 0;
    Flavor flavor = Flavor::arrow;
    Layout layout{};
    if (!begin_call(self, schema_signature, args, nargs, kwnames, bound, kind, version) ||
        !read_flavor(bound[2], flavor) || !find_table_layout(kind, version, layout)) {
        return nullptr;
    }
    return guarded([&] { return new_batches(schema_type, arrow::typed::schema_batch(layout, flavor), {}); });
}

bool create_table_types() {
    if (table_type == nullptr) {
        table_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&table_spec));
        if (table_type == nullptr) return false;
    }
    if (schema_type == nullptr) {
        schema_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&schema_spec));
        if (schema_type == nullptr) return false;
    }
    return true;
}

}  // namespace velunda::binding
