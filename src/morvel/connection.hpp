// The operations asked of a Connection and its Cursor. Each method is looked up by name at the moment
// of the call, so a caller's wrapper or proxy object works exactly like a sqlite3.Connection.
#pragma once

#include "core.hpp"

namespace morvel::db {

Ref cursor(PyObject* conn);

// execute with one or two arguments; its result is dropped.
void execute(PyObject* cur, PyObject* statement);
void execute(PyObject* cur, PyObject* statement, PyObject* params);

Ref fetchall(PyObject* cur);

// Sends `statement` and returns every row it produced.
Ref query(PyObject* cur, PyObject* statement);
Ref query(PyObject* cur, PyObject* statement, PyObject* params);

void commit(PyObject* conn);
void close(PyObject* conn);

// Opens, before a change's first read, the transaction that the sqlite3 module would open only before
// its first row write: "BEGIN " + isolation_level, sent through `cur`, when the connection uses
// transactions and none is open. Reads, index drops and writes then commit or roll back together.
// An object without these attributes is left alone.
void begin_transaction(PyObject* conn, PyObject* cur);

// The last step of every function that takes `comm`: commit when `comm == True`.
void commit_if(PyObject* conn, PyObject* comm);

}  // namespace morvel::db
