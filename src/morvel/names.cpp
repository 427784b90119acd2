// The rules for names: table and index names written into statements must be plain identifiers; the
// catalog's tables and staging tables are no names for create_table or drop_table; a column may not hide
// the rowid; and the name a column definition gives its column.
#include "names.hpp"

#include <string>
#include <string_view>

#include "function.hpp"
#include "sql.hpp"

namespace morvel {

namespace {

// Whether both <t> and temp_<t> exist, compared as SQLite compares names (ASCII letters without case).
constexpr std::string_view kManaged = R"(
            SELECT count(*) FROM sqlite_master WHERE type = 'table' AND lower(name) IN (lower(?), lower(?))
        )";

// SQLite's keywords, lower case: a name read from the schema that is one of them must be quoted.
constexpr std::string_view kKeywords[] = {
    "abort", "action", "add", "after", "all", "alter", "always", "analyze", "and", "as", "asc", "attach",
    "autoincrement", "before", "begin", "between", "by", "cascade", "case", "cast", "check", "collate", "column",
    "commit", "conflict", "constraint", "create", "cross", "current", "current_date", "current_time",
    "current_timestamp", "database", "default", "deferrable", "deferred", "delete", "desc", "detach", "distinct",
    "do", "drop", "each", "else", "end", "escape", "except", "exclude", "exclusive", "exists", "explain", "fail",
    "filter", "first", "following", "for", "foreign", "from", "full", "generated", "glob", "group", "groups",
    "having", "if", "ignore", "immediate", "in", "index", "indexed", "initially", "inner", "insert", "instead",
    "intersect", "into", "is", "isnull", "join", "key", "last", "left", "like", "limit", "match", "materialized",
    "natural", "no", "not", "nothing", "notnull", "null", "nulls", "of", "offset", "on", "or", "order", "others",
    "outer", "over", "partition", "plan", "pragma", "preceding", "primary", "query", "raise", "range",
    "recursive", "references", "regexp", "reindex", "release", "rename", "replace", "restrict", "returning",
    "right", "rollback", "row", "rows", "savepoint", "select", "set", "table", "temp", "temporary", "then", "ties",
    "to", "transaction", "trigger", "unbounded", "union", "unique", "update", "using", "vacuum", "values", "view",
    "virtual", "when", "where", "window", "with", "without",
};

}  // namespace

// Whether `text` equals `ascii` (lower case) with ASCII letters compared without case, as SQLite does.
bool same_name(PyObject* text, std::string_view ascii) {
    if (PyUnicode_GET_LENGTH(text) != static_cast<Py_ssize_t>(ascii.size())) return false;
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (size_t i = 0; i < ascii.size(); ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, static_cast<Py_ssize_t>(i));
        if (c >= 'A' && c <= 'Z') c += 'a' - 'A';
        if (c != static_cast<unsigned char>(ascii[i])) return false;
    }
    return true;
}

bool is_keyword(PyObject* text) {
    for (std::string_view word : kKeywords)
        if (same_name(text, word)) return true;
    return false;
}

bool is_plain(PyObject* text) {
    if (!PyUnicode_Check(text) || compat::ready(text) < 0) {
        PyErr_Clear();
        return false;
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        const bool digit = c < 0x80 ? (c >= '0' && c <= '9') : Py_UNICODE_ISDIGIT(c) != 0;
        const bool letter = c < 0x80 ? ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || c == '_' : Py_UNICODE_ISALPHA(c) != 0;
        if (i == 0 ? !letter : !(letter || digit || c == '$')) return false;
    }
    return n > 0;
}

void require_plain(PyObject* text, const char* what) {
    if (is_plain(text)) return;
    raise(PyExc_ValueError,
                 "%s name %R is not a plain SQL identifier (letters, digits, _ and $, not starting with a digit or $)",
                 what, text);
}

Ref table_text(PyObject* name) {
    Ref text = fstr_of(name);
    require_plain(text.get(), "table");
    return text;
}

void require_own_table(db::Cursor& cur, PyObject* text) {
    if (same_name(text, "index_table") || same_name(text, "unique_table")) {
        raise(PyExc_ValueError, "table name %R is the name of a catalog table", text);
    }
    constexpr std::string_view prefix = "temp_";
    if (PyUnicode_GET_LENGTH(text) <= static_cast<Py_ssize_t>(prefix.size())) return;
    Ref head = own(PyUnicode_Substring(text, 0, static_cast<Py_ssize_t>(prefix.size())));
    if (!same_name(head.get(), prefix)) return;
    Ref base = own(PyUnicode_Substring(text, static_cast<Py_ssize_t>(prefix.size()), PyUnicode_GET_LENGTH(text)));
    Ref found = db::query(cur, sql(kManaged, {}).get(), list_of({base.get(), text}).get());
    Ref count = item_at(item_at(found.get(), 0).get(), 0);
    if (check(PyObject_RichCompareBool(count.get(), own(PyLong_FromLong(2)).get(), Py_EQ)) == 0) return;
    raise(PyExc_ValueError, "table name %R is the name of the staging table of the managed table %R", text,
                 base.get());
}

Ref spec_name(PyObject* spec) {
    if (!PyUnicode_Check(spec) || compat::ready(spec) < 0) {
        PyErr_Clear();
        return {};
    }
    const Py_ssize_t n = PyUnicode_GET_LENGTH(spec);
    const int kind = PyUnicode_KIND(spec);
    const void* data = PyUnicode_DATA(spec);
    const auto at = [&](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); };
    Py_ssize_t i = 0;
    while (i < n && Py_UNICODE_ISSPACE(at(i))) ++i;
    if (i == n) return {};
    const Py_UCS4 open = at(i);
    if (open == '"' || open == '`' || open == '\'' || open == '[') {
        // A quoted name: a doubled closing quote stands for one (SQLite's rule; brackets have no escape).
        const Py_UCS4 close = open == '[' ? Py_UCS4{']'} : open;
        std::u32string name;
        for (++i; i < n; ++i) {
            if (at(i) != close) {
                name.push_back(at(i));
            } else if (close != ']' && i + 1 < n && at(i + 1) == close) {
                name.push_back(close);
                ++i;
            } else {
                return own(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, name.data(), static_cast<Py_ssize_t>(name.size())));
            }
        }
        return {};  // unterminated: SQLite refuses the statement
    }
    const Py_ssize_t start = i;
    while (i < n && (Py_UNICODE_ISALNUM(at(i)) || at(i) == '_' || at(i) == '$' || at(i) > 0x7f)) ++i;
    if (i == start) return {};
    return own(PyUnicode_Substring(spec, start, i));
}

Ref column_text(PyObject* name) {
    Ref text = fstr_of(name);
    if (is_plain(text.get()) && !is_keyword(text.get())) return text;
    return identifier(text.get());
}

Ref key_column(PyObject* definition) {
    Ref name = spec_name(definition);
    if (!name) return Ref::borrow(definition);
    const int same = check(PyObject_RichCompareBool(name.get(), definition, Py_EQ));
    return same ? Ref::borrow(definition) : column_text(name.get());
}

void require_row_identity(PyObject* column, PyObject* table) {
    if (!PyUnicode_Check(column) || !same_name(column, "rowid")) return;
    raise(PyExc_ValueError,
                 "table %R has a column named %R, which hides the rowid that staging, the merge and the queries "
                 "identify rows by: rename the column",
                 table, column);
}

}  // namespace morvel
