// The catalog tables, and reading a managed table's schema and unique keys (shared by the merge and
// the query).
#pragma once

#include <string_view>
#include <vector>

#include "connection.hpp"
#include "core.hpp"
#include "names.hpp"
#include "sql.hpp"

namespace morvel {

// The catalog tables, created by DB() and by the first statement of every catalog writer.
inline constexpr std::string_view kCreateIndexTable = R"(
            CREATE TABLE IF NOT EXISTS index_table (table_name, index_name, columns)
        )";

inline constexpr std::string_view kCreateUniqueTable = R"(
            CREATE TABLE IF NOT EXISTS unique_table (table_name, unique_name, columns, col_num)
        )";

// A column position of a unique key, kept as the object it came from. Plain ints are resolved once;
// anything else is indexed with Python's own rules at each use.
struct Position {
    Ref obj;
    Py_ssize_t value = 0;
    enum Kind { Fast, TooLarge, Generic } kind = Generic;

    explicit Position(Ref o);
    // seq[p + offset], with Python's meaning of the index.
    Ref of(PyObject* seq, int offset) const;
};

struct UniqueKey {
    Ref name;
    std::vector<Position> positions;
};

// The entry of a row in a seen set: the tuple of its values at the key's positions (row[p + offset]).
// A one-column key is represented by the value itself: a 1-tuple hashes and compares exactly as its
// only item does, and the merge and the query make one such entry per row.
Ref seen_entry(const std::vector<Position>& positions, PyObject* row, int offset);

// Whether a seen-set entry of a key of `width` columns holds NULL. Such an entry repeats nothing and
// is repeated by nothing, as SQLite's own UNIQUE constraints and the `=` of every lookup treat it.
inline bool holds_null(PyObject* entry, size_t width) {
    if (width == 1) return entry == Py_None;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(entry); ++i)
        if (PyTuple_GET_ITEM(entry, i) == Py_None) return true;
    return false;
}

// "PRAGMA table_info({table})": the column names in table order, as a new list. A table with a column
// named rowid is refused (require_row_identity).
Ref read_columns(db::Cursor& cur, PyObject* table);

Ref identifier(PyObject* name);



// The table's rows of unique_table as {unique_name: [positions]}, in catalog order, each col_num
// text split at "," and converted by int().
Ref read_uniques(db::Cursor& cur, PyObject* table);

// The positions of every key of a {name: positions} mapping, in the mapping's order.
std::vector<UniqueKey> unique_keys(PyObject* uniques);

// Drops every index of `table` that active_table_index would not leave as it is: one outside the catalog,
// or one whose definition differs from the catalog's. Those kept need no rebuild, and active_table_index
// then creates the missing ones: the outcome of dropping and rebuilding them all, at the cost of the few.
void drop_indexes_off_catalog(db::Cursor& cur, PyObject* table);

// The positions of one key: every item of `positions`.
std::vector<Position> positions_of(PyObject* positions);

// Whether morvel.query may answer through the staging table's indexes (staging.cpp): the table's choice is
// recorded and the staging table has each key's lookup index (under the key names given).
bool staging_indexed(db::Cursor& cur, PyObject* text, const std::vector<Ref>& key_names);

// A load into an empty staging table whose indexes the table's choice put there: they go before its rows
// and are built again after them (suspend true), since building an index from all its keys at once costs a
// fraction of keeping it up to date row by row. Only for a call whose own transaction undoes both on failure.
bool suspend_staging_indexes(db::Cursor& cur, PyObject* text);
void resume_staging_indexes(db::Cursor& cur, PyObject* text);

}  // namespace morvel
