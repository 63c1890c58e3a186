#pragma once

// The PyCapsules the Arrow results export: each owns its structure, released and freed by the
// capsule's destructor unless a consumer moved it out first.

#include <memory>

#include "arrow/c_data.hpp"
#include "module/binding.hpp"

namespace velunda::binding {

template <class Struct>
void release_capsule_struct(PyObject* capsule, const char* name) {
    auto* value = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
    if (value == nullptr) return;
    if (value->release != nullptr) value->release(value);
    delete value;
}

inline void schema_capsule_destructor(PyObject* capsule) {
    release_capsule_struct<ArrowSchema>(capsule, "arrow_schema");
}
inline void array_capsule_destructor(PyObject* capsule) { release_capsule_struct<ArrowArray>(capsule, "arrow_array"); }
inline void stream_capsule_destructor(PyObject* capsule) {
    release_capsule_struct<ArrowArrayStream>(capsule, "arrow_array_stream");
}

// A capsule that owns the exported structure; when no capsule can be made, the structure is
// released and freed here.
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

// The consumer's requested schema is a hint the interface lets a producer ignore: each result
// has one form.
inline bool accept_requested_schema(PyObject* args, PyObject* kwargs, const char* format) {
    static const char* keywords[] = {"requested_schema", nullptr};
    PyObject* requested = nullptr;
    return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &requested) != 0;
}

}  // namespace velunda::binding
