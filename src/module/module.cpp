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

#include "decode.hpp"

namespace {

PyTypeObject* parser_type = nullptr;
PyObject* panic_exception = nullptr;
std::atomic<bool> module_created{false};

constexpr const char* parameter_names[3] = {"kind", "version", "b64_data"};
constexpr Py_ssize_t parameter_count = 3;

// Names a type the way the messages do: 'int', 'bytes', 'Outer.Inner'.
std::string type_name(PyObject* object) {
    PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__");
    std::string text = Py_TYPE(object)->tp_name;
    if (name != nullptr && PyUnicode_Check(name)) {
        Py_ssize_t size = 0;
        if (const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size)) text.assign(utf8, static_cast<std::size_t>(size));
    }
    Py_XDECREF(name);
    PyErr_Clear();
    return text;
}

void raise_cannot_convert(const char* argument, PyObject* object, const char* target) {
    const std::string name = type_name(object);
    if (argument != nullptr) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'", argument, name.c_str(), target);
    } else {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", name.c_str(), target);
    }
}

// Replaces the pending TypeError by one whose message names the argument being converted.
void prefix_type_error(const char* argument) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject* original = value != nullptr ? PyObject_Str(value) : nullptr;
    if (original == nullptr) {
        // Its message cannot be had; keep the original error rather than lose it.
        PyErr_Clear();
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyObject* cause = PyException_GetCause(value);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    PyObject* message = PyUnicode_FromFormat("argument '%s': %U", argument, original);
    Py_DECREF(original);
    PyObject* replacement = message != nullptr ? PyObject_CallOneArg(PyExc_TypeError, message) : nullptr;
    Py_XDECREF(message);
    if (replacement == nullptr) {
        Py_XDECREF(cause);
        return;
    }
    if (cause != nullptr) PyException_SetCause(replacement, cause);
    PyErr_SetObject(PyExc_TypeError, replacement);
    Py_DECREF(replacement);
}

