// The transaction of a call that takes `comm`, and the one snapshot of a reader's statements.
#include "transaction.hpp"

#include <string_view>

namespace morvel::db {

namespace {

// getattr(obj, name, fallback); errors other than a missing attribute propagate.
Ref attr_or(PyObject* obj, PyObject* name, PyObject* fallback) {
    PyObject* value = nullptr;
    if (compat::get_optional_attr(obj, name, &value) < 0) throw PyError{};
    return value != nullptr ? Ref::steal(value) : Ref::borrow(fallback);  // a null fallback: an empty Ref
}

}  // namespace

bool Atomic::requested() {
    if (requested_ < 0) requested_ = commit_requested(comm_) ? 1 : 0;
    return requested_ == 1;
}

namespace {

constexpr std::string_view kBeginImmediate = "BEGIN IMMEDIATE";
constexpr std::string_view kBeginExclusive = "BEGIN EXCLUSIVE";
constexpr std::string_view kCommit = "COMMIT";
constexpr std::string_view kRollback = "ROLLBACK";
constexpr std::string_view kSavepoint = "SAVEPOINT morvel";
constexpr std::string_view kRelease = "RELEASE morvel";
constexpr std::string_view kRollbackTo = "ROLLBACK TO morvel";

void send(Cursor& cur, std::string_view statement) { execute(cur, sql(statement, {}).get()); }

// Statements that undo a failed call while its error is pending: that error stays the one that leaves,
// unless undoing fails too, which then leaves with the first error as its context.
template <class Undo>
void undo(Undo&& work) noexcept {
    Ref first = Ref::steal(compat::take_exception());
    try {
        work();
    } catch (...) {
        Ref second = Ref::steal(compat::take_exception());
        if (second && first) PyException_SetContext(second.get(), first.release());
        if (second) compat::restore_exception(second.release());
        return;
    }
    if (first) compat::restore_exception(first.release());
}

}  // namespace

void Atomic::begin() {
    if (began_) return;
    began_ = true;
    const bool owned = requested();
    if (!owned && when_ != Begin::Always) return;
    Ref level = attr_or(conn_, names->isolation_level.get(), nullptr);
    if (!level) return;  // not a connection whose transactions can be read
    // The autocommit switch of 3.12 on: True never opens a transaction; False keeps one always open.
    Ref autocommit = attr_or(conn_, names->autocommit.get(), Py_None);
    const bool autocommit_mode = level.get() == Py_None || autocommit.get() == Py_True;
    Ref state = attr_or(conn_, names->in_transaction.get(), nullptr);
    if (!state) return;
    if (check(PyObject_IsTrue(state.get())) != 0) {
        if (!owned) return;  // comm=False joins the open transaction, as every call does
        own_ = Own::Savepoint;
        send(cur_, kSavepoint);
        return;
    }
    bool exclusive = false;
    if (PyUnicode_Check(level.get())) {
        Ref upper = call_method(level.get(), names->upper.get(), {});
        exclusive = PyUnicode_CompareWithASCIIString(upper.get(), "EXCLUSIVE") == 0;
    }
    // From here on a failure rolls back, that of the BEGIN itself included (harmless then). A merge with
    // comm=False on a connection that uses transactions leaves its transaction to the caller.
    own_ = autocommit_mode ? Own::BegunInAutocommit : owned ? Own::Begun : Own::None;
    send(cur_, exclusive ? kBeginExclusive : kBeginImmediate);
}

void Atomic::commit() {
    switch (own_) {
        case Own::Savepoint: send(cur_, kRelease); break;
        case Own::BegunInAutocommit: send(cur_, kCommit); break;
        case Own::Begun:
        case Own::None: break;
    }
    if (own_ != Own::Begun) done_ = true;  // what follows commits the caller's transaction, not ours alone
    if (requested()) db::commit(conn_);
    done_ = true;
}

Atomic::~Atomic() {
    if (done_) return;
    switch (own_) {
        case Own::None: return;
        case Own::Begun: rollback(conn_); return;
        case Own::BegunInAutocommit:
            undo([&] {
                // SQLite may have rolled the transaction back itself (a full disk, an interrupt).
                Ref state = attr_or(conn_, names->in_transaction.get(), Py_True);
                if (check(PyObject_IsTrue(state.get())) != 0) send(cur_, kRollback);
            });
            return;
        case Own::Savepoint:
            undo([&] {
                Ref state = attr_or(conn_, names->in_transaction.get(), Py_True);
                if (check(PyObject_IsTrue(state.get())) == 0) return;
                send(cur_, kRollbackTo);
                send(cur_, kRelease);
            });
            return;
    }
}

namespace {

constexpr std::string_view kBeginSnapshot = "BEGIN";
constexpr std::string_view kEndSnapshot = "COMMIT";

}  // namespace

Snapshot::Snapshot(PyObject* conn, Cursor& cur) {
    PyObject* open = nullptr;
    if (compat::get_optional_attr(conn, names->in_transaction.get(), &open) < 0) throw PyError{};
    if (open == nullptr) return;
    const Ref state = Ref::steal(open);
    if (check(PyObject_IsTrue(state.get())) != 0) return;
    execute(cur, sql(kBeginSnapshot, {}).get());
    cur_ = &cur;
}

void Snapshot::end() {
    Cursor* cur = std::exchange(cur_, nullptr);
    if (cur != nullptr) execute(*cur, sql(kEndSnapshot, {}).get());
}

Snapshot::~Snapshot() {
    if (cur_ == nullptr) return;
    ErrorStash pending;  // the reads' error stays the one raised
    try {
        execute(*cur_, sql(kEndSnapshot, {}).get());
    } catch (...) {
        PyErr_Clear();
    }
}


}  // namespace morvel::db
