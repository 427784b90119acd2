// Statements on a genuine sqlite3.Connection's own SQLite handle. The connection layer (connection.cpp)
// decides which statements come here; what cannot run here exactly as the sqlite3 module would run it is
// refused with nothing sent, and goes through the connection's methods instead.
#pragma once

#include "core.hpp"
#include "sqlite_api.hpp"

namespace morvel::db {

// The native execution state of one connection on one thread: its prepared statements and what it knows
// of the adapter table. Every cursor of a call holds it, and so do nested and re-entrant calls on the
// same connection and thread.
struct Session;

Session* acquire(const sqlite::Native* n, PyObject* conn);
void release(Session* s) noexcept;

// Runs `statement` with `params` (an exact list or tuple, or nullptr for none); `rows` receives the rows
// of a statement that returns them. false: nothing was sent, the statement must go through the method.
bool run(Session& s, PyObject* statement, PyObject* params, Ref& rows);
// The same for a statement whose one parameter takes the integer `value`.
bool run_int(Session& s, PyObject* statement, long long value, Ref& rows);

}  // namespace morvel::db
