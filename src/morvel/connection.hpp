// The operations asked of a Connection and its Cursor. The subsystems send their statements through
// here and never learn how they run: through the connection's methods, looked up by name at the moment
// of each call (any connection-like object), or, for a genuine sqlite3.Connection, on the connection's own
// SQLite handle with the same statements, results and errors.
#pragma once

#include <string>
#include <string_view>

#include "core.hpp"

namespace morvel::db {

class IntStatement;

struct Session;  // the native execution state of a connection on a thread (native.hpp)

// The Cursor of one function call. It always holds the object that `conn.cursor()` returned; on the
// native path it also runs statements on the connection's handle.
class Cursor {
public:
    Cursor(Ref cursor, Session* session, bool tuples) noexcept;
    Cursor(Cursor&& o) noexcept;
    Cursor& operator=(Cursor&& o) noexcept;
    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;
    ~Cursor();

private:
    friend void execute(Cursor&, PyObject*);
    friend void execute(Cursor&, PyObject*, PyObject*);
    friend Py_ssize_t execute_row(Cursor&, PyObject*, PyObject*);
    friend bool execute(Cursor&, const IntStatement&, PyObject*);
    friend Ref fetchall(Cursor&);
    // Runs the statement natively when this cursor can; false when nothing was sent.
    bool native(PyObject* statement, PyObject* params);
    void through_method(PyObject* statement, PyObject* params);

    Ref object_;
    Session* session_ = nullptr;
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

Ref fetchall(Cursor& cur);

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

void commit(PyObject* conn);
void close(PyObject* conn);

// Opens, before a change's first read, the transaction that the sqlite3 module would open only before
// its first row write: "BEGIN " + isolation_level, sent through `cur`, when the connection uses
// transactions and none is open. Reads, index drops and writes then commit or roll back together.
// An object without these attributes is left alone.
void begin_transaction(PyObject* conn, Cursor& cur);

// The last step of every function that takes `comm`: commit when `comm == True`.
void commit_if(PyObject* conn, PyObject* comm);

}  // namespace morvel::db
