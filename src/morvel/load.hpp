// Rows staged from values held outside Python objects (Arrow buffers, the fields of a CSV block).
#pragma once

#include <algorithm>
#include <vector>

#include "connection.hpp"

namespace morvel {

// insert_temp's INSERT with `rows` rows to a statement ("Values (?,...),(?,...)"): a row's share of
// SQLite's work per statement is most of the cost of a row bound without Python objects. Up to group()
// rows go to one statement, within the 999 parameters that every SQLite build takes.
class StagingInsert {
public:
    StagingInsert(PyObject* table, size_t width);
    static size_t group_of(size_t width) { return width == 0 || width >= 999 ? 1 : std::min<size_t>(16, 999 / width); }
    size_t width() const { return width_; }
    size_t group() const { return group_; }
    // Sends `rows` rows (group() or 1) of width() values each.
    void send(db::Cursor& cur, const db::Value* values, size_t rows) const;
    // The statements' texts: one row, and group() rows.
    PyObject* single() const { return single_.get(); }
    PyObject* grouped() const { return grouped_.get(); }

private:
    size_t width_, group_;
    Ref single_, grouped_;
};

}  // namespace morvel
