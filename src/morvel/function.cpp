// The function type of the module: attributes like a Python function, vectorcall, method binding,
// the argument binding with its fixed messages, and the one boundary between C++ errors and the
// interpreter's error convention.
#include "function.hpp"

#include <memory>
#include <new>

#include "guard.hpp"
#include "state.hpp"

// structmember.h names the read-only flag with a macro that would also replace SQLite's result code of
// that name in every header read after it (and, in a unity build, in the files compiled after this one).
#include <structmember.h>
static constexpr int member_readonly = READONLY;
#undef READONLY

namespace morvel {

const std::unique_ptr<Names>& names = state.names;

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Spec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;
    PyObject* text_signature;
    PyObject* kwnames;  // every parameter name, for calls by keyword
};

[[nodiscard]] bool bind_error_count(const Spec& s, const char* kind, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", s.name, kind,
                 expected, expected == 1 ? "" : "s", given);
    return false;
}

bool name_matches(PyObject* param, PyObject* key) {
    if (param == key) return true;
    return PyUnicode_Compare(param, key) == 0;  // both are str: no error possible
}

// Binds positional and keyword arguments to the parameters, in the fixed order of checks.
bool bind(const FunctionObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames, PyObject** out) {
    const Spec& s = *f->spec;
    const Py_ssize_t n = s.nparams();
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > n) return bind_error_count(s, s.has_comm ? "at most" : "exactly", n, nargs);
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = i < nargs ? args[i] : nullptr;

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", s.name);
            return false;
        }
        Py_ssize_t hit = -1;
        for (Py_ssize_t i = nargs; i < n && hit < 0; ++i)
            if (name_matches(PyTuple_GET_ITEM(f->kwnames, i), key)) hit = i;
        if (hit < 0) {
            for (Py_ssize_t i = 0; i < nargs; ++i)
                if (name_matches(PyTuple_GET_ITEM(f->kwnames, i), key)) {
                    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", s.name, key);
                    return false;
                }
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.name, key);
            return false;
        }
        if (out[hit] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", s.name, key);
            return false;
        }
        out[hit] = args[nargs + k];
    }

    if (s.has_comm && out[n - 1] == nullptr) out[n - 1] = Py_True;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (out[i] == nullptr)
            return bind_error_count(s, s.has_comm ? "at least" : "exactly", s.has_comm ? n - 1 : n, i);
    return true;
}

PyObject* fn_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyObject* bound[kMaxParams];
    if (!bind(f, args, nargsf, kwnames, bound)) {
        add_traceback(*f->spec);
        return nullptr;
    }
    return run_body(*f->spec, bound);
}

// Stored in a class, the function binds to the instance like a Python function does.
PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* fn_repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

// Pickles by reference, as Python functions do.
PyObject* fn_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef fn_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), member_readonly, nullptr},
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), member_readonly, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), member_readonly, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), member_readonly, nullptr},
    {"__doc__", T_OBJECT, offsetof(FunctionObject, doc), member_readonly, nullptr},
    {"__defaults__", T_OBJECT, offsetof(FunctionObject, defaults), member_readonly, nullptr},
    // inspect.signature() and help() read the parameters from here.
    {"__text_signature__", T_OBJECT, offsetof(FunctionObject, text_signature), member_readonly, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot fn_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(fn_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(fn_repr)},
    {Py_tp_members, fn_members},
    {Py_tp_methods, fn_methods},
    {0, nullptr},
};

PyType_Spec fn_spec = {
    "morvel.morvel.function",
    sizeof(FunctionObject),
    0,
    // Only the import makes function objects: a blank one would have no callable behind it.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    fn_slots,
};

Ref interned(const char* s) { return own(PyUnicode_InternFromString(s)); }

Ref make_function(PyTypeObject* type, const Spec& s) {
    Ref kwnames = own(PyTuple_New(s.nparams()));
    TextBuilder sig;
    sig.ascii("(");
    for (int i = 0; i < s.nparams(); ++i) {
        PyTuple_SET_ITEM(kwnames.get(), i, interned(s.params[static_cast<size_t>(i)]).release());
        if (i > 0) sig.ascii(", ");
        sig.ascii(s.params[static_cast<size_t>(i)]);
    }
    sig.ascii(s.has_comm ? "=True)" : ")");
    Ref defaults = s.has_comm ? own(PyTuple_Pack(1, Py_True)) : Ref::borrow(Py_None);
    Ref doc = s.doc ? own(PyUnicode_FromString(s.doc)) : Ref::borrow(Py_None);

    auto* f = PyObject_New(FunctionObject, type);
    if (f == nullptr) throw PyError{};
    Ref obj = Ref::steal(reinterpret_cast<PyObject*>(f));
    f->vectorcall = fn_vectorcall;
    f->spec = &s;
    f->name = interned(s.name).release();
    f->qualname = interned(s.qualname).release();
    f->module = interned("morvel.morvel").release();
    f->doc = doc.release();
    f->defaults = defaults.release();
    f->text_signature = sig.finish().release();
    f->kwnames = kwnames.release();
    return obj;
}

}  // namespace

