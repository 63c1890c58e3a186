#include <cstring>
#include <string>

#include "batch/in_order.hpp"
#include "module/binding.hpp"

namespace velunda::binding {

PyTypeObject* parser_type = nullptr;
PyObject* panic_exception = nullptr;

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

namespace {

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

// More threads than this only cost memory.
constexpr unsigned max_threads = 1024;

}  // namespace

void raise_cannot_convert(const char* argument, PyObject* object, const char* target) {
    const std::string name = type_name(object);
    if (argument != nullptr) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'", argument, name.c_str(),
                     target);
    } else {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", name.c_str(), target);
    }
}

bool begin_call(PyObject* self, const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** bound, std::string_view& kind, std::uint64_t& version) {
    if (!PyObject_TypeCheck(self, parser_type)) {
        raise_cannot_convert(nullptr, self, "BinaryParser");
        return false;
    }
    return bind_arguments(signature, args, nargs, kwnames, bound) && read_text(bound[0], "kind", kind) &&
           read_version(bound[1], version);
}

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

bool read_threads(PyObject* object, unsigned& threads) {
    if (object == nullptr || object == Py_None) {
        threads = batch::usable_cores();
        return true;
    }
    PyObject* index = PyNumber_Index(object);
    if (index == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) prefix_type_error("threads");
        return false;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (value == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (overflow == 0 && value < 1)) {
        PyErr_Format(PyExc_ValueError, "threads must be at least 1, or None for every usable core, not %R", object);
        return false;
    }
    threads = overflow > 0 || value > max_threads ? max_threads : static_cast<unsigned>(value);
    return true;
}

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound) {
    if (nargs > signature.positional) {
        PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd were given", signature.display_name,
                     signature.positional, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < signature.total; ++i) bound[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = -1;
        for (Py_ssize_t i = 0; i < signature.total; ++i) {
            if (PyUnicode_CompareWithASCIIString(name, signature.names[i]) == 0) {
                slot = i;
                break;
            }
        }
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", signature.display_name, name);
            return false;
        }
        if (bound[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", signature.display_name,
                         signature.names[slot]);
            return false;
        }
        bound[slot] = args[nargs + k];
    }
    const char* missing[8];
    std::size_t missing_count = 0;
    for (Py_ssize_t i = 0; i < signature.positional; ++i) {
        if (bound[i] == nullptr) missing[missing_count++] = signature.names[i];
    }
    if (missing_count != 0) {
        const std::string names = quoted_list(missing, missing_count);
        PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", signature.display_name,
                     missing_count, missing_count == 1 ? "" : "s", names.c_str());
        return false;
    }
    return true;
}

PyObject* utf8_str(std::string_view text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

PyObject* ascii_str(std::string_view text) {
    PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
    if (result != nullptr) std::memcpy(PyUnicode_DATA(result), text.data(), text.size());
    return result;
}

PyObject* raise_parse_error(Status status, const Error& error, std::string_view kind, std::uint64_t version,
                            std::optional<std::size_t> index) {
    const bool failed_in_payload = status == Status::failed;
    const std::optional<std::size_t> offset = failed_in_payload ? error.offset() : std::nullopt;
    const bool has_path = failed_in_payload && error.kind == Error::Kind::PostcardError;

    PyObject* message = utf8_str(failure_message(status, error, kind));
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
    const bool complete = set("kind", utf8_str(kind)) && set("version", PyLong_FromUnsignedLongLong(version)) &&
                          set("offset", offset ? PyLong_FromSize_t(*offset) : Py_NewRef(Py_None)) &&
                          set("path", has_path ? utf8_str(error.path) : Py_NewRef(Py_None)) &&
                          (!index || set("index", PyLong_FromSize_t(*index)));
    if (complete) PyErr_SetObject(PyExc_ValueError, exception);
    Py_DECREF(exception);
    return nullptr;
}

PyObject* raise_unknown_kind(std::string_view kind, std::uint64_t version) {
    return raise_parse_error(Status::unknown_kind, Error{}, kind, version);
}

}  // namespace velunda::binding
