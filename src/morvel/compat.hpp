// The few places where the supported interpreters (CPython 3.11 to 3.15) differ, each behind one small
// wrapper built only from public C API calls.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>  // PyFrame_New; Python.h does not declare it

#include <string>
#include <utility>
#include <vector>

namespace morvel::compat {

// The object that the weak reference `ref` refers to, as a new reference; nullptr once it is gone (3.13
// deprecates the lookup that borrows it).
inline PyObject* referent(PyObject* ref) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* target = nullptr;
    if (PyWeakref_GetRef(ref, &target) < 0) PyErr_Clear();
    return target;
#else
    PyObject* target = PyWeakref_GetObject(ref);
    if (target == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    return target == Py_None ? nullptr : Py_NewRef(target);
#endif
}

// The pending exception, taken out of the thread state and put back unchanged. 3.12 keeps a pending
// exception as one object and deprecates the (type, value, traceback) triple.
class PendingException {
public:
    PendingException() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        value_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &value_, &tb_);
#endif
    }
    PendingException(const PendingException&) = delete;
    PendingException& operator=(const PendingException&) = delete;
    ~PendingException() { restore(); }

    // Makes the exception pending again (once; the destructor does it otherwise).
    void restore() noexcept {
        if (restored_) return;
        restored_ = true;
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(value_);
#else
        PyErr_Restore(type_, value_, tb_);
#endif
    }

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject *type_ = nullptr, *tb_ = nullptr;
#endif
    PyObject* value_ = nullptr;
    bool restored_ = false;
};

// Takes the pending exception out of the thread state: a new reference to the exception object.
inline PyObject* take_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value != nullptr && tb != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#endif
}

// Makes `exc` (a reference that is taken over) the pending exception again.
inline void restore_exception(PyObject* exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
#endif
}

// `getattr(obj, name)` where a missing attribute is no error: 1 and a new reference in *result when
// found, 0 and nullptr when obj has no such attribute, -1 with an exception pending otherwise.
inline int get_optional_attr(PyObject* obj, PyObject* name, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    *result = PyObject_GetAttr(obj, name);
    if (*result != nullptr) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
#endif
}

// Raises the ValueError of unpacking `source` into `expected` names when it yields more: 3.14 on also
// counts the values of an exact list, tuple or dict.
inline void set_too_many_values(PyObject* source, int expected) {
#if PY_VERSION_HEX >= 0x030E0000
    Py_ssize_t size = -1;
    if (PyList_CheckExact(source)) size = PyList_GET_SIZE(source);
    else if (PyTuple_CheckExact(source)) size = PyTuple_GET_SIZE(source);
    else if (PyDict_CheckExact(source)) size = PyDict_GET_SIZE(source);
    if (size > expected) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d, got %zd)", expected, size);
        return;
    }
#else
    (void)source;
#endif
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d)", expected);
}

// Makes sure the characters of a str can be read through PyUnicode_DATA (3.11 may still meet a str
// made by the deprecated wchar_t calls; from 3.12 on every str is ready).
inline int ready(PyObject* str) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(str);
#else
    (void)str;
    return 0;
#endif
}

// What traceback entries are made of, made at the first use and kept for the life of the process (its
// references are never dropped, like the interned names; at exit only its own memory goes): the globals of
// their frames, {"__name__": "morvel.morvel"}, and one code object per entry. A fresh code object per entry would be work, and on 3.13 its interned
// names would come and go with it.
struct EntryParts {
    struct Entry {
        std::string funcname, file;
        int line;
        PyObject* code;
    };
    PyObject* globals = nullptr;
    std::vector<Entry> entries;

    static EntryParts& get() {
        static EntryParts parts;
        return parts;
    }

    // The globals (borrowed), or nullptr with an exception pending.
    PyObject* frame_globals() {
        if (globals != nullptr) return globals;
        PyObject* g = PyDict_New();
        PyObject* name = PyUnicode_InternFromString("morvel.morvel");
        if (g != nullptr && name != nullptr && PyDict_SetItemString(g, "__name__", name) == 0) std::swap(globals, g);
        Py_XDECREF(name);
        Py_XDECREF(g);
        return globals;
    }

    // The code object of `File "<file>", line <line>, in <funcname>` (borrowed), or nullptr with an
    // exception pending.
    PyObject* code(const char* funcname, const char* file, int line) {
        for (const Entry& e : entries)
            if (e.line == line && e.funcname == funcname && e.file == file) return e.code;
        PyObject* made = reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, funcname, line));
        if (made != nullptr) entries.push_back(Entry{funcname, file, line, made});
        return made;
    }
};

// Adds the traceback entry `File "<file>", line <line>, in <funcname>` to the pending exception, as a
// new frame of an empty code object of our own. A failure on the way leaves the pending exception as it
// was.
inline void add_traceback_entry(const char* funcname, const char* file, int line) noexcept {
    PendingException pending;  // PyFrame_New refuses to run while an exception is pending
    PyFrameObject* frame = nullptr;
    try {
        EntryParts& parts = EntryParts::get();
        PyObject* globals = parts.frame_globals();
        PyObject* code = globals != nullptr ? parts.code(funcname, file, line) : nullptr;
        if (code != nullptr)
            frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr);
    } catch (...) {  // std::bad_alloc: no entry
    }
    if (frame == nullptr) PyErr_Clear();
    pending.restore();
    if (frame != nullptr) {
        // The new frame has not run: its line is the code object's first line, on every version. Should
        // the entry fail to be made, the interpreter leaves its own error pending, chained to ours.
        (void)PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

}  // namespace morvel::compat
