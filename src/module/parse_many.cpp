// parse_many: a sequence of base64 texts decoded on the batch core while the interpreter lock is
// released. The texts are read before and the strs made between chunks, on the calling thread;
// the workers see only text views.

#include <vector>

#include "batch/json_chunks.hpp"
#include "module/binding.hpp"

namespace velunda::binding {

namespace {

constexpr const char* many_parameters[] = {"kind", "version", "texts", "errors", "threads"};
constexpr Signature many_signature{"BinaryParser.parse_many()", many_parameters, 3, 5};

// The interpreter's UnicodeEncodeError of element `index`, saying which it is: its reason starts
// "argument 'texts': element 3: " and its `index` is the element's.
void name_element(Py_ssize_t index) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyObject* reason = value != nullptr ? PyUnicodeEncodeError_GetReason(value) : nullptr;
    PyObject* named =
        reason != nullptr ? PyUnicode_FromFormat("argument 'texts': element %zd: %U", index, reason) : nullptr;
    const char* text = named != nullptr ? PyUnicode_AsUTF8(named) : nullptr;
    PyObject* position = text != nullptr ? PyLong_FromSsize_t(index) : nullptr;
    const bool done = position != nullptr && PyUnicodeEncodeError_SetReason(value, text) == 0 &&
                      PyObject_SetAttrString(value, "index", position) == 0;
    Py_XDECREF(position);
    Py_XDECREF(named);
    Py_XDECREF(reason);
    if (!done) PyErr_Clear();  // the interpreter's own error stands as it was
    PyErr_Restore(type, value, traceback);
}

// The UTF-8 text of each str, read up front; the tuple holding the strs outlives the decode.
class StrRows final : public batch::RowTexts {
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
            if (utf8 == nullptr) {
                if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) name_element(i);
                return false;
            }
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

// The results as they come in: each decoded chunk's rows become strs (or None) in the list.
class ResultList {
public:
    ResultList(PyObject* list, bool raise_errors) : list_(list), raise_errors_(raise_errors) {}

    // False to stop: a row failed (with errors='raise'), or a str could not be made (with the
    // exception set).
    bool place(const batch::Chunk& chunk) {
        if (raise_errors_ && !chunk.failures.empty()) {
            first_failure_ = chunk.failures.front();
            return false;
        }
        auto failure = chunk.failures.begin();
        for (std::size_t at = 0; at < chunk.ends.size(); ++at) {
            const std::size_t row = chunk.first_row + at;
            const bool failed = failure != chunk.failures.end() && failure->row == row;
            if (failed) ++failure;
            PyObject* const item = failed ? Py_NewRef(Py_None) : ascii_str(chunk.json(at));
            if (item == nullptr) return false;
            PyList_SET_ITEM(list_, static_cast<Py_ssize_t>(row), item);
        }
        return true;
    }

    const std::optional<batch::RowFailure>& first_failure() const { return first_failure_; }

private:
    PyObject* list_;
    bool raise_errors_;
    std::optional<batch::RowFailure> first_failure_;
};

PyObject* decode_many(std::string_view kind, std::uint64_t version, const StrRows& rows, bool raise_errors,
                      unsigned threads) {
    Owned list(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    if (!list) return nullptr;
    ResultList results(list.get(), raise_errors);
    bool completed = false;
    {
        WithoutInterpreterLock unlocked;
        batch::SequenceSource source(kind, version, rows);
        const auto consume = [&](const batch::Chunk& chunk) {
            WithoutInterpreterLock::Relocked relocked(unlocked);
            return results.place(chunk);
        };
        const auto keep_going = [&] { return unlocked.keep_going(); };
        completed = batch::decode_in_order(
            {.source = source, .threads = threads, .row_end = {}, .consume = consume, .keep_going = keep_going});
    }
    if (completed) return list.release();
    if (const auto& failure = results.first_failure()) {
        return raise_parse_error(failure->status, failure->error, kind, version, failure->row);
    }
    WithoutInterpreterLock::report_stop();
    return nullptr;
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
    const Owned tuple(texts_tuple(bound[2]));
    if (!tuple) return nullptr;
    return guarded([&]() -> PyObject* {
        StrRows rows;
        if (!rows.read(tuple.get())) return nullptr;
        return decode_many(kind, version, rows, errors == "raise", threads);
    });
}

}  // namespace velunda::binding
