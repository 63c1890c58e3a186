#include "module/column_input.hpp"

namespace velunda::binding {

namespace {

bool raise_column_problem(const arrow::ColumnProblem& problem) {
    PyObject* type = problem.kind == arrow::ColumnProblem::Kind::not_text ? PyExc_TypeError : PyExc_ValueError;
    PyErr_Format(type, "argument 'column': %s", problem.message.c_str());
    return false;
}

// column.<name>, or nullptr with no exception set when it has no such attribute; any other
// exception of the lookup (a KeyboardInterrupt, a MemoryError, a property that raised) stands.
PyObject* optional_attribute(PyObject* column, const char* name) {
    PyObject* value = PyObject_GetAttrString(column, name);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return value;
}

// Calls the export method; its own exceptions stand as they are.
PyObject* call_export(PyObject* method, const char* name) {
    if (!PyCallable_Check(method)) {
        PyErr_Format(PyExc_TypeError, "argument 'column': its %s is a '%s' object, not a method", name,
                     type_name(method).c_str());
        return nullptr;
    }
    return PyObject_CallNoArgs(method);
}

template <class Struct>
Struct* capsule_pointer(PyObject* capsule, const char* name) {
    if (!PyCapsule_IsValid(capsule, name)) {
        PyErr_Format(PyExc_TypeError, "argument 'column': its Arrow export is not a '%s' capsule", name);
        return nullptr;
    }
    return static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
}

bool take_array(arrow::ImportedColumns& imported, PyObject* method) {
    Owned pair(call_export(method, "__arrow_c_array__"));
    if (!pair) return false;
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
        PyErr_SetString(PyExc_TypeError, "argument 'column': __arrow_c_array__() did not return a pair of capsules");
        return false;
    }
    auto* schema = capsule_pointer<ArrowSchema>(PyTuple_GET_ITEM(pair.get(), 0), "arrow_schema");
    auto* array =
        schema != nullptr ? capsule_pointer<ArrowArray>(PyTuple_GET_ITEM(pair.get(), 1), "arrow_array") : nullptr;
    if (array == nullptr) return false;
    auto problem = imported.take_array(*schema, *array);
    pair.reset();  // the capsules' destructors run before any exception is set
    return problem ? raise_column_problem(*problem) : true;
}

bool take_stream(arrow::ImportedColumns& imported, PyObject* method) {
    Owned capsule(call_export(method, "__arrow_c_stream__"));
    if (!capsule) return false;
    auto* stream = capsule_pointer<ArrowArrayStream>(capsule.get(), "arrow_array_stream");
    if (stream == nullptr) return false;
    auto problem = imported.take_stream(*stream);
    capsule.reset();
    return problem ? raise_column_problem(*problem) : true;
}

}  // namespace

bool ColumnInput::take(PyObject* column) {
    if (const Owned method{optional_attribute(column, "__arrow_c_array__")}) return take_array(imported_, method.get());
    if (PyErr_Occurred()) return false;
    if (const Owned method{optional_attribute(column, "__arrow_c_stream__")}) {
        return take_stream(imported_, method.get());
    }
    if (PyErr_Occurred()) return false;
    PyErr_Format(PyExc_TypeError,
                 "argument 'column': '%s' object is not an Arrow column (it has neither __arrow_c_array__ nor "
                 "__arrow_c_stream__)",
                 type_name(column).c_str());
    return false;
}

void ColumnInput::release() {
    if (thread_is_ending()) {
        imported_.abandon();
        return;
    }
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    imported_.release();
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);  // a release callback's own error
    PyErr_Restore(type, value, traceback);
}

}  // namespace velunda::binding
