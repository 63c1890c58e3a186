#include "module/binding.hpp"

namespace velunda::binding {

namespace {

thread_local bool ending = false;

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace

bool thread_is_ending() { return ending; }

void WithoutInterpreterLock::relock(PyThreadState* state) {
    if (ending) return;
    // The interpreter's C throws nothing of its own: what comes out here is the thread's unwinding.
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        ending = true;
        throw;
    }
}

void WithoutInterpreterLock::report_stop() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "the interpreter is shutting down");
}

bool WithoutInterpreterLock::keep_going() {
    if (interpreter_finalizing()) return false;
    if (!main_thread_) return true;
    Relocked relocked(*this);
    return PyErr_CheckSignals() == 0;
}

}  // namespace velunda::binding
