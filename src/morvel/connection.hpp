// The operations asked of a Connection and its Cursor. The subsystems send their statements through
// here and never learn how they run: through the connection's methods, looked up by name at the moment
// of each call (any connection-like object), or, for a genuine sqlite3.Connection, on the connection's own
// SQLite handle with the same statements, results and errors.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "core.hpp"

namespace morvel::db {

class IntStatement;
class Stream;
struct Value;
struct Standing;
class RowVisitor;

struct Session;  // the native execution state of a connection on a thread (native.hpp)
// A cursor's share of its session, given back when the cursor goes (native.hpp's release).
struct SessionRelease {
    void operator()(Session* s) const noexcept;
};
using SessionRef = std::unique_ptr<Session, SessionRelease>;
class Reading;   // a native read taken a bounded number of rows at a time (native.hpp)

// The Cursor of one function call. It always holds the object that `conn.cursor()` returned; on the
// native path it also runs statements on the connection's handle.
class Cursor {
public:
    Cursor(Ref cursor, Session* session, bool tuples) noexcept;

private:
    friend void execute(Cursor&, PyObject*);
    friend void execute(Cursor&, PyObject*, PyObject*);
    friend Py_ssize_t execute_row(Cursor&, PyObject*, PyObject*);
    friend bool execute_many(Cursor&, PyObject*, PyObject*);
    friend bool takes_many(Cursor&);
    friend void execute_values(Cursor&, PyObject*, const Value*, size_t);
    friend bool execute(Cursor&, const IntStatement&, PyObject*);
    friend Ref fetchall(Cursor&);
    friend bool visit(Cursor&, PyObject*, PyObject*, RowVisitor&);
    friend bool standing(Cursor&, Standing&);
    friend class Stream;
    // Runs the statement natively when this cursor can; false when the statement was not sent (at most
    // the implicit BEGIN before it was).
    bool native(PyObject* statement, PyObject* params);
    void through_method(PyObject* statement, PyObject* params);

    Ref object_;
    SessionRef session_;  // null: the method path only
    bool tuples_ = false;  // the cursor's own copy of the row factory is None: its rows are plain tuples
    Ref rows_;            // the rows of the last statement run natively
    bool method_ = true;  // the last statement went through the cursor's own execute
};

// conn.cursor(), the first step of every function that receives `conn`.
Cursor cursor(PyObject* conn);

// The parameters contract of every call below that takes `params`: they are a list the module built
// itself (or a tuple), which no other code can reach and the caller holds until the call returns. The
// native path binds text and blobs from it without copying (SQLITE_STATIC) while a step may let other
// threads run; a list that others could change meanwhile would leave SQLite reading freed memory.

// execute with one or two arguments; its result is dropped.
void execute(Cursor& cur, PyObject* statement);
void execute(Cursor& cur, PyObject* statement, PyObject* params);
// execute(statement, list(row)): one row of a bulk load. The caller's row is never bound itself: a
// tuple cannot change, anything else is copied into a new list first. Returns how many values were sent.
Py_ssize_t execute_row(Cursor& cur, PyObject* statement, PyObject* row);

// executemany(statement, rows) through the cursor's own method, on the method path where the cursor has
// one: one statement per batch rather than per row (over a network, a round trip is most of a row's cost).
// false, with nothing sent: the native path binds each row itself, or the cursor has no executemany. `rows`
// is a list the caller built, of tuples and lists no other code holds.
bool execute_many(Cursor& cur, PyObject* statement, PyObject* rows);
// Whether execute_many would send (the cursor's executemany looked up now).
bool takes_many(Cursor& cur);

// One SQLite value held outside any Python object (read from Arrow buffers, say): text is UTF-8, and text
// and blobs stay valid until the statement they are bound to has run.
struct Value {
    enum class Kind : unsigned char { Null, Int, Real, Text, Blob };
    Kind kind = Kind::Null;
    long long i = 0;
    double d = 0;
    const char* p = nullptr;
    size_t n = 0;
};

// Sends `statement` with the `n` values as its parameters: bound as they are on the native path, where no
// adapter is registered for a type the values would take in Python; through the cursor's execute, as a
// tuple of int, float, str, bytes and None, everywhere else.
void execute_values(Cursor& cur, PyObject* statement, const Value* values, size_t n);

Ref fetchall(Cursor& cur);

// Takes the rows of a read one at a time, as values that stay valid until row() returns. It runs no Python
// code: nothing can close the connection or change the statement meanwhile.
class RowVisitor {
public:
    virtual void row(const Value* values, size_t n) = 0;

protected:
    ~RowVisitor() = default;
};

// Sends `statement` (`params` as for execute) and hands every row it returns to `visitor`, with no Python
// object per value, on the native path; false, with nothing sent, where it must go through the method
// (query() then gives the same rows as Python objects).
bool visit(Cursor& cur, PyObject* statement, PyObject* params, RowVisitor& visitor);

// A statement with one integer written into its text: head + str(n) + tail, sent once per value (one
// DELETE per rowid, say). The native path prepares it once with a parameter in the integer's place:
// SQLite reads the same value, and a trace callback sees the very same text.
class IntStatement {
public:
    IntStatement(PyObject* head, std::string_view tail);

private:
    friend bool execute(Cursor&, const IntStatement&, PyObject*);
    Ref text(long long n) const;

