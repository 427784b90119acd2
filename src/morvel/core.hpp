// Shared building blocks: owned references, the pending-error exception, interned names,
// text forms of values and the statement builder.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "compat.hpp"

namespace morvel {

// Thrown whenever a Python exception is pending; no C++ exception ever reaches the interpreter. Where
// it is caught, and why:
// - the call boundary, run_body (function.cpp), and the module initialisation (morvel.cpp): the C API's
//   NULL or -1 convention starts there;
// - DB's unregister (db.cpp): the clean-up after a failed DB() keeps the original error;
// - the newest check's walk (find.cpp): adds the traceback entry of each pending visit, then rethrows;
// - the native-path probe (sqlite_api.cpp): a probe that raises turns the native path off; only a
//   KeyboardInterrupt is rethrown.
struct PyError {};

// An owned (strong) reference. Copying adds a reference, destruction drops it.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return steal(p);
    }
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Sets an exception of `type` with a PyUnicode_FromFormat message and throws: the one way an error is raised.
template <class... Args>
[[noreturn]] void raise(PyObject* type, const char* format, Args... args) {
    PyErr_Format(type, format, args...);
    throw PyError{};
}

// Wraps the new reference returned by a C API call; throws when the call failed.
inline Ref own(PyObject* p) {
    if (p == nullptr) throw PyError{};
    return Ref::steal(p);
}

// Checks the -1 / 0 / 1 result of a C API predicate or setter.
inline int check(int rc) {
    if (rc < 0) throw PyError{};
    return rc;
}

inline Py_ssize_t check_size(Py_ssize_t n) {
    if (n < 0 && PyErr_Occurred()) throw PyError{};
    return n;
}

// Sets the pending exception aside for clean-up work and puts it back when the scope ends.
using ErrorStash = compat::PendingException;

// Names interned once at the first import and kept for the life of the process. The table is never
// destroyed: tearing it down at exit would touch objects after the interpreter has finalised.
struct Names {
    Ref cursor, execute, fetchall, commit, rollback, close, connect;
    Ref split, index, add, print;
    Ref name, address, DB_dict, morvel_state, sqlite3;
    Ref table, cols;  // keys of index and unique-key descriptions (with `name`)
    Ref comma, star, empty, quote, two_quotes, double_quote, two_double_quotes;
    Ref one, zero;  // the row-key sources 1 (staging) and 0 (main)
    Ref isolation_level, in_transaction, autocommit, upper;  // a call's own transaction
    Ref strip, OperationalError, fetchmany, executemany;  // query's arguments, errors, bounded reads, batches
    Ref arrow_c_stream, arrow_c_array, dataframe;  // what tabular data exposes instead of rows
    Ref join, comma_space;  // column names listed in messages
    Ref text_factory, row_factory, converters, module;  // how a connection turns values into objects
};
// The table of the module state (state.hpp), under the short name every subsystem uses.
extern const std::unique_ptr<Names>& names;

// `a + b`, with Python's own rules (and errors) for the operands.
inline Ref concat(PyObject* a, PyObject* b) { return own(PyNumber_Add(a, b)); }

