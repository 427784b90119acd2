// Resolving SQLite's API from the sqlite3 module's own library, the connection layout, and the self-test
// that must pass before any statement runs on a connection's handle directly.
#include "sqlite_api.hpp"

#include "compat.hpp"
#include "state.hpp"

#include <dlfcn.h>

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <type_traits>

namespace morvel::sqlite {

namespace {

// sqlite3.Connection (pysqlite_Connection) as CPython lays it out, with the fields that differ between
// versions: 3.12 adds the `autocommit` switch after the isolation level, 3.15 drops the list of cursors
// and their counter.
enum Has : unsigned { kAutocommit = 1, kCursorList = 2 };
template <int>
struct Absent {};
template <class T, bool present, int n>
using Maybe = std::conditional_t<present, T, Absent<n>>;

template <unsigned H>
struct ConnectionLayout {
    static constexpr bool autocommit_field = (H & kAutocommit) != 0, cursor_list = (H & kCursorList) != 0;
    PyObject_HEAD
    sqlite3* db;
    void* state;
    int detect_types;
    const char* isolation_level;
    // -1: the isolation level's implicit transactions; 0: always in one; 1: never.
    [[no_unique_address]] Maybe<int, autocommit_field, 0> autocommit;
    int check_same_thread;
    int initialized;
    unsigned long thread_ident;
    PyObject* statement_cache;
    [[no_unique_address]] Maybe<PyObject*, cursor_list, 1> cursors;
    PyObject* blobs;
    [[no_unique_address]] Maybe<int, cursor_list, 2> created_cursors;
    PyObject* row_factory;
    PyObject* text_factory;
    void* trace_ctx;
    void* progress_ctx;
    void* authorizer_ctx;
    PyObject* exceptions[10];  // Warning, Error, InterfaceError, ..., NotSupportedError
};

constexpr const char* kExceptionNames[] = {"Warning",         "Error",          "InterfaceError", "DatabaseError",
                                           "DataError",       "OperationalError", "IntegrityError", "InternalError",
                                           "ProgrammingError", "NotSupportedError"};
static_assert(sizeof(ConnectionLayout<0>::exceptions) == sizeof(PyObject*) * std::size(kExceptionNames));

constexpr int kLegacyTransactions = -1;

template <unsigned H>
constexpr Native::Layout layout_of(unsigned version) {
    using L = ConnectionLayout<H>;
    size_t autocommit = 0;
    if constexpr (L::autocommit_field) autocommit = offsetof(L, autocommit);
    return {version,
            L::autocommit_field,
            sizeof(L),
            offsetof(L, db),
            offsetof(L, detect_types),
            offsetof(L, isolation_level),
            autocommit,
            offsetof(L, check_same_thread),
            offsetof(L, initialized),
            offsetof(L, row_factory),
            offsetof(L, text_factory),
            offsetof(L, trace_ctx),
            offsetof(L, progress_ctx),
            offsetof(L, authorizer_ctx),
            offsetof(L, exceptions),
            offsetof(L, statement_cache)};
}

}  // namespace

// Each row read in that interpreter's own definition of the connection and checked by the self-test below
// and by the differential tests against its own sqlite3 module.
const Native::Layout Native::layouts[] = {
    layout_of<kCursorList>(0x030B),                // 3.11
    layout_of<kAutocommit | kCursorList>(0x030C),  // 3.12
    layout_of<kAutocommit | kCursorList>(0x030D),  // 3.13
    layout_of<kAutocommit | kCursorList>(0x030E),  // 3.14
    layout_of<kAutocommit>(0x030F),                // 3.15
};

namespace {

// The primary result codes; each constant of the sqlite3 module named after one of them (or after one of
// them and an underscore) is a result code, every other SQLITE_* constant is something else.
constexpr const char* kResultNames[] = {
    "OK",       "ERROR",  "INTERNAL", "PERM",   "ABORT",    "BUSY",   "LOCKED", "NOMEM",    "READONLY", "INTERRUPT",
    "IOERR",    "CORRUPT", "NOTFOUND", "FULL",  "CANTOPEN", "PROTOCOL", "EMPTY", "SCHEMA",  "TOOBIG",   "CONSTRAINT",
    "MISMATCH", "MISUSE", "NOLFS",    "AUTH",   "FORMAT",   "RANGE",  "NOTADB", "NOTICE",   "WARNING",  "ROW",
    "DONE"};

bool is_result_name(std::string_view name) {
    if (name.substr(0, 7) != "SQLITE_") return false;
    name.remove_prefix(7);
    for (std::string_view primary : kResultNames)
        if (name == primary || (name.size() > primary.size() && name.substr(0, primary.size()) == primary &&
                                name[primary.size()] == '_'))
            return true;
    return false;
}

struct Failure {
    std::string why;
};

void require(bool ok, const char* why) {
    if (!ok) throw Failure{why};
}

Ref attr(PyObject* o, const char* name) { return own(PyObject_GetAttrString(o, name)); }

void resolve(Api& api, PyObject* module) {
    Ref file = attr(module, "__file__");
    const char* path = PyUnicode_AsUTF8(file.get());
    if (path == nullptr) throw PyError{};
    // RTLD_NOLOAD: the library already in the process, never a second copy of SQLite.
    void* lib = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    require(lib != nullptr, "the sqlite3 module's library cannot be reached");
    auto sym = [lib](auto& fn, const char* name) {
        void* p = dlsym(lib, name);
        require(p != nullptr, "a SQLite function cannot be resolved");
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(p);
    };
    sym(api.libversion_number, "sqlite3_libversion_number");
    sym(api.prepare_v2, "sqlite3_prepare_v2");
    sym(api.step, "sqlite3_step");
    sym(api.reset, "sqlite3_reset");
    sym(api.finalize, "sqlite3_finalize");
    sym(api.bind_parameter_count, "sqlite3_bind_parameter_count");
    sym(api.bind_parameter_name, "sqlite3_bind_parameter_name");
    sym(api.bind_int64, "sqlite3_bind_int64");
    sym(api.bind_double, "sqlite3_bind_double");
    sym(api.bind_text, "sqlite3_bind_text");
    sym(api.bind_blob, "sqlite3_bind_blob");
    sym(api.bind_null, "sqlite3_bind_null");
    sym(api.column_count, "sqlite3_column_count");
    sym(api.column_type, "sqlite3_column_type");
    sym(api.column_int64, "sqlite3_column_int64");
    sym(api.column_double, "sqlite3_column_double");
    sym(api.column_text, "sqlite3_column_text");
    sym(api.column_blob, "sqlite3_column_blob");
    sym(api.column_bytes, "sqlite3_column_bytes");
    sym(api.column_name, "sqlite3_column_name");
    sym(api.errcode, "sqlite3_errcode");
    sym(api.extended_errcode, "sqlite3_extended_errcode");
    sym(api.errmsg, "sqlite3_errmsg");
    sym(api.get_autocommit, "sqlite3_get_autocommit");
    sym(api.txn_state, "sqlite3_txn_state");
    sym(api.stmt_readonly, "sqlite3_stmt_readonly");
    sym(api.clear_bindings, "sqlite3_clear_bindings");
    sym(api.stmt_busy, "sqlite3_stmt_busy");
    sym(api.next_stmt, "sqlite3_next_stmt");
    sym(api.limit, "sqlite3_limit");
    sym(api.total_changes, "sqlite3_total_changes");
    sym(api.file_control, "sqlite3_file_control");
    sym(api.db_mutex, "sqlite3_db_mutex");
    sym(api.mutex_enter, "sqlite3_mutex_enter");
    sym(api.mutex_try, "sqlite3_mutex_try");
    sym(api.mutex_leave, "sqlite3_mutex_leave");
}

// Runs one statement on `db` through the resolved API; returns the first column of its first row.
i64 scalar(const Api& api, sqlite3* db, const char* sql) {
    sqlite3_stmt* st = nullptr;
    require(api.prepare_v2(db, sql, -1, &st, nullptr) == OK && st != nullptr, "a probe statement failed");
    int rc = api.step(st);
    const i64 v = rc == ROW ? api.column_int64(st, 0) : 0;
    while (rc == ROW) rc = api.step(st);
    api.finalize(st);
    require(rc == DONE, "a probe statement failed");
    return v;
}

Ref connect(PyObject* sqlite3_module, std::initializer_list<std::pair<const char*, PyObject*>> kwargs) {
    Ref fn = attr(sqlite3_module, "connect");
    Ref args = own(Py_BuildValue("(s)", ":memory:"));
    Ref kw = own(PyDict_New());
    for (auto [k, v] : kwargs) check(PyDict_SetItemString(kw.get(), k, v));
    return own(PyObject_Call(fn.get(), args.get(), kw.get()));
}

// o.<method>(arg1, arg2) with up to two arguments, the result dropped (the probe's settings and closes).
void call_by_name(PyObject* o, const char* method, PyObject* arg1 = nullptr, PyObject* arg2 = nullptr) {
    Ref fn = attr(o, method);
    PyObject* argv[3] = {nullptr, arg1, arg2};
    const size_t n = arg1 == nullptr ? 0 : arg2 == nullptr ? 1 : 2;
    own(PyObject_Vectorcall(fn.get(), argv + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Checks, on private connections, that every field the native path reads is where it is expected and
// follows the connection's settings, and that the resolved API works on the connection's handle.
void self_test(const Native& n, PyObject* sqlite3_module) {
    const Native::Layout& L = *n.layout;
    require(n.connection_type->tp_basicsize == static_cast<Py_ssize_t>(L.size), "the connection layout differs");
    Ref level = own(PyUnicode_FromString("IMMEDIATE"));
    Ref three = own(PyLong_FromLong(3));
    Ref a = connect(sqlite3_module, {{"detect_types", three.get()}, {"isolation_level", level.get()},
                                     {"check_same_thread", Py_False}});
    Ref b = L.has_autocommit ? connect(sqlite3_module, {{"isolation_level", Py_None}, {"autocommit", Py_True}})
                            : connect(sqlite3_module, {{"isolation_level", Py_None}});
    require(Py_TYPE(a.get()) == n.connection_type && Py_TYPE(b.get()) == n.connection_type,
            "sqlite3.connect makes another type");
    PyObject *ca = a.get(), *cb = b.get();
    auto db_of = [&](PyObject* c) { return field<sqlite3*>(c, L.db); };
    auto ptr = [&](PyObject* c, size_t at) { return field<const void*>(c, at); };
    require(db_of(ca) != nullptr && db_of(cb) != nullptr && db_of(ca) != db_of(cb), "the handle is not where expected");
    require(field<int>(ca, L.detect_types) == 3 && field<int>(cb, L.detect_types) == 0,
            "detect_types is not where expected");
    const char* level_a = field<const char*>(ca, L.isolation_level);
    require(level_a != nullptr && std::strcmp(level_a, "IMMEDIATE") == 0 &&
                field<const char*>(cb, L.isolation_level) == nullptr,
            "isolation_level is not where expected");
    if (L.has_autocommit)
        require(field<int>(ca, L.autocommit) == kLegacyTransactions && field<int>(cb, L.autocommit) == 1,
                "autocommit is not where expected");
    require(field<int>(ca, L.check_same_thread) == 0 && field<int>(cb, L.check_same_thread) == 1 &&
                field<int>(ca, L.initialized) == 1,
            "the thread check is not where expected");
    require(ptr(ca, L.row_factory) == Py_None && ptr(ca, L.text_factory) == &PyUnicode_Type,
            "the factories are not where expected");
    PyObject* cache_a = n.statement_cache(ca);
    require(cache_a != nullptr && cache_a != n.statement_cache(cb) && PyCallable_Check(cache_a),
            "the statement cache is not where expected");
    Ref weak = Ref::steal(PyWeakref_NewRef(cache_a, nullptr));
    if (!weak) PyErr_Clear();
    require(static_cast<bool>(weak), "the statement cache takes no weak reference");
    for (size_t i = 0; i < std::size(kExceptionNames); ++i) {
        Ref exc = attr(ca, kExceptionNames[i]);
        require(ptr(ca, L.exceptions + sizeof(PyObject*) * i) == exc.get(),
                "the exception classes are not where expected");
    }
    Ref factory = own(PyTuple_New(0));  // any object serves: only its identity is compared
    check(PyObject_SetAttrString(ca, "row_factory", factory.get()));
    check(PyObject_SetAttrString(ca, "text_factory", reinterpret_cast<PyObject*>(&PyBytes_Type)));
    require(ptr(ca, L.row_factory) == factory.get() && ptr(ca, L.text_factory) == &PyBytes_Type,
            "the factories are not where expected");
    Ref callback = attr(sqlite3_module, "connect");  // any callable; none of them is ever invoked here
    Ref one = own(PyLong_FromLong(1));
    auto callbacks = [&] {
        return (ptr(ca, L.trace) != nullptr ? 1 : 0) | (ptr(ca, L.progress) != nullptr ? 2 : 0) |
               (ptr(ca, L.authorizer) != nullptr ? 4 : 0);
    };
    require(callbacks() == 0, "the callbacks are not where expected");
    call_by_name(ca, "set_trace_callback", callback.get());
    require(callbacks() == 1, "the trace callback is not where expected");
    call_by_name(ca, "set_progress_handler", callback.get(), one.get());
    require(callbacks() == 3, "the progress handler is not where expected");
    call_by_name(ca, "set_authorizer", callback.get());
    require(callbacks() == 7, "the authorizer is not where expected");
    call_by_name(ca, "set_trace_callback", Py_None);
    call_by_name(ca, "set_progress_handler", Py_None, one.get());
    call_by_name(ca, "set_authorizer", Py_None);
    require(callbacks() == 0, "the callbacks are not where expected");

    // The handle is the connection's own: what runs on it shows in the connection's counters.
    const Api& api = n.api;
    sqlite3* db = db_of(cb);
    require(scalar(api, db, "SELECT 42") == 42, "the handle does not answer");
    scalar(api, db, "CREATE TABLE probe (x)");
    scalar(api, db, "INSERT INTO probe VALUES (1), (2)");
    Ref changes = attr(cb, "total_changes");
    require(PyLong_AsLong(changes.get()) == api.total_changes(db) && api.total_changes(db) == 2,
            "the handle is not the connection's");
    scalar(api, db, "BEGIN");
    Ref in_tx = attr(cb, "in_transaction");
    require(in_tx.get() == Py_True && api.get_autocommit(db) == 0, "the handle is not the connection's");
    scalar(api, db, "ROLLBACK");
    call_by_name(ca, "close");
    call_by_name(cb, "close");
    require(db_of(ca) == nullptr && db_of(cb) == nullptr, "a closed connection keeps its handle");
}

Ref error_names(PyObject* sqlite3_module) {
    Ref names = own(PyDict_New());
    PyObject* dict = PyModule_GetDict(sqlite3_module);
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_Check(key) || !PyLong_CheckExact(value)) continue;
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &len);
        if (text == nullptr) throw PyError{};
        if (!is_result_name({text, static_cast<size_t>(len)})) continue;
        check(PyDict_SetDefault(names.get(), value, key) != nullptr ? 0 : -1);
    }
    return names;
}

std::string version_text(unsigned version) {
    return std::to_string(version >> 8) + "." + std::to_string(version & 0xFF);
}

// The running interpreter's row of the layout table.
const Native::Layout& running_layout() {
    const unsigned version = PY_VERSION_HEX >> 16;
    for (const Native::Layout& row : Native::layouts) {
        if (row.version != version) continue;
        if (Py_Version >> 16 != version) throw Failure{"the module was built for another interpreter"};
        return row;
    }
    std::string verified;
    for (size_t i = 0; i < std::size(Native::layouts); ++i)
        verified += (i == 0 ? "" : i + 1 < std::size(Native::layouts) ? ", " : " and ") +
                    version_text(Native::layouts[i].version);
    throw Failure{"the connection layout of CPython " + version_text(version) + " is not verified (verified: " +
                  verified + ")"};
}

void probe() {
    const Native::Layout& layout = running_layout();
    Ref module = own(PyImport_ImportModule("_sqlite3"));
    Ref sqlite3_module = own(PyImport_ImportModule("sqlite3"));
    auto n = std::make_unique<Native>();
    n->layout = &layout;
    resolve(n->api, module.get());
    Ref info = attr(sqlite3_module.get(), "sqlite_version_info");
    Ref expected = own(Py_BuildValue("(iii)", n->api.libversion_number() / 1000000,
                                     n->api.libversion_number() / 1000 % 1000, n->api.libversion_number() % 1000));
    require(check(PyObject_RichCompareBool(info.get(), expected.get(), Py_EQ)) == 1,
            "the SQLite library differs from the sqlite3 module's");
    Ref type = attr(module.get(), "Connection");
    require(PyType_Check(type.get()), "sqlite3.Connection is not a type");
    n->connection_type = reinterpret_cast<PyTypeObject*>(type.release());  // kept for the process
    n->adapters = attr(module.get(), "adapters");
    require(PyDict_CheckExact(n->adapters.get()), "the adapter table is not a dict");
    n->prepare_protocol = attr(module.get(), "PrepareProtocol");
    n->operational_error = attr(module.get(), "OperationalError");
    n->database_error = attr(module.get(), "DatabaseError");
    n->integrity_error = attr(module.get(), "IntegrityError");
    n->internal_error = attr(module.get(), "InternalError");
    n->interface_error = attr(module.get(), "InterfaceError");
    n->data_error = attr(module.get(), "DataError");
    n->programming_error = attr(module.get(), "ProgrammingError");
    n->error_names = error_names(module.get());
    n->errorcode_attr = own(PyUnicode_InternFromString("sqlite_errorcode"));
    n->errorname_attr = own(PyUnicode_InternFromString("sqlite_errorname"));
    n->unknown = own(PyUnicode_InternFromString("unknown"));
    self_test(*n, sqlite3_module.get());
    state.native = std::move(n);
}

}  // namespace

ConnectionView Native::view(PyObject* conn) const {
    const Layout& L = *layout;
    const bool legacy = !L.has_autocommit || field<int>(conn, L.autocommit) == kLegacyTransactions;
    return {field<sqlite3*>(conn, L.db),
            field<int>(conn, L.detect_types),
            // The isolation level's implicit BEGIN applies only while the autocommit switch leaves it to it.
            legacy ? field<const char*>(conn, L.isolation_level) : nullptr,
            field<PyObject*>(conn, L.row_factory),
            field<PyObject*>(conn, L.text_factory),
            field<void*>(conn, L.progress) != nullptr,
            field<void*>(conn, L.authorizer) != nullptr};
}

void Native::raise_error(sqlite3* db) const {
    // The class follows the (primary) code, as the sqlite3 module chooses it.
    const int code = api.errcode(db);
    PyObject* cls = nullptr;
    switch (code) {
        case INTERNAL: case NOTFOUND: cls = internal_error.get(); break;
        case NOMEM: PyErr_NoMemory(); throw PyError{};
        case ERROR: case PERM: case ABORT: case BUSY: case LOCKED: case READONLY: case INTERRUPT: case IOERR:
        case FULL: case CANTOPEN: case PROTOCOL: case EMPTY: case SCHEMA: cls = operational_error.get(); break;
        case CORRUPT: cls = database_error.get(); break;
        case TOOBIG: cls = data_error.get(); break;
        case CONSTRAINT: case MISMATCH: cls = integrity_error.get(); break;
        case MISUSE: case RANGE: cls = interface_error.get(); break;
        default: cls = database_error.get(); break;
    }
    const int extended = api.extended_errcode(db);
    Ref message = own(PyUnicode_FromString(api.errmsg(db)));
    Ref exc = call(cls, {message.get()});
    Ref number = own(PyLong_FromLong(extended));
    check(PyObject_SetAttr(exc.get(), errorcode_attr.get(), number.get()));
    PyObject* name = PyDict_GetItemWithError(error_names.get(), number.get());
    if (name == nullptr && PyErr_Occurred()) throw PyError{};
    check(PyObject_SetAttr(exc.get(), errorname_attr.get(), name != nullptr ? name : unknown.get()));
    PyErr_SetObject(cls, exc.get());
    throw PyError{};
}

const Native* native(const char** why) {
    if (state.probed == State::Probe::NotYet) {
        state.probed = State::Probe::Probing;  // the probe calls into Python: other threads use the method path meanwhile
        try {
            probe();
            state.probed = State::Probe::On;
        } catch (const Failure& f) {
            state.probed = State::Probe::Off;
            state.off_reason = f.why;
        } catch (const std::bad_alloc&) {
            state.probed = State::Probe::NotYet;  // memory may be there again at a later call: it probes again
            PyErr_NoMemory();
            throw PyError{};
        } catch (const PyError&) {
            // A probe that raised means no native path; only a pending signal or a failed allocation is
            // the caller's to see, and a later call probes again.
            if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
                state.probed = State::Probe::NotYet;
                throw;
            }
            // The reason names the exception, for MORVEL_NATIVE=require to report.
            Ref exc = Ref::steal(compat::take_exception());
            Ref text = Ref::steal(exc ? PyObject_Repr(exc.get()) : nullptr);
            const char* repr = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
            state.off_reason = std::string("the self-test raised ") + (repr != nullptr ? repr : "an exception");
            PyErr_Clear();
            state.probed = State::Probe::Off;
        }
    }
    if (why != nullptr) *why = state.probed == State::Probe::Probing ? "the self-test is running" : state.off_reason.c_str();
    return state.probed == State::Probe::On ? state.native.get() : nullptr;
}

}  // namespace morvel::sqlite
