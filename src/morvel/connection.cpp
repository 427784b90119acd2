// Connection and Cursor calls, by method name at the moment of each call.
#include "connection.hpp"

namespace morvel::db {

Ref cursor(PyObject* conn) { return call_method(conn, names->cursor.get(), {}); }

void execute(PyObject* cur, PyObject* statement) { call_method(cur, names->execute.get(), {statement}); }

void execute(PyObject* cur, PyObject* statement, PyObject* params) {
    call_method(cur, names->execute.get(), {statement, params});
}

Ref fetchall(PyObject* cur) { return call_method(cur, names->fetchall.get(), {}); }

Ref query(PyObject* cur, PyObject* statement) {
    execute(cur, statement);
    return fetchall(cur);
}

Ref query(PyObject* cur, PyObject* statement, PyObject* params) {
    execute(cur, statement, params);
    return fetchall(cur);
}

void commit(PyObject* conn) { call_method(conn, names->commit.get(), {}); }

void close(PyObject* conn) { call_method(conn, names->close.get(), {}); }

void commit_if(PyObject* conn, PyObject* comm) {
    if (commit_requested(comm)) commit(conn);
}

}  // namespace morvel::db