// A str of ASCII text.
inline Ref ascii_text(std::string_view s) {
    return own(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// Text forms of values as they are written into statements.
inline Ref str_of(PyObject* o) { return own(PyObject_Str(o)); }              // str(o)
inline Ref fstr_of(PyObject* o) { return own(PyObject_Format(o, names->empty.get())); }  // f"{o}"

// A text placed inside a single-quoted SQL literal: every quote character doubled, so that the
// literal always ends where the statement means it to.
inline Ref quoted(PyObject* text) {
    return own(PyUnicode_Replace(text, names->quote.get(), names->two_quotes.get(), -1));
}

// Builds one str from ASCII fragments and str objects. Characters are gathered one byte each while
// every one fits (the usual case: statements are ASCII), four bytes each from the first wider one on;
// `finish` makes the str of the narrowest kind. Any str is taken as it is, lone surrogates included.
class TextBuilder {
public:
    TextBuilder() { ucs1_.reserve(128); }  // room for most statements at once
    TextBuilder(const TextBuilder&) = delete;
    TextBuilder& operator=(const TextBuilder&) = delete;

    TextBuilder& ascii(std::string_view s) {
        if (wide_) {
            ucs4_.insert(ucs4_.end(), s.begin(), s.end());
        } else {
            ucs1_.append(s);
        }
        return *this;
    }
    TextBuilder& text(PyObject* str) {
        if (!PyUnicode_Check(str))
            raise(PyExc_TypeError, "morvel: a text part must be str, not %.200s", Py_TYPE(str)->tp_name);
        check(compat::ready(str));
        const int kind = PyUnicode_KIND(str);
        const void* data = PyUnicode_DATA(str);
        const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
        if (!wide_ && kind == PyUnicode_1BYTE_KIND) {
            ucs1_.append(static_cast<const char*>(data), static_cast<size_t>(n));
            return *this;
        }
        widen();
        ucs4_.reserve(ucs4_.size() + static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) ucs4_.push_back(PyUnicode_READ(kind, data, i));
        return *this;
    }
    Ref finish() {
        if (wide_)
            return own(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, ucs4_.data(),
                                                 static_cast<Py_ssize_t>(ucs4_.size())));
        return own(PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, ucs1_.data(),
                                             static_cast<Py_ssize_t>(ucs1_.size())));
    }

private:
    void widen() {
        if (wide_) return;
        ucs4_.reserve(ucs1_.size() * 2 + 16);
        for (char c : ucs1_) ucs4_.push_back(static_cast<unsigned char>(c));
        ucs1_.clear();
        wide_ = true;
    }

    std::string ucs1_;  // characters up to U+00FF, one byte each
    std::vector<Py_UCS4> ucs4_;
    bool wide_ = false;
};

// Fills the "{}" holes of a statement template, in order, with the given texts (str objects).
Ref sql(std::string_view tmpl, std::initializer_list<PyObject*> texts);

// `comm == True`, the commit test of every mutating function.
inline bool commit_requested(PyObject* comm) {
    Ref eq = own(PyObject_RichCompare(comm, Py_True, Py_EQ));
    return check(PyObject_IsTrue(eq.get())) != 0;
}

// `seq[i]` with Python's meaning for an int index; fast for lists and tuples.
Ref item_at(PyObject* seq, Py_ssize_t i);
// `seq[key]` for an arbitrary key object.
inline Ref item(PyObject* seq, PyObject* key) { return own(PyObject_GetItem(seq, key)); }

// `[a, b, ...]`: a new list of the given items.
Ref list_of(std::initializer_list<PyObject*> items);

// `list(values)`: a new list of the same items. Lists and tuples are copied without the generic
// iteration protocol, which matters when it is done once per row.
Ref new_list(PyObject* values);

// Calls `callable(*args)` through vectorcall.
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
    PyObject* buf[8] = {nullptr};
    size_t n = 0;
    for (PyObject* a : args) buf[1 + n++] = a;
    return own(PyObject_Vectorcall(callable, buf + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Calls `self.<name>(*args)`, the method looked up by name at the moment of the call.
inline Ref call_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args) {
    PyObject* buf[8] = {nullptr, self};
    size_t n = 1;
    for (PyObject* a : args) buf[1 + n++] = a;
    return own(PyObject_VectorcallMethod(name, buf + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Whether text[0, size) is UTF-8 as Python's strict decoder takes it: no overlong form, no surrogate,
// nothing beyond U+10FFFF.
bool valid_utf8(const char* text, size_t size);

// Loops over rows, statements or fetched rows run no bytecode for a long time, and a row sent through
// the sqlite3 module's C methods runs none either: without polling, Ctrl-C would wait for the return.
class SignalPoll {
public:
    explicit SignalPoll(unsigned every = 1024) noexcept : every_(every), left_(every) {}
    void operator()() {
        if (--left_ != 0) return;
        left_ = every_;
        if (PyErr_CheckSignals() < 0) throw PyError{};
    }

private:
    unsigned every_, left_;
};

// Iterates any iterable: `for (ForEach it(obj); Ref v = it.next();)`.
class ForEach {
public:
    explicit ForEach(PyObject* iterable) : it_(own(PyObject_GetIter(iterable))) {}
    Ref next() {
        PyObject* v = PyIter_Next(it_.get());
        if (v == nullptr && PyErr_Occurred()) throw PyError{};
        return Ref::steal(v);
    }

private:
    Ref it_;
};

}  // namespace morvel
