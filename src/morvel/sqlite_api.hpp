// SQLite's C API as the sqlite3 module's own copy of the library provides it, and what this module knows
// of a sqlite3.Connection's memory layout. Everything here is resolved and checked at run time; when any
// of it cannot be, the native path stays off and every statement goes through the connection's methods.
#pragma once

#include <cstring>

#include "core.hpp"

namespace morvel::sqlite {

struct sqlite3;
struct sqlite3_stmt;
struct sqlite3_mutex;
using i64 = long long;
using Destructor = void (*)(void*);

inline constexpr int OK = 0, ROW = 100, DONE = 101;
// The primary result codes that choose the class of an error.
inline constexpr int ERROR = 1, INTERNAL = 2, PERM = 3, ABORT = 4, BUSY = 5, LOCKED = 6, NOMEM = 7, READONLY = 8,
                     INTERRUPT = 9, IOERR = 10, CORRUPT = 11, NOTFOUND = 12, FULL = 13, CANTOPEN = 14, PROTOCOL = 15,
                     EMPTY = 16, SCHEMA = 17, TOOBIG = 18, CONSTRAINT = 19, MISMATCH = 20, MISUSE = 21, RANGE = 25;
inline constexpr int INTEGER = 1, FLOAT = 2, TEXT = 3, BLOB = 4;
inline constexpr int LIMIT_SQL_LENGTH = 0;
inline constexpr int TXN_NONE = 0;
inline constexpr int FCNTL_DATA_VERSION = 35;
// SQLITE_STATIC: the bound bytes stay valid until the statement is stepped and reset; SQLITE_TRANSIENT:
// SQLite copies them before the bind call returns.
inline const Destructor STATIC = nullptr;
inline const Destructor TRANSIENT = reinterpret_cast<Destructor>(static_cast<intptr_t>(-1));

// The functions used, resolved from the library that _sqlite3 has loaded.
struct Api {
    int (*libversion_number)();
    int (*prepare_v2)(sqlite3*, const char*, int, sqlite3_stmt**, const char**);
    int (*step)(sqlite3_stmt*);
    int (*reset)(sqlite3_stmt*);
    int (*finalize)(sqlite3_stmt*);
    int (*clear_bindings)(sqlite3_stmt*);
    int (*bind_parameter_count)(sqlite3_stmt*);
    const char* (*bind_parameter_name)(sqlite3_stmt*, int);
    int (*bind_int64)(sqlite3_stmt*, int, i64);
    int (*bind_double)(sqlite3_stmt*, int, double);
    int (*bind_text)(sqlite3_stmt*, int, const char*, int, Destructor);
    int (*bind_blob)(sqlite3_stmt*, int, const void*, int, Destructor);
    int (*bind_null)(sqlite3_stmt*, int);
    int (*column_count)(sqlite3_stmt*);
    int (*column_type)(sqlite3_stmt*, int);
    i64 (*column_int64)(sqlite3_stmt*, int);
    double (*column_double)(sqlite3_stmt*, int);
    const unsigned char* (*column_text)(sqlite3_stmt*, int);
    const void* (*column_blob)(sqlite3_stmt*, int);
    int (*column_bytes)(sqlite3_stmt*, int);
    const char* (*column_name)(sqlite3_stmt*, int);
    int (*errcode)(sqlite3*);
    int (*extended_errcode)(sqlite3*);
    const char* (*errmsg)(sqlite3*);
    int (*get_autocommit)(sqlite3*);
    int (*txn_state)(sqlite3*, const char*);
    int (*stmt_readonly)(sqlite3_stmt*);
    int (*stmt_busy)(sqlite3_stmt*);
    sqlite3_stmt* (*next_stmt)(sqlite3*, sqlite3_stmt*);
    int (*limit)(sqlite3*, int, int);
    int (*total_changes)(sqlite3*);
    int (*file_control)(sqlite3*, const char*, int, void*);
    sqlite3_mutex* (*db_mutex)(sqlite3*);
    void (*mutex_enter)(sqlite3_mutex*);
    int (*mutex_try)(sqlite3_mutex*);
    void (*mutex_leave)(sqlite3_mutex*);
};

// The fields of a sqlite3.Connection that the native path reads (never writes), as the interpreter that
// the layout was verified for lays them out.
struct ConnectionView {
    sqlite3* db;                  // nullptr once closed
    int detect_types;
    const char* isolation_level;  // nullptr: autocommit mode
    PyObject* row_factory;
    PyObject* text_factory;
    bool has_progress_handler;
    bool has_authorizer;
};

// A field of the connection object at `offset`, read without assuming its alignment.
template <class T>
T field(PyObject* conn, size_t offset) {
    T value;
    std::memcpy(&value, reinterpret_cast<const char*>(conn) + offset, sizeof value);
    return value;
}

// What the native path needs from the sqlite3 module, set up once per process.
struct Native {
    // Where one interpreter's sqlite3.Connection keeps the fields that the native path reads.
    struct Layout {
        unsigned version;      // major and minor, as in (PY_VERSION_HEX >> 16): 0x030B for 3.11
        bool has_autocommit;   // the connection has the autocommit switch (3.12 on)
        size_t size, db, detect_types, isolation_level, autocommit, check_same_thread, initialized,
            row_factory, text_factory, trace, progress, authorizer, exceptions, statement_cache;
    };
    // The interpreters whose layout was verified, one row each; any other runs on the method path.
    static const Layout layouts[];

    Api api;
    const Layout* layout;  // the running interpreter's row
    PyTypeObject* connection_type;
    Ref adapters;          // the module's adapter table, the very dict it consults
    Ref prepare_protocol;  // sqlite3.PrepareProtocol, the second item of every adapter key
    Ref operational_error, database_error, integrity_error, internal_error, interface_error, data_error;
    Ref programming_error;
    Ref error_names;  // {extended result code: "SQLITE_..."} as the module names its constants
    Ref errorcode_attr, errorname_attr, unknown;

    ConnectionView view(PyObject* conn) const;
    // Single fields of the view, for the checks made at every row or value.
    sqlite3* handle(PyObject* conn) const { return field<sqlite3*>(conn, layout->db); }
    PyObject* text_factory(PyObject* conn) const { return field<PyObject*>(conn, layout->text_factory); }
    // The connection's own cache of prepared statements: an object made when the connection opens and freed
    // with it, so a weak reference to it tells whether a connection is still the one it was.
    PyObject* statement_cache(PyObject* conn) const { return field<PyObject*>(conn, layout->statement_cache); }
    // Raises what the sqlite3 module raises for the last error on `db`.
    [[noreturn]] void raise_error(sqlite3* db) const;
};

// The native path's set-up, or nullptr when it is off. The first call probes (and may raise only for a
// pending signal or a failed allocation, after which a later call probes again); `why` then tells the
// reason when it is off.
const Native* native(const char** why = nullptr);

}  // namespace morvel::sqlite