void add_traceback(const Spec& spec) {
    char name[96];
    PyOS_snprintf(name, sizeof name, "morvel.morvel.%s", spec.qualname);
    compat::add_traceback_entry(name, kSourceFile, spec.first_line);
}

void init_functions() {
    // Function objects and names live for the whole process: the module is made once per process.
    // Everything is built first and published only once complete, so a failed import can be retried.
    if (state.function_type) return;
    // Designated initialisers: a field added to Names in the middle cannot shift the later ones.
    auto built_names = std::make_unique<Names>(Names{
        .cursor = interned("cursor"), .execute = interned("execute"), .fetchall = interned("fetchall"),
        .commit = interned("commit"), .rollback = interned("rollback"), .close = interned("close"), .connect = interned("connect"),
        .split = interned("split"), .index = interned("index"), .add = interned("add"), .print = interned("print"),
        .name = interned("name"), .address = interned("address"), .DB_dict = interned("DB_dict"),
        .morvel_state = interned("morvel_state"), .sqlite3 = interned("sqlite3"),
        .table = interned("table"), .cols = interned("cols"),
        .comma = interned(","), .star = interned("*"), .empty = interned(""), .quote = interned("'"),
        .two_quotes = interned("''"), .double_quote = interned("\""), .two_double_quotes = interned("\"\""),
        .one = own(PyLong_FromLong(1)), .zero = own(PyLong_FromLong(0)),
        .isolation_level = interned("isolation_level"), .in_transaction = interned("in_transaction"),
        .autocommit = interned("autocommit"), .upper = interned("upper"),
        .strip = interned("strip"), .OperationalError = interned("OperationalError"),
        .fetchmany = interned("fetchmany"), .executemany = interned("executemany"),
        .arrow_c_stream = interned("__arrow_c_stream__"), .arrow_c_array = interned("__arrow_c_array__"),
        .dataframe = interned("__dataframe__"),
        .join = interned("join"), .comma_space = interned(", "),
        .text_factory = interned("text_factory"), .row_factory = interned("row_factory"),
        .converters = interned("converters"), .module = interned("__module__"),
    });
    Ref type = own(PyType_FromSpec(&fn_spec));
    std::array<Ref, kFnCount> built;
    for (int i = 0; i < kFnCount; ++i)
        built[static_cast<size_t>(i)] = make_function(reinterpret_cast<PyTypeObject*>(type.get()), kSpecs[i]);
    state.functions = std::move(built);
    state.names = std::move(built_names);
    state.function_type = std::move(type);
}

void set_error_from_exception() noexcept {
    try {
        throw;
    } catch (const PyError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "morvel: an error was lost");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "morvel: unexpected internal error");
    }
}

PyObject* function_object(Fn fn) { return state.functions[static_cast<size_t>(fn)].get(); }
PyObject* name_of(Fn fn) { return reinterpret_cast<FunctionObject*>(function_object(fn))->name; }
PyObject* kwnames_of(Fn fn) { return reinterpret_cast<FunctionObject*>(function_object(fn))->kwnames; }

void set_module(PyObject* module) { state.module = Ref::borrow(module); }
PyObject* module_object() { return state.module.get(); }

Ref global(PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(state.module.get()), name);
    if (v == nullptr && !PyErr_Occurred()) {
        PyObject* builtins = PyEval_GetBuiltins();
        if (builtins != nullptr) v = PyDict_GetItemWithError(builtins, name);
        if (v == nullptr && !PyErr_Occurred()) raise(PyExc_NameError, "name '%U' is not defined", name);
    }
    if (v == nullptr) throw PyError{};
    return Ref::borrow(v);
}

PyObject* run_body(const Spec& spec, PyObject* const* args) noexcept {
    PyObject* result = nullptr;
    // Re-entrant calls (a connection proxy calling back into the module) must end in RecursionError,
    // not in a stack overflow.
    if (Py_EnterRecursiveCall(" in morvel") == 0) {
        try {
            // Another thread's call on the same connection is refused here, before the body starts.
            const CallGuard guard(spec, args);
            result = spec.body.run(args).release();
            if (result == nullptr && !PyErr_Occurred())
                PyErr_SetString(PyExc_SystemError, "morvel: a body returned no result");
        } catch (...) {
            set_error_from_exception();
        }
        Py_LeaveRecursiveCall();
    }
    if (result == nullptr) add_traceback(spec);
    return result;
}

Ref call_module(Fn fn, std::initializer_list<PyObject*> args) {
    PyObject* self = function_object(fn);
    Ref target = global(name_of(fn));
    if (target.get() == self) return own(run_body(spec_of(fn), args.begin()));
    PyObject* buf[kMaxParams + 1] = {nullptr};
    size_t n = 0;
    for (PyObject* a : args) buf[1 + n++] = a;
    return own(PyObject_Vectorcall(target.get(), buf + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames_of(fn)));
}

}  // namespace morvel
