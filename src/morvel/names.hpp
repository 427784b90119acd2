// The rules for names written into statements (names.cpp).
#pragma once

#include <string_view>

#include "connection.hpp"
#include "core.hpp"

namespace morvel {

// Table and index names are written into statements as they are, so each must read as one plain SQL
// identifier: letters (any script), digits, "_" and "$", not starting with a digit or "$". Anything else
// (a blank, a quote, a dot, a comment) could make the statement reach another table.
bool is_plain(PyObject* text);
// Raises ValueError naming `text` (the str as it will be written) unless it is plain; `what` says which
// name it is ("table", "index").
void require_plain(PyObject* text, const char* what);
// f"{name}" of a table name, checked.
Ref table_text(PyObject* name);
// The names that create_table and drop_table refuse although they are plain: the catalog tables, and the
// staging table temp_<t> of a managed table <t> (which needs one look at the schema, made only for a
// name that starts with "temp_").
void require_own_table(db::Cursor& cur, PyObject* text);

// Whether `text` is one of SQLite's keywords (ASCII letters compared without case): such a name read from
// the schema must be quoted.
bool is_keyword(PyObject* text);

// Whether `text` equals `ascii` (lower case) with ASCII letters compared without case, as SQLite does.
bool same_name(PyObject* text, std::string_view ascii);

// The name that a column definition ("price REAL", "\"a b\" TEXT") gives its column: its first token,
// unquoted; an empty Ref when the definition is not a str or holds no name.
Ref spec_name(PyObject* spec);

// A column's name as a statement writes it: as it is when plain and no keyword, else quoted ("dep time",
// "order").
Ref column_text(PyObject* name);

// What a unique key's columns and lookup index call the column of `definition`: the definition itself when
// it is the bare name (or no str), else its name as column_text writes it ("id" of "id INTEGER").
Ref key_column(PyObject* definition);

// Every statement of the module names the row identity `rowid`, which a column of that name (in any
// letter case) would hide: the merge would delete and keep the wrong rows. ValueError naming the column.
void require_row_identity(PyObject* column, PyObject* table);

}  // namespace morvel
