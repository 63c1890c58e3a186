#pragma once

// What the methods of BinaryParser share: argument binding and conversion with the documented
// messages, the ValueError of a failed decode, result strings, and C++ faults as exceptions.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "decode.hpp"
#include "json/decode_json.hpp"

namespace velunda::binding {

extern PyTypeObject* parser_type;
extern PyObject* panic_exception;

// A method's parameters: the first `positional` are required and may be passed either way; the
// rest are keyword-only and optional.
struct Signature {
    const char* display_name;  // "BinaryParser.parse()"
    const char* const* names;
    Py_ssize_t positional;
    Py_ssize_t total;
};

// Binds positional and keyword arguments to `bound` (nullptr for an optional one not given).
// Checks run in the order callers are told: too many positionals, then each keyword as passed,
// then what is missing.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound);

// The start every method shares: the receiver is checked, the arguments bound, and the first two
// read as kind and version.
bool begin_call(PyObject* self, const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** bound, std::string_view& kind, std::uint64_t& version);

// Names a type the way the messages do: 'int', 'bytes', 'Outer.Inner'.
std::string type_name(PyObject* object);
void raise_cannot_convert(const char* argument, PyObject* object, const char* target);
// Replaces the pending TypeError by one whose message starts "argument '<name>': ".
void prefix_type_error(const char* argument);

bool read_text(PyObject* object, const char* argument, std::string_view& text);
bool read_version(PyObject* object, std::uint64_t& version);
// None for every usable core, or a count of at least one.
bool read_threads(PyObject* object, unsigned& threads);

PyObject* utf8_str(std::string_view text);
// The JSON is ASCII by construction, so the str is filled by one copy with no decoding.
PyObject* ascii_str(std::string_view text);

// Raises the ValueError of a failed decode, which also tells where the payload failed: kind,
// version, offset (int or None) and path (str or None) as attributes, and `index` when given.
PyObject* raise_parse_error(Status status, const Error& error, std::string_view kind, std::uint64_t version,
                            std::optional<std::size_t> index = std::nullopt);
// The ValueError for a kind that names no family.
PyObject* raise_unknown_kind(std::string_view kind, std::uint64_t version);

// Whether the interpreter is ending this thread: a daemon thread that wants the interpreter
// lock back after the interpreter began to finalize is unwound (abi::__forced_unwind). What is
// left of the call then must neither touch Python objects nor stop the unwind.
bool thread_is_ending();

// Runs `body`, turning C++ exceptions into Python ones: MemoryError for memory exhaustion,
// OverflowError for a result too large for its form, PanicException for any other fault. The
// unwinding of an ending thread passes through.
template <class Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::overflow_error& fault) {
        PyErr_SetString(PyExc_OverflowError, fault.what());
    } catch (const std::exception& fault) {
        PyErr_SetString(panic_exception, fault.what());
    } catch (...) {
        if (thread_is_ending()) throw;
        PyErr_SetString(panic_exception, "unexpected internal fault");
    }
    return nullptr;
}

// A strong reference, dropped when done with (but not by a thread the interpreter is ending,
// which no longer holds the lock).
class Owned {
public:
    explicit Owned(PyObject* object = nullptr) : object_(object) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() {
        if (!thread_is_ending()) Py_XDECREF(object_);
    }
    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    void reset() {
        if (!thread_is_ending()) Py_XDECREF(std::exchange(object_, nullptr));
    }
    explicit operator bool() const { return object_ != nullptr; }

private:
    PyObject* object_;
};

// Releases the interpreter lock for its lifetime, so that worker threads decode while Python
// runs; Relocked takes it back for a while, to make Python objects.
class WithoutInterpreterLock {
public:
    WithoutInterpreterLock() : main_thread_(_PyOS_IsMainThread() != 0), state_(PyEval_SaveThread()) {}
    // Taking the lock back may end the thread, by unwinding it (see thread_is_ending).
    ~WithoutInterpreterLock() noexcept(false) { relock(state_); }  // NOLINT(bugprone-unsafe-to-allow-exceptions)
    WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
    WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;

    class Relocked {
    public:
        explicit Relocked(WithoutInterpreterLock& outer) : outer_(outer) { relock(outer_.state_); }
        ~Relocked() { outer_.state_ = PyEval_SaveThread(); }
        Relocked(const Relocked&) = delete;
        Relocked& operator=(const Relocked&) = delete;

    private:
        WithoutInterpreterLock& outer_;
    };

    // Asked between the chunks of a batch: false once the call must stop, with an exception set
    // when a signal handler raised one (Ctrl-C: KeyboardInterrupt). Signals are seen by the main
    // thread only, so other threads never take the lock for it. An interpreter that is
    // finalizing stops the batch, so that no worker outlives a thread the interpreter ends.
    bool keep_going();
    // After a batch that keep_going (or a consumer) stopped: the pending exception stands; with
    // none, the stop was the interpreter finalizing, and a RuntimeError says so.
    static void report_stop();

private:
    static void relock(PyThreadState* state);

    bool main_thread_;
    PyThreadState* state_;
};

// The methods beyond parse.
PyObject* parse_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* parse_arrow(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* parse_table(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* arrow_schema(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Create the types of the Arrow methods' results; false with an exception set on failure.
bool create_arrow_types();
bool create_table_types();

}  // namespace velunda::binding
