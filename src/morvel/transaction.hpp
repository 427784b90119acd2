// The transaction of a call that takes `comm`, and the one snapshot of a reader's statements: what each
// call opens before its first statement and ends after its last, through its own cursor.
#pragma once

#include "connection.hpp"
#include "names.hpp"

namespace morvel::db {

// The transaction of one call that takes `comm`. A call with `comm == True` is all or nothing in every
// transaction mode of the connection:
// - no transaction open: "BEGIN IMMEDIATE" (or "BEGIN EXCLUSIVE" where the isolation level asks for it)
//   goes through the call's cursor before its first statement, so that the call waits for the write lock
//   under the busy timeout instead of failing halfway when another writer commits; the call ends with
//   conn.commit() (in autocommit mode, where that commits nothing, a "COMMIT" through the cursor first);
// - a transaction already open (the caller's, or the one that `autocommit=False` always keeps open):
//   "SAVEPOINT morvel" ... "RELEASE morvel", then conn.commit(); a failure rolls back to the savepoint, so
//   the caller's earlier work stays as it was.
// Anything that throws in between (SQLite, a bad argument, a row, Ctrl-C) rolls back before the error
// leaves the call. With `comm` not True nothing is added, except for the merges (Begin::Always), which
// read and write in one transaction whatever `comm` is: "BEGIN IMMEDIATE" left open for the caller when
// the connection uses transactions, one of their own (begun, committed or rolled back through the cursor)
// in autocommit mode. An object without `isolation_level`, or without `in_transaction`, gets nothing: its
// state cannot be read.
//
// Every function that takes `comm` has one, through its Call (below): begin() comes before the first
// statement sent by the call or by a module call it makes (repeated calls do nothing, so a loop may call
// it before each row); commit() is the last step and commits when comm == True. Module calls made
// inside pass comm=False and join. `comm == True` is evaluated once, at the first
// begin() or commit(): a call that sends nothing and does not commit never evaluates it.
class Atomic {
public:
    enum class Begin { WithComm, Always };
    Atomic(PyObject* conn, PyObject* comm, Cursor& cur, Begin when = Begin::WithComm) noexcept
        : conn_(conn), comm_(comm), cur_(cur), when_(when) {}
    Atomic(const Atomic&) = delete;
    Atomic& operator=(const Atomic&) = delete;
    ~Atomic();

    void begin();
    void commit();
    // After begin(): whether a failure of the call undoes all it did (its own transaction or savepoint).
    bool undoes() const noexcept { return own_ != Own::None; }

private:
    bool requested();
    // How this call's work is undone when it fails, and how it is finished.
    enum class Own { None, Begun, BegunInAutocommit, Savepoint };

    PyObject* conn_;
    PyObject* comm_;
    Cursor& cur_;
    Begin when_;
    int requested_ = -1;  // comm == True, once evaluated
    bool began_ = false;
    Own own_ = Own::None;
    bool done_ = false;  // the call's own transaction or savepoint has ended: nothing left to undo
};

// The steps shared by every call that takes `comm`, in this order: the cursor (the first thing asked of
// `conn`), the transaction scope, then, given `table`, the table-name check (its text kept in `text`). The
// call's own checks follow the construction and send nothing; run() then begins, does the work, commits
// and returns None (a call with another result makes it after the commit). A call whose work begins
// before each row it sends uses run_rows() instead: with no rows it sends nothing, and its commit still
// evaluates `comm`.
class Call {
public:
    Call(PyObject* conn, PyObject* comm, PyObject* table = nullptr, Atomic::Begin when = Atomic::Begin::WithComm)
        : cur(cursor(conn)), atomic(conn, comm, cur, when) {
        if (table != nullptr) text = table_text(table);
    }

    template <class Work>
    Ref run(Work&& work) {
        atomic.begin();
        return run_rows(work);
    }
    template <class Work>
    Ref run_rows(Work&& work) {
        work(cur);
        atomic.commit();
        return Ref::borrow(Py_None);
    }

    Cursor cur;
    Atomic atomic;
    Ref text;  // f"{table}", checked; empty without a table
};

// One snapshot for a reader's several statements: when `conn` has `in_transaction` and it is false,
// "BEGIN" goes through `cur` before the first read and "COMMIT" through the same cursor after the last,
// so that a write committed meanwhile by another connection is seen whole or not at all. A caller's
// open transaction is joined and left open; an object without `in_transaction` gets nothing.
class Snapshot {
public:
    Snapshot(PyObject* conn, Cursor& cur);
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
    // Left without end(): the reads failed. COMMIT is still sent, and the reads' error is the one that
    // propagates.
    ~Snapshot();
    // After the last read: COMMIT, whose own error propagates.
    void end();

private:
    Cursor* cur_ = nullptr;  // null: no transaction of ours is open
};

// The first steps of a reader, in this order: the cursor, the table-name check (its text kept in `text`),
// the snapshot. done() ends the snapshot after the last read and hands back the answer.
class Read {
public:
    Read(PyObject* conn, PyObject* table) : cur(cursor(conn)), text(table_text(table)), snapshot_(conn, cur) {}
    Ref done(Ref answer) {
        snapshot_.end();
        return answer;
    }

    Cursor cur;
    Ref text;

private:
    Snapshot snapshot_;
};

}  // namespace morvel::db
