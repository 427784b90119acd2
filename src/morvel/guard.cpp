// The connections with a call in progress, and the refusal of another thread's call on one of them. Two
// threads inside calls on one connection would interleave their statements in one transaction (a merge
// would empty rows another thread staged meanwhile), and the sqlite3 module's own methods, racing with
// each other and with a close(), may crash the process.
//
// A refusal rather than a wait: the refused call fails at once, before anything is sent, whatever the
// first call waits for. A call that waited could wait forever for a first call that waits on the second
// thread (a callback that joins it, a lock it holds).
#include "guard.hpp"

#include <cstring>

#include "function.hpp"
#include "state.hpp"

namespace morvel {

namespace {

constexpr const char* kRefused =
    "Another thread is inside a morvel call on this connection: one connection takes the calls of one thread "
    "at a time.";

// getattr(obj, name), or nothing when it is missing or cannot be read.
Ref attr_if_any(PyObject* obj, const char* name) {
    PyObject* v = PyObject_GetAttrString(obj, name);
    if (v == nullptr) PyErr_Clear();
    return Ref::steal(v);
}

// The ProgrammingError of the sqlite3 module the connection comes from: that of the module of the class
// named Connection in its type's MRO (sqlite3's own, or a package's copy of that module), sqlite3's for
// any other object.
Ref programming_error(PyObject* conn) {
    const Ref mro = Ref::borrow(Py_TYPE(conn)->tp_mro);
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro.get()); ++i) {
        PyObject* type = PyTuple_GET_ITEM(mro.get(), i);
        const char* name = reinterpret_cast<PyTypeObject*>(type)->tp_name;
        const char* dot = std::strrchr(name, '.');
        if (std::strcmp(dot != nullptr ? dot + 1 : name, "Connection") != 0) continue;
        const Ref module_name = attr_if_any(type, "__module__");
        if (!module_name || !PyUnicode_Check(module_name.get())) continue;
        const Ref module = Ref::steal(PyImport_GetModule(module_name.get()));
        if (!module) {
            PyErr_Clear();
            continue;
        }
        Ref error = attr_if_any(module.get(), "ProgrammingError");
        if (error && PyType_Check(error.get()) &&
            PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(error.get()),
                             reinterpret_cast<PyTypeObject*>(PyExc_Exception)))
            return error;
    }
    Ref sqlite3 = global(names->sqlite3.get());
    return own(PyObject_GetAttrString(sqlite3.get(), "ProgrammingError"));
}

[[noreturn]] void refuse(PyObject* conn) {
    const Ref error = programming_error(conn);
    raise(error.get(), kRefused);
}

}  // namespace

CallGuard::CallGuard(const Spec& spec, PyObject* const* args) {
    if (spec.nparams() == 0 || std::strcmp(spec.params[0], "conn") != 0) return;
    PyObject* conn = args[0];
    PyThreadState* self = PyThreadState_Get();
    State::Guarded* found = nullptr;
    for (State::Guarded& e : state.guarded)
        if (e.conn.get() == conn) found = &e;
    if (found == nullptr) {
        state.guarded.push_back(State::Guarded{Ref::borrow(conn), self, 1});
    } else if (found->thread == self) {
        ++found->depth;
    } else {
        refuse(conn);
    }
    conn_ = conn;
}

CallGuard::~CallGuard() {
    if (conn_ == nullptr) return;
    for (size_t i = 0; i < state.guarded.size(); ++i) {
        if (state.guarded[i].conn.get() != conn_) continue;
        if (--state.guarded[i].depth == 0) {
            // Out of the registry before the reference goes: nothing it may run finds a stale entry.
            const Ref gone = std::move(state.guarded[i].conn);
            state.guarded.erase(state.guarded.begin() + static_cast<std::ptrdiff_t>(i));
        }
        return;
    }
}

}  // namespace morvel
