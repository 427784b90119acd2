// class DB: registers a handle by name in morvel_state.DB_dict, prepares the database file with the
// catalog tables and hands out Connections.
#include <string_view>

#include "callables.hpp"
#include "catalog.hpp"
#include "connection.hpp"
#include "function.hpp"

namespace morvel {

namespace {

// JOURNAL is no journal mode, so SQLite only reports the current one; the row is never read.
constexpr std::string_view kJournalMode = R"(
        PRAGMA journal_mode=JOURNAL;
      )";

// morvel_state.DB_dict, looked up afresh each time.
Ref registry() {
    Ref state = global(names->morvel_state.get());
    return own(PyObject_GetAttr(state.get(), names->DB_dict.get()));
}

Ref connect(PyObject* self) {
    Ref sqlite3 = global(names->sqlite3.get());
    Ref connect_fn = own(PyObject_GetAttr(sqlite3.get(), names->connect.get()));
    Ref address = own(PyObject_GetAttr(self, names->address.get()));
    return call(connect_fn.get(), {address.get()});
}

void prepare(PyObject* self) {
    Ref conn = connect(self);
    db::Cursor cur = db::cursor(conn.get());
    for (std::string_view statement : {kJournalMode, kCreateIndexTable, kCreateUniqueTable})
        db::execute(cur, sql(statement, {}).get());
    db::commit(conn.get());
    db::close(conn.get());
}

// Undoes a registration whose database could not be prepared, but only while the entry is still this
// handle: a failed attempt must not take the name for the life of the process.
void unregister(PyObject* key, PyObject* self) noexcept {
    ErrorStash pending;
    try {
        Ref reg = registry();
        Ref current = own(PyObject_GetItem(reg.get(), key));
        if (current.get() == self) check(PyObject_DelItem(reg.get(), key));
    } catch (const PyError&) {
        // The original error is the one raised; an entry already gone is fine, anything else is reported.
        if (PyErr_ExceptionMatches(PyExc_KeyError))
            PyErr_Clear();
        else
            PyErr_WriteUnraisable(self);
    }
}

}  // namespace

Ref db_init(PyObject* self, PyObject* name, PyObject* address) {
    if (check(PySequence_Contains(registry().get(), name))) {
        Ref notice = TextBuilder().ascii("DB ").text(fstr_of(name).get()).ascii(" exists!").finish();
        call(global(names->print.get()).get(), {notice.get()});
        return Ref::borrow(Py_None);
    }
    check(PyObject_SetAttr(self, names->name.get(), name));
    check(PyObject_SetAttr(self, names->address.get(), address));
    Ref key = own(PyObject_GetAttr(self, names->name.get()));
    check(PyObject_SetItem(registry().get(), key.get(), self));
    try {
        prepare(self);
    } catch (...) {
        unregister(key.get(), self);
        throw;
    }
    return Ref::borrow(Py_None);
}

Ref db_connection(PyObject* self) { return connect(self); }

}  // namespace morvel
