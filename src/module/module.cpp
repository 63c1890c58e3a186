// The CPython face of the decoder: module start-up, the BinaryParser type and its parse method.
// Argument binding is written by hand so that every message is exactly the one callers see
// documented, and so that parse takes the vectorcall path.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "json/decode_json.hpp"
#include "module/binding.hpp"

namespace {

using namespace velunda::binding;

std::atomic<bool> module_created{false};

constexpr const char* parse_parameters[] = {"kind", "version", "b64_data"};
constexpr Signature parse_signature{"BinaryParser.parse()", parse_parameters, 3, 3};

// For large payloads the decoder writes straight into the result str, grown in place: no
// final copy, and the peak memory of the result is the result itself.
constexpr std::size_t in_place_result_threshold = 32 * 1024;

class StrStorage final : public velunda::codec::TextStorage {
public:
    StrStorage() = default;
    StrStorage(const StrStorage&) = delete;
    StrStorage& operator=(const StrStorage&) = delete;
    ~StrStorage() { Py_XDECREF(str_); }

    char* resize(std::size_t capacity) override {
        if (capacity > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return nullptr;
        const auto length = static_cast<Py_ssize_t>(capacity);
        if (str_ == nullptr) {
            str_ = PyUnicode_New(length, 127);
        } else if (PyUnicode_Resize(&str_, length) < 0) {
            PyErr_Clear();  // reported as bad_alloc by the writer
            return nullptr;
        }
        if (str_ == nullptr) {
            PyErr_Clear();
            return nullptr;
        }
        return static_cast<char*>(PyUnicode_DATA(str_));
    }

    // Trims the str to the text written into it and hands it over.
    PyObject* release(std::string_view text) {
        if (resize(text.size()) == nullptr) return PyErr_NoMemory();
        return std::exchange(str_, nullptr);
    }

private:
    PyObject* str_ = nullptr;
};

PyObject* parse(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[3];
    std::string_view kind;
    std::uint64_t version = 0;
    std::string_view base64_text;
    if (!begin_call(self, parse_signature, args, nargs, kwnames, bound, kind, version) ||
        !read_text(bound[2], "b64_data", base64_text)) {
        return nullptr;
    }
    return guarded([&]() -> PyObject* {
        // Growing a str in place costs more per call than one small copy; it pays off only
        // where the copy would be large.
        if (base64_text.size() >= in_place_result_threshold) {
            StrStorage result;
            const velunda::json::Outcome outcome = velunda::json::decode(kind, version, base64_text, &result);
            if (!outcome.ok()) return raise_parse_error(outcome.status(), outcome.error(), kind, version);
            return result.release(outcome.json());
        }
        velunda::codec::InlineTextStorage<4096> text;
        const velunda::json::Outcome outcome = velunda::json::decode(kind, version, base64_text, &text);
        if (!outcome.ok()) return raise_parse_error(outcome.status(), outcome.error(), kind, version);
        return ascii_str(outcome.json());
    });
}

PyObject* parser_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "BinaryParser.__new__() takes 0 positional arguments but %zd %s given", nargs,
                     nargs == 1 ? "was" : "were");
        return nullptr;
    }
    if (kwargs != nullptr) {
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t position = 0;
        if (PyDict_Next(kwargs, &position, &name, &value)) {
            PyErr_Format(PyExc_TypeError, "BinaryParser.__new__() got an unexpected keyword argument '%U'", name);
            return nullptr;
        }
    }
    return type->tp_alloc(type, 0);
}

void parser_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// A parser holds nothing, so it pickles as a call of its class, found by name on unpickling.
PyObject* parser_reduce(PyObject* self, PyObject*) {
    return Py_BuildValue("(O())", reinterpret_cast<PyObject*>(Py_TYPE(self)));
}

