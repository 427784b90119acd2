// Where morvel.query's answer can go instead of Python lists: each row as the read fetched it, to a C++
// consumer that keeps what it needs of the values (query_arrow's column buffers, arrow_export.cpp).
#pragma once

#include <vector>

#include "core.hpp"

namespace morvel {

namespace db {
class Cursor;
}

class AnswerSink {
public:
    // The answer's columns, before any row: the table's columns `cols` (a list of names) at the indexes `out`.
    virtual void columns(PyObject* cols, const std::vector<Py_ssize_t>& out) = 0;
    // One row answered: its value of answer column i is row[slot[out[i]]].
    virtual void row(PyObject* row, const std::vector<Py_ssize_t>& slot) = 0;
    // The rows given so far turn around: the staged rows were read newest first.
    virtual void reverse() = 0;
    // After the last row, still inside the call's snapshot: what the sink reads goes through `cur`; `table`
    // is the table's text as the call writes it into its statements.
    virtual void finish(db::Cursor& cur, PyObject* table) = 0;

protected:
    AnswerSink() = default;
    AnswerSink(const AnswerSink&) = default;
    AnswerSink& operator=(const AnswerSink&) = default;
    ~AnswerSink() = default;
};

// morvel.query's work with its answer going to `sink`: the same checks, reads, snapshot and errors. Returns
// the number of rows answered.
Ref query_into(PyObject* conn, PyObject* table, PyObject* where, PyObject* params, PyObject* columns,
               PyObject* order_by, PyObject* limit, AnswerSink& sink);

}  // namespace morvel