bool read_text(PyObject* object, const char* argument, std::string_view& text) {
    if (!PyUnicode_Check(object)) {
        raise_cannot_convert(argument, object, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) return false;  // UnicodeEncodeError, as the interpreter raised it
    text = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

bool read_version(PyObject* object, std::uint64_t& version) {
    PyObject* index = PyLong_CheckExact(object) ? Py_NewRef(object) : PyNumber_Index(object);
    if (index == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) prefix_type_error("version");
        return false;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;  // OverflowError, unchanged
    version = value;
    return true;
}

// "'kind'", "'version' and 'b64_data'", "'kind', 'version', and 'b64_data'".
std::string quoted_list(const char* const* names, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        if (i != 0) text += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

// Binds positional and keyword arguments to kind, version, b64_data. Checks run in the order
// callers are told: too many positionals, then each keyword as passed, then what is missing.
bool bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* (&bound)[parameter_count]) {
    if (nargs > parameter_count) {
        PyErr_Format(PyExc_TypeError, "BinaryParser.parse() takes 3 positional arguments but %zd were given", nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < parameter_count; ++i) bound[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = -1;
        for (Py_ssize_t i = 0; i < parameter_count; ++i) {
            if (PyUnicode_CompareWithASCIIString(name, parameter_names[i]) == 0) {
                slot = i;
                break;
            }
        }
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "BinaryParser.parse() got an unexpected keyword argument '%U'", name);
            return false;
        }
        if (bound[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "BinaryParser.parse() got multiple values for argument '%s'", parameter_names[slot]);
            return false;
        }
        bound[slot] = args[nargs + k];
    }
    const char* missing[parameter_count];
    std::size_t missing_count = 0;
    for (Py_ssize_t i = 0; i < parameter_count; ++i) {
        if (bound[i] == nullptr) missing[missing_count++] = parameter_names[i];
    }
    if (missing_count != 0) {
        const std::string names = quoted_list(missing, missing_count);
        PyErr_Format(PyExc_TypeError, "BinaryParser.parse() missing %zu required positional argument%s: %s", missing_count,
                     missing_count == 1 ? "" : "s", names.c_str());
        return false;
    }
    return true;
}

PyObject* utf8_str(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

// A ValueError with the outcome's message, which also tells where the payload failed: kind,
// version, offset (int or None) and path (str or None) as attributes.
PyObject* raise_parse_error(const velunda::Outcome& outcome, std::string_view kind, std::uint64_t version) {
    const bool failed_in_payload = outcome.status() == velunda::Outcome::Status::failed;
    const velunda::Error& error = outcome.error();
    const std::optional<std::size_t> offset = failed_in_payload ? error.offset() : std::nullopt;
    const bool has_path = failed_in_payload && error.kind == velunda::Error::Kind::PostcardError;

    PyObject* message = utf8_str(outcome.message(kind));
    if (message == nullptr) return nullptr;
    PyObject* exception = PyObject_CallOneArg(PyExc_ValueError, message);
    Py_DECREF(message);
    if (exception == nullptr) return nullptr;
    // Each value is made only once the one before is set, so nothing runs with an error pending.
    const auto set = [exception](const char* name, PyObject* value) {
        if (value == nullptr) return false;
        const bool done = PyObject_SetAttrString(exception, name, value) == 0;
        Py_DECREF(value);
        return done;
    };
    const auto none = [] {
        Py_INCREF(Py_None);
        return Py_None;
    };
    const bool complete = set("kind", utf8_str(kind)) && set("version", PyLong_FromUnsignedLongLong(version)) &&
                          set("offset", offset ? PyLong_FromSize_t(*offset) : none()) &&
                          set("path", has_path ? utf8_str(error.path) : none());
    if (complete) PyErr_SetObject(PyExc_ValueError, exception);
    Py_DECREF(exception);
    return nullptr;
}

// For large payloads the decoder writes straight into the result str, grown in place: no
// final copy, and the peak memory of the result is the result itself.
constexpr std::size_t in_place_result_threshold = 32 * 1024;

// The JSON is ASCII by construction, so the str is filled by one copy with no decoding.
PyObject* ascii_str(std::string_view text) {
    PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (result != nullptr) std::memcpy(PyUnicode_DATA(result), text.data(), text.size());
    return result;
}

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
    if (!PyObject_TypeCheck(self, parser_type)) {
        raise_cannot_convert(nullptr, self, "BinaryParser");
        return nullptr;
    }
    PyObject* bound[parameter_count];
    if (!bind_arguments(args, nargs, kwnames, bound)) return nullptr;
    std::string_view kind;
    std::uint64_t version = 0;
    std::string_view base64_text;
    if (!read_text(bound[0], "kind", kind) || !read_version(bound[1], version) ||
        !read_text(bound[2], "b64_data", base64_text)) {
        return nullptr;
    }
    try {
        // Growing a str in place costs more per call than one small copy; it pays off only
        // where the copy would be large.
        if (base64_text.size() >= in_place_result_threshold) {
            StrStorage result;
            const velunda::Outcome outcome = velunda::decode(kind, version, base64_text, &result);
            if (!outcome.ok()) return raise_parse_error(outcome, kind, version);
            return result.release(outcome.json());
        }
        velunda::codec::InlineTextStorage<4096> text;
        const velunda::Outcome outcome = velunda::decode(kind, version, base64_text, &text);
        if (!outcome.ok()) return raise_parse_error(outcome, kind, version);
        return ascii_str(outcome.json());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& fault) {
        PyErr_SetString(panic_exception, fault.what());
    } catch (...) {
        PyErr_SetString(panic_exception, "unexpected internal fault");
    }
    return nullptr;
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

PyMethodDef parser_methods[] = {
    {"parse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse)), METH_FASTCALL | METH_KEYWORDS,
     "parse($self, kind, version, b64_data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot parser_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(parser_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(parser_dealloc)},
    {Py_tp_methods, parser_methods},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: the class cannot be subclassed. The type belongs to no module of its
// own, so its qualified name is builtins.BinaryParser.
PyType_Spec parser_spec = {"builtins.BinaryParser", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, parser_slots};

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
    PyObject* module = PyModule_Create2(&module_definition, 1013);
    if (module == nullptr) return nullptr;
    if (module_created.exchange(true)) {
        Py_DECREF(module);
        PyErr_SetString(PyExc_ImportError, "PyO3 modules may only be initialized once per interpreter process");
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
    if (!add_to_all(module, "BinaryParser") ||
        PyObject_SetAttrString(module, "BinaryParser", reinterpret_cast<PyObject*>(parser_type)) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