PyMethodDef parser_methods[] = {
    {"parse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse)), METH_FASTCALL | METH_KEYWORDS,
     "parse($self, kind, version, b64_data)\n--\n\n"},
    {"parse_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_many)),
     METH_FASTCALL | METH_KEYWORDS,
     "parse_many($self, kind, version, texts, *, errors='raise', threads=None)\n--\n\n"
     "Decodes every text of `texts` as parse() does, on `threads` worker threads (default: every\n"
     "usable core), and returns the list of their JSON texts in order. errors='raise' raises the\n"
     "first failing row's ValueError, with its position as `index`; errors='null' puts None\n"
     "in its place."},
    {"parse_arrow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_arrow)),
     METH_FASTCALL | METH_KEYWORDS,
     "parse_arrow($self, kind, version, column, *, threads=None)\n--\n\n"
     "Decodes an Arrow text column (any object with __arrow_c_array__ or __arrow_c_stream__)\n"
     "on `threads` worker threads into an Arrow struct column of json (large_string, null where\n"
     "the row failed or was null) and error (string, the message parse() would raise)."},
    {"parse_table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_table)),
     METH_FASTCALL | METH_KEYWORDS,
     "parse_table($self, kind, version, column, *, threads=None, flavor='arrow')\n--\n\n"
     "Decodes an Arrow text column, as parse_arrow() takes it, into typed Arrow record batches:\n"
     "one column per top-level field of the layout's record, then error (the message parse()\n"
     "would raise; a failing or null row has every other column null). The result exports\n"
     "__arrow_c_stream__, one batch per decoded chunk. flavor='spark' makes unsigned integers\n"
     "signed (u64: decimal128(20, 0)) and variant names plain strings."},
    {"arrow_schema", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(arrow_schema)),
     METH_FASTCALL | METH_KEYWORDS,
     "arrow_schema($self, kind, version, *, flavor='arrow')\n--\n\n"
     "The Arrow schema parse_table() gives this layout, as an object exporting __arrow_c_schema__."},
    {"__reduce__", parser_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot parser_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(parser_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(parser_dealloc)},
    {Py_tp_methods, parser_methods},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: the class cannot be subclassed. The type's name carries its module,
// so pickle and cloudpickle find the class by reference.
PyType_Spec parser_spec = {"velunda_binary_parser.BinaryParser", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, parser_slots};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "velunda_binary_parser", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

bool add_to_all(PyObject* module, const char* name) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr || PyObject_SetAttrString(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            return false;
        }
    }
    PyObject* text = PyUnicode_FromString(name);
    const bool appended = text != nullptr && PyList_Append(all, text) == 0;
    Py_XDECREF(text);
    Py_DECREF(all);
    return appended;
}

}  // namespace

PyMODINIT_FUNC PyInit_velunda_binary_parser() {
    // The type and the exception are process-wide objects, which interpreters may not share:
    // sub-interpreters are refused without touching the once-only flag, so that they never lock
    // the main interpreter out. In the main interpreter the module is made once; a second
    // initialisation (after its removal from sys.modules) is refused rather than replacing the
    // class that existing parsers and pickles refer to.
    constexpr const char* once_only = "PyO3 modules may only be initialized once per interpreter process";
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, once_only);
        return nullptr;
    }
    PyObject* module = PyModule_Create(&module_definition);
    if (module == nullptr) return nullptr;
    if (module_created.exchange(true)) {
        Py_DECREF(module);
        PyErr_SetString(PyExc_ImportError, once_only);
        return nullptr;
    }
    if (parser_type == nullptr) {
        parser_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&parser_spec));
        if (parser_type == nullptr) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    if (panic_exception == nullptr) {
        panic_exception = PyErr_NewException("velunda_binary_parser.PanicException", PyExc_BaseException, nullptr);
        if (panic_exception == nullptr) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    if (!create_arrow_types() || !create_table_types() || !add_to_all(module, "BinaryParser") ||
        PyObject_SetAttrString(module, "BinaryParser", reinterpret_cast<PyObject*>(parser_type)) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
