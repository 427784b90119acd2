// Statements on a genuine sqlite3.Connection's own SQLite handle. The connection layer (connection.cpp)
// decides which statements come here; what cannot run here exactly as the sqlite3 module would run it is
// refused with nothing sent, and goes through the connection's methods instead.
#pragma once

#include <cstddef>
#include <optional>

#include "connection.hpp"
#include "core.hpp"
#include "sqlite_api.hpp"

namespace morvel::db {

// The native execution state of one connection on one thread: its prepared statements and what it knows
// of the adapter table. Every cursor of a call holds it, and so do nested and re-entrant calls on the
// same connection and thread.
struct Session;

// While one exists, the session's statements go through the methods: a statement runs, and code that runs
// inside it (a callback, an adapter) may call the module again on the same connection. Those nested
// statements then run as the sqlite3 module runs them: the text a trace callback is given for a statement
// run inside another one is not expanded, so even a bound rowid would show.
class Busy {
public:
    explicit Busy(Session* s) noexcept;
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;
    ~Busy();

private:
    Session* s_;
    bool was_;
};

// The session of `conn` on this thread, nullptr when no call holds one.
Session* find(PyObject* conn) noexcept;
Session* acquire(const sqlite::Native* n, PyObject* conn);
void release(Session* s) noexcept;

// Runs `statement` with `params` (an exact list or tuple, or nullptr for none); `rows` receives the rows
// of a statement that returns them, which runs here only for a cursor whose rows are plain tuples
// (`tuples`). false: the statement was not sent (the implicit BEGIN before it may have been, as the method
// would send it) and must go through the method, which then finds the transaction open.
bool run(Session& s, PyObject* statement, PyObject* params, bool tuples, Ref& rows);
// The same for `n` values held outside Python objects; false also when an adapter is registered for any
// type such values take in Python, which the method would call.
bool run_values(Session& s, PyObject* statement, const Value* values, size_t n, bool tuples, Ref& rows);
// The same for a statement whose one parameter takes the integer `value`.
bool run_int(Session& s, PyObject* statement, long long value, bool tuples, Ref& rows);
// The same with every row handed to `visitor` as values (connection.hpp's visit).
bool run_visiting(Session& s, PyObject* statement, PyObject* params, bool tuples, RowVisitor& visitor);

// A read whose rows are converted a bounded number at a time (db::Stream on the native path). While rows
// remain, the statement stays where the last step left it and the session is busy: statements of nested
// calls go through the methods, and nothing else of the session runs, resets or evicts it. The end of the
// read (its last row, an error, or the destructor) resets the statement.
struct Statement;
class Reading {
public:
    Reading() noexcept = default;
    Reading(const Reading&) = delete;
    Reading& operator=(const Reading&) = delete;
    ~Reading();

    // Runs `statement` as `run` does and converts at most `most` of its rows into `rows`; false: nothing was
    // sent (the method must run it).
    bool open(Session& s, PyObject* statement, PyObject* params, bool tuples, size_t most, Ref& rows);
    // The next rows, at most `most`; an empty list once the read has ended.
    Ref more(size_t most);
    bool active() const noexcept { return prepared_ != nullptr; }
    void keep(Statement& prepared, bool repeated) noexcept;  // rows remain after the first call

private:
    Session* s_ = nullptr;
    Statement* prepared_ = nullptr;  // set while rows remain
    bool repeated_ = false;
    std::optional<Busy> busy_;
};

}  // namespace morvel::db
