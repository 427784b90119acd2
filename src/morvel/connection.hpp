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

// The last step of every function that takes `comm`: commit when `comm == True`.
void commit_if(PyObject* conn, PyObject* comm);

}  // namespace morvel::db