    Ref head_;
    std::string ascii_head_;  // empty unless the head is ASCII
    std::string_view tail_;
    mutable Ref parameterised_;  // head + "?" + tail, made at the first native use
};

// Sends head + str(n) + tail; false, with nothing sent, unless `n` is an int that fits 64 bits.
bool execute(Cursor& cur, const IntStatement& statement, PyObject* n);

// Sends `statement` and returns every row it produced (`params` as for execute above).
Ref query(Cursor& cur, PyObject* statement);
Ref query(Cursor& cur, PyObject* statement, PyObject* params);

// Where the database of a native cursor's connection stands, for what a caller keeps between calls: `cache`
// (the connection's own statement cache) and `db` say which open connection it is, and the two counts change
// with every change to its main database, made by this connection (its rows, inside a transaction too) or
// committed by another one and seen since a read transaction began. A change of the schema inside a
// transaction that changes no row shows only in the schema's version (PRAGMA schema_version).
struct Standing {
    PyObject* cache = nullptr;  // borrowed: the connection holds it
    const void* db = nullptr;
    unsigned data_version = 0;
    int changes = 0;
};
// false, with `out` untouched: the cursor runs nothing natively, and nothing is known.
bool standing(Cursor& cur, Standing& out);

// ---------------------------------------------------------------------------------------------------
// Reads taken a bounded number of rows at a time

// The rows of one statement, taken at most `most` at a time, so that a reader holds one part of them at
// once and may stop before the end. The statement is sent at the first next(); `params` as for execute
// above (or nullptr for none). The native path steps it and converts only the rows asked for, and resets
// it when the read ends or stops (the destructor). The method path calls the cursor's `fetchmany(most)`,
// looked up at each call, and `fetchall()` once where the cursor has no `fetchmany`; there a read that
// stops early ends with the cursor's next statement, or with the cursor. Nothing else may run on the
// cursor until the read has ended.
class Stream {
public:
    Stream(Cursor& cur, PyObject* statement, PyObject* params);
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    ~Stream();

    // The next rows (a sequence), at most `most` of them; an empty one once there are no more.
    Ref next(Py_ssize_t most);

private:
    enum class State { Unsent, Native, Method, Ended };
    Cursor& cur_;
    Ref statement_, params_;
    std::unique_ptr<Reading> native_;
    State state_ = State::Unsent;
};

void commit(PyObject* conn);
// conn.rollback() while an error may be pending: the error stays the one that leaves, unless the rollback
// fails too, which then leaves with the first error as its context (as `except: conn.rollback(); raise`).
void rollback(PyObject* conn) noexcept;
void close(PyObject* conn);

}  // namespace morvel::db
