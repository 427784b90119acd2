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

namespace {

// getattr(obj, name, fallback); errors other than a missing attribute propagate.
Ref attr_or(PyObject* obj, PyObject* name, PyObject* fallback) {
    PyObject* value = nullptr;
    if (_PyObject_LookupAttr(obj, name, &value) < 0) throw PyError{};
    return value != nullptr ? Ref::steal(value) : Ref::borrow(fallback);
}

}  // namespace

void begin_transaction(PyObject* conn, PyObject* cur) {
    Ref level = attr_or(conn, names->isolation_level.get(), Py_None);
    if (level.get() == Py_None) return;  // autocommit mode: the caller opted out of transactions
    // Where the connection has its own autocommit switch, True means no transactions and False means one
    // is always open: neither wants a BEGIN.
    Ref autocommit = attr_or(conn, names->autocommit.get(), Py_None);
    if (PyBool_Check(autocommit.get())) return;
    Ref open = attr_or(conn, names->in_transaction.get(), Py_True);
    if (check(PyObject_IsTrue(open.get())) != 0) return;  // the change joins the caller's transaction
    execute(cur, own(PyNumber_Add(names->begin.get(), level.get())).get());
}

void commit_if(PyObject* conn, PyObject* comm) {
    if (commit_requested(comm)) commit(conn);
}

}  // namespace morvel::db
